// The IDL text of the type library, generated from the identity table so
// the two can never disagree.
#include <cstdio>
#include <sstream>

#include "vostrel/type_library.hpp"

namespace vostrel::typelib {

namespace {

const char* IdlType(Variant::Type t) {
    switch (t) {
        case Variant::Type::Integer:
            return "short";
        case Variant::Type::Long:
            return "long";
        case Variant::Type::Boolean:
            return "VARIANT_BOOL";
        case Variant::Type::String:
            return "BSTR";
        case Variant::Type::Empty:
            break;
    }
    return "void";
}

std::string HexId(DispId id) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(id));
    return buf;
}

std::string Params(const MemberInfo& m) {
    std::string out;
    for (int i = 0; i < m.paramCount; ++i) {
        const ParamInfo& p = m.params[static_cast<std::size_t>(i)];
        if (i) out += ", ";
        out += p.byRef ? "[in, out] " : "[in] ";
        out += IdlType(p.type);
        out += p.byRef ? "* " : " ";
        out += p.name;
    }
    return out;
}

}  // namespace

std::string GenerateIdl(IdlCompiler compiler) {
    std::ostringstream o;
    o << "// " << kLibraryName << " type library. Generated from the control's identity\n"
      << "// table; do not edit. Compile for " << kLibrarySysKind << ": midl /" << kLibrarySysKind
      << " " << kLibraryName << ".idl\n"
      << "// Class registration: OLE misc status 0x" << std::hex;
    {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(kOleMiscStatus));
        o << buf;
    }
    o << std::dec << "; type library resource TYPELIB " << kTypeLibResourceId << "; toolbox bitmap "
      << kToolboxBitmapId << ".\n\n"
      << "import \"oaidl.idl\";\n\n";

    o << "[\n"
      << "  uuid(" << kLibId << "),\n"
      << "  version(" << kLibraryMajor << "." << kLibraryMinor << "),\n";
    {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%04X", static_cast<unsigned>(kLibraryLcid));
        o << "  lcid(" << buf << "),\n";
    }
    o << "  helpstring(\"" << kLibraryHelpString << "\")"
      << (kLibraryIsControl ? ",\n  control\n" : "\n") << "]\n"
      << "library " << kLibraryName << "\n{\n"
      << "    importlib(\"stdole2.tlb\");\n\n"
      << "    interface " << kInterfaceName << ";\n"
      << "    dispinterface " << kEventInterfaceName << ";\n\n";

    o << "    [\n"
      << "      uuid(" << kIidVostrel << "),\n"
      << "      version(" << kInterfaceMajor << "." << kInterfaceMinor << "),\n"
      << "      hidden,\n"
      << "      dual,\n"
      << "      nonextensible,\n"
      << "      oleautomation\n"
      << "    ]\n"
      << "    interface " << kInterfaceName << " : IDispatch {\n";
    for (const MemberInfo& m : kMembers) {
        o << "        [id(" << HexId(m.id) << ")";
        if (m.kind == InvokeKind::PropertyGet) o << ", propget";
        if (m.kind == InvokeKind::PropertyPut) o << ", propput";
        o << "]\n        HRESULT " << m.name << "(" << Params(m);
        if (m.result != Variant::Type::Empty)
            o << (m.paramCount ? ", " : "") << "[out, retval] " << IdlType(m.result) << "* Result";
        o << ");\n";
    }
    o << "    };\n\n";

    o << "    [\n"
      << "      uuid(" << kIidVostrelEvents << "),\n";
    if (compiler == IdlCompiler::Midl)
        o << "      version(" << kEventInterfaceMajor << "." << kEventInterfaceMinor << "),\n"
          << "      hidden,\n"
          << "      nonextensible\n";
    else
        o << "      hidden\n";
    o << "    ]\n"
      << "    dispinterface " << kEventInterfaceName << " {\n"
      << "        properties:\n"
      << "        methods:\n";
    for (const MemberInfo& e : kEvents)
        o << "            [id(" << HexId(e.id) << ")]\n            void " << e.name << "("
          << Params(e) << ");\n";
    o << "    };\n\n";

    o << "    [\n"
      << "      uuid(" << kClsId << "),\n"
      << "      version(" << kClassMajor << "." << kClassMinor << ")";
    if (kClassIsControl) o << ",\n      control";
    if (!kClassIsCreatable) o << ",\n      noncreatable";
    o << "\n    ]\n"
      << "    coclass " << kClassName << " {\n"
      << "        [default] interface " << kInterfaceName << ";\n"
      << "        [default, source] dispinterface " << kEventInterfaceName << ";\n"
      << "    };\n"
      << "};\n";
    return o.str();
}

}  // namespace vostrel::typelib
