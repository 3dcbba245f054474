// The type library embedded in VostrelControl.ocx, read back with
// LoadTypeLib and checked against the control's identity table.
#include "vostrel/type_library.hpp"

#include <gtest/gtest.h>

#include <string>

#include "activex/guids.hpp"
#include "tests/activex/module_under_test.hpp"

namespace vostrel::activex::testing {
namespace {

namespace tl = vostrel::typelib;

std::wstring Wide(std::string_view s) { return std::wstring(s.begin(), s.end()); }

class EmbeddedLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, library.put()), S_OK);
    }

    Ptr<ITypeInfo> Type(const GUID& guid) {
        Ptr<ITypeInfo> info;
        EXPECT_EQ(library->GetTypeInfoOfGuid(guid, info.put()), S_OK);
        return info;
    }

    Ptr<ITypeLib> library;
};

// Attributes of a type, released at the end of the scope.
struct Attr {
    Attr(ITypeInfo* info) : info(info) { info->GetTypeAttr(&attr); }
    ~Attr() {
        if (attr) info->ReleaseTypeAttr(attr);
    }
    const TYPEATTR* operator->() const { return attr; }
    ITypeInfo* info;
    TYPEATTR* attr = nullptr;
};

std::wstring Name(ITypeInfo* info, MEMBERID id, std::wstring* doc = nullptr,
                  DWORD* helpContext = nullptr, std::wstring* helpFile = nullptr) {
    Bstr name, text, file;
    DWORD context = 0;
    info->GetDocumentation(id, name.put(), text.put(), &context, file.put());
    if (doc) *doc = text.str();
    if (helpContext) *helpContext = context;
    if (helpFile) *helpFile = file.str();
    return name.str();
}

VARTYPE VarType(Variant::Type t) {
    switch (t) {
        case Variant::Type::Integer:
            return VT_I2;
        case Variant::Type::Long:
            return VT_I4;
        case Variant::Type::Boolean:
            return VT_BOOL;
        case Variant::Type::String:
            return VT_BSTR;
        case Variant::Type::Empty:
            break;
    }
    return VT_EMPTY;
}

INVOKEKIND Kind(InvokeKind k) {
    return k == InvokeKind::PropertyGet   ? INVOKE_PROPERTYGET
           : k == InvokeKind::PropertyPut ? INVOKE_PROPERTYPUT
                                          : INVOKE_FUNC;
}

// One function of an interface or dispinterface against its table row: id,
// kind, names, parameter types and directions, no flags or help.
void ExpectFunction(ITypeInfo* info, UINT index, const tl::MemberInfo& m, bool dispatchOnly) {
    SCOPED_TRACE(std::string(m.name));
    FUNCDESC* f = nullptr;
    ASSERT_EQ(info->GetFuncDesc(index, &f), S_OK);
    EXPECT_EQ(f->memid, m.id);
    EXPECT_EQ(f->invkind, Kind(m.kind));
    EXPECT_EQ(f->wFuncFlags, 0);
    EXPECT_EQ(f->cParamsOpt, 0);
    EXPECT_EQ(f->funckind, dispatchOnly ? FUNC_DISPATCH : FUNC_PUREVIRTUAL);
    const bool hasResult = m.result != Variant::Type::Empty;
    // Through the function table the result is the last, [out, retval]
    // parameter; an event's dispinterface method returns nothing.
    EXPECT_EQ(f->cParams, m.paramCount + (hasResult ? 1 : 0));
    EXPECT_EQ(f->elemdescFunc.tdesc.vt, dispatchOnly ? VT_VOID : VT_HRESULT);
    for (int p = 0; p < m.paramCount; ++p) {
        const tl::ParamInfo& param = m.params[std::size_t(p)];
        const ELEMDESC& e = f->lprgelemdescParam[p];
        if (param.byRef) {
            ASSERT_EQ(e.tdesc.vt, VT_PTR) << param.name;
            EXPECT_EQ(e.tdesc.lptdesc->vt, VarType(param.type)) << param.name;
            EXPECT_EQ(e.paramdesc.wParamFlags, PARAMFLAG_FIN | PARAMFLAG_FOUT) << param.name;
        } else {
            EXPECT_EQ(e.tdesc.vt, VarType(param.type)) << param.name;
            EXPECT_EQ(e.paramdesc.wParamFlags, PARAMFLAG_FIN) << param.name;
        }
    }
    if (hasResult) {
        const ELEMDESC& e = f->lprgelemdescParam[m.paramCount];
        ASSERT_EQ(e.tdesc.vt, VT_PTR);
        EXPECT_EQ(e.tdesc.lptdesc->vt, VarType(m.result));
        EXPECT_EQ(e.paramdesc.wParamFlags, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
    }
    BSTR names[4] = {};
    UINT count = 0;
    ASSERT_EQ(info->GetNames(f->memid, names, 4, &count), S_OK);
    // A put's parameter carries no name in a type library's name list.
    ASSERT_GE(count, 1u);
    EXPECT_EQ(std::wstring(names[0]), Wide(m.name));
    if (m.kind != InvokeKind::PropertyPut) {
        ASSERT_GE(count, UINT(1 + m.paramCount));
        for (int p = 0; p < m.paramCount; ++p)
            EXPECT_EQ(std::wstring(names[p + 1]), Wide(m.params[std::size_t(p)].name));
    }
    for (UINT i = 0; i < count; ++i) SysFreeString(names[i]);
    std::wstring doc;
    DWORD context = 1;
    Name(info, f->memid, &doc, &context);
    EXPECT_EQ(doc, L"");
    EXPECT_EQ(context, 0u);
    info->ReleaseFuncDesc(f);
}

TEST_F(EmbeddedLibrary, LibraryAttributes) {
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(library->GetLibAttr(&attr), S_OK);
    EXPECT_TRUE(IsEqualGUID(attr->guid, kLibId));
    EXPECT_EQ(attr->lcid, tl::kLibraryLcid);
    EXPECT_EQ(attr->wMajorVerNum, tl::kLibraryMajor);
    EXPECT_EQ(attr->wMinorVerNum, tl::kLibraryMinor);
    // The 32-bit module carries a SYS_WIN32 library, the 64-bit one SYS_WIN64.
    EXPECT_EQ(attr->syskind, ModuleIs32Bit() ? SYS_WIN32 : SYS_WIN64);
    EXPECT_EQ(attr->wLibFlags & LIBFLAG_FCONTROL, tl::kLibraryIsControl ? LIBFLAG_FCONTROL : 0);
    EXPECT_EQ(attr->wLibFlags & (LIBFLAG_FRESTRICTED | LIBFLAG_FHIDDEN), 0);
    library->ReleaseTLibAttr(attr);

    std::wstring doc, file;
    Bstr name, text, help;
    DWORD context = 1;
    ASSERT_EQ(library->GetDocumentation(-1, name.put(), text.put(), &context, help.put()), S_OK);
    EXPECT_EQ(name.str(), Wide(tl::kLibraryName));
    EXPECT_EQ(text.str(), Wide(tl::kLibraryHelpString));
    EXPECT_EQ(help.str(), L"");  // no help file
    EXPECT_EQ(context, 0u);
    EXPECT_EQ(library->GetTypeInfoCount(), 3u);
}

TEST_F(EmbeddedLibrary, ControlClass) {
    Ptr<ITypeInfo> cls = Type(kClsId);
    ASSERT_TRUE(cls);
    Attr a(cls.get());
    EXPECT_EQ(a->typekind, TKIND_COCLASS);
    EXPECT_EQ(Name(cls.get(), MEMBERID_NIL), Wide(tl::kClassName));
    EXPECT_EQ(a->wMajorVerNum, tl::kClassMajor);
    EXPECT_EQ(a->wMinorVerNum, tl::kClassMinor);
    EXPECT_EQ((a->wTypeFlags & TYPEFLAG_FCONTROL) != 0, tl::kClassIsControl);
    EXPECT_EQ((a->wTypeFlags & TYPEFLAG_FCANCREATE) != 0, tl::kClassIsCreatable);
    ASSERT_EQ(a->cImplTypes, 2);
    for (UINT i = 0; i < 2; ++i) {
        HREFTYPE ref = 0;
        INT flags = 0;
        Ptr<ITypeInfo> impl;
        ASSERT_EQ(cls->GetRefTypeOfImplType(i, &ref), S_OK);
        ASSERT_EQ(cls->GetRefTypeInfo(ref, impl.put()), S_OK);
        ASSERT_EQ(cls->GetImplTypeFlags(i, &flags), S_OK);
        Attr implAttr(impl.get());
        if (IsEqualGUID(implAttr->guid, kIidVostrel)) {
            EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT);
        } else if (IsEqualGUID(implAttr->guid, kIidVostrelEvents)) {
            EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
        } else {
            ADD_FAILURE() << "unexpected interface of the class";
        }
    }
}

TEST_F(EmbeddedLibrary, DefaultInterfaceIsDualAndMatchesTheMemberTable) {
    Ptr<ITypeInfo> dispatch = Type(kIidVostrel);
    ASSERT_TRUE(dispatch);
    {
        Attr a(dispatch.get());
        EXPECT_EQ(Name(dispatch.get(), MEMBERID_NIL), Wide(tl::kInterfaceName));
        EXPECT_EQ(a->typekind, TKIND_DISPATCH);
        EXPECT_EQ(a->wMajorVerNum, tl::kInterfaceMajor);
        EXPECT_EQ(a->wMinorVerNum, tl::kInterfaceMinor);
        // The dispatch half never reports TYPEFLAG_FOLEAUTOMATION (the loader
        // hides it there); the function table half below carries it.
        const WORD expected =
            TYPEFLAG_FDUAL | TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE;
        EXPECT_EQ(a->wTypeFlags, expected);
    }
    // The function table: the interface half of the dual pair.
    HREFTYPE ref = 0;
    Ptr<ITypeInfo> vtable;
    ASSERT_EQ(dispatch->GetRefTypeOfImplType(-1, &ref), S_OK);
    ASSERT_EQ(dispatch->GetRefTypeInfo(ref, vtable.put()), S_OK);
    Attr a(vtable.get());
    EXPECT_EQ(a->typekind, TKIND_INTERFACE);
    EXPECT_EQ(
        a->wTypeFlags &
            (TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDUAL | TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE),
        TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDUAL | TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE);
    EXPECT_EQ(a->wMajorVerNum, tl::kInterfaceMajor);
    EXPECT_EQ(a->wMinorVerNum, tl::kInterfaceMinor);
    ASSERT_EQ(a->cFuncs, static_cast<WORD>(tl::kMembers.size()));
    ASSERT_EQ(a->cImplTypes, 1);
    {
        Ptr<ITypeInfo> base;
        ASSERT_EQ(vtable->GetRefTypeOfImplType(0, &ref), S_OK);
        ASSERT_EQ(vtable->GetRefTypeInfo(ref, base.put()), S_OK);
        Attr baseAttr(base.get());
        EXPECT_TRUE(IsEqualGUID(baseAttr->guid, IID_IDispatch));
    }
    // IUnknown's 3 and IDispatch's 4 entries come first.
    for (UINT i = 0; i < tl::kMembers.size(); ++i) {
        ExpectFunction(vtable.get(), i, tl::kMembers[i], false);
        FUNCDESC* f = nullptr;
        ASSERT_EQ(vtable->GetFuncDesc(i, &f), S_OK);
        // Offsets in the reading process's pointers, whatever the module.
        EXPECT_EQ(f->oVft, static_cast<SHORT>((7 + i) * sizeof(void*)));
        vtable->ReleaseFuncDesc(f);
    }
}

TEST_F(EmbeddedLibrary, EventInterfaceIsDispatchOnlyAndMatchesTheEventTable) {
    Ptr<ITypeInfo> events = Type(kIidVostrelEvents);
    ASSERT_TRUE(events);
    Attr a(events.get());
    EXPECT_EQ(Name(events.get(), MEMBERID_NIL), Wide(tl::kEventInterfaceName));
    EXPECT_EQ(a->typekind, TKIND_DISPATCH);
    // Set after widl, which will not write these two on a dispinterface.
    EXPECT_EQ(a->wMajorVerNum, tl::kEventInterfaceMajor);
    EXPECT_EQ(a->wMinorVerNum, tl::kEventInterfaceMinor);
    EXPECT_EQ(a->wTypeFlags, TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE);
    ASSERT_EQ(a->cFuncs, static_cast<WORD>(tl::kEvents.size()));
    for (UINT i = 0; i < tl::kEvents.size(); ++i)
        ExpectFunction(events.get(), i, tl::kEvents[i], true);
}

}  // namespace
}  // namespace vostrel::activex::testing
