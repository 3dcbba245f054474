// A test container doing what a form designer and a running form do with
// the control, without a serial port: siting, the design-time guard,
// persistence in a bag and a stream, early and late binding, errors.
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <thread>

#include "activex/guids.hpp"
#include "activex/vostrel_idl.h"
#include "tests/activex/com_fixtures.hpp"
#include "tests/activex/module_under_test.hpp"
#include "vostrel/type_library.hpp"

namespace vostrel::activex::testing {
namespace {

namespace id = vostrel::dispid;
constexpr HRESULT kSetNotPermitted = static_cast<HRESULT>(0x800A0183);
constexpr HRESULT kOverflow = static_cast<HRESULT>(0x800A0006);

struct ComApartment : ::testing::Environment {
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr))); }
    void TearDown() override { OleUninitialize(); }
};
const auto* const kApartment = ::testing::AddGlobalTestEnvironment(new ComApartment);

VARIANT Bool(bool b) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BOOL;
    V_BOOL(&v) = b ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}

VARIANT Text(const wchar_t* s) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocString(s);
    return v;
}

// A control through its class factory, with a site of the given answer.
struct Sited {
    explicit Sited(AmbientSite::Answer answer) : site(answer) {
        EXPECT_EQ(CreateControl(kIidVostrel, control.put_void()), S_OK);
        EXPECT_EQ(control.As(IID_IOleObject, ole), S_OK);
        EXPECT_EQ(ole->SetClientSite(&site), S_OK);  // the site first
        EXPECT_EQ(control.As(IID_IPersistPropertyBag, bag), S_OK);
        EXPECT_EQ(control.As(IID_IConnectionPointContainer, points), S_OK);
        EXPECT_EQ(points->FindConnectionPoint(IID_IPropertyNotifySink, changePoint.put()), S_OK);
        EXPECT_EQ(changePoint->Advise(&changes, &changeCookie), S_OK);
    }
    ~Sited() {
        changePoint->Unadvise(changeCookie);
        ole->SetClientSite(nullptr);
    }
    // Sets a property through IDispatch::Invoke (DISPATCH_PROPERTYPUT).
    HRESULT Put(DISPID member, VARIANT value, EXCEPINFO* info) {
        DISPID named = DISPID_PROPERTYPUT;
        DISPPARAMS params{&value, &named, 1, 1};
        const HRESULT hr = control->Invoke(member, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params,
                                           nullptr, info, nullptr);
        VariantClear(&value);
        return hr;
    }

    AmbientSite site;
    ChangeRecorder changes;
    Ptr<_Vostrel> control;
    Ptr<IOleObject> ole;
    Ptr<IPersistPropertyBag> bag;
    Ptr<IConnectionPointContainer> points;
    Ptr<IConnectionPoint> changePoint;
    DWORD changeCookie = 0;
};

TEST(DesignTime, GuardedSettersFailWith387AndNotifyNothing) {
    Sited form(AmbientSite::Answer::DesignMode);
    ASSERT_EQ(form.bag->InitNew(), S_OK);
    Bstr text;
    ASSERT_EQ(form.control->get_ErrorMessage(text.put()), S_OK);

    // Through the function table: the HRESULT and an error object with the
    // standard text alone.
    EXPECT_EQ(form.control->put_Connection(VARIANT_TRUE), kSetNotPermitted);
    EXPECT_EQ(LastErrorDescription(), L"Set not permitted");
    Bstr message(L"changed");
    EXPECT_EQ(form.control->put_ErrorMessage(message.get()), kSetNotPermitted);
    // Through IDispatch: DISP_E_EXCEPTION carrying the same scode.
    EXCEPINFO info{};
    EXPECT_EQ(form.Put(id::kConnection, Bool(true), &info), DISP_E_EXCEPTION);
    EXPECT_EQ(info.scode, kSetNotPermitted);
    EXPECT_EQ(std::wstring(info.bstrDescription), L"Set not permitted");
    EXPECT_EQ(info.bstrSource, nullptr);
    EXPECT_EQ(info.bstrHelpFile, nullptr);
    SysFreeString(info.bstrDescription);

    VARIANT_BOOL connection = 1;
    ASSERT_EQ(form.control->get_Connection(&connection), S_OK);
    EXPECT_EQ(connection, VARIANT_FALSE);
    EXPECT_TRUE(form.changes.changed.empty());
    EXPECT_GE(form.site.userModeQueries, 3);  // asked each time

    // PingNXT may be set at design time, and says so.
    EXPECT_EQ(form.control->put_PingNXT(VARIANT_FALSE), S_OK);
    EXPECT_EQ(form.changes.changed, std::vector<DISPID>{id::kPingNXT});
}

TEST(DesignTime, SaveWritesTheThreePropertiesWithTheirTypes) {
    Sited form(AmbientSite::Answer::DesignMode);
    ASSERT_EQ(form.bag->InitNew(), S_OK);
    ASSERT_EQ(form.control->put_PingNXT(VARIANT_FALSE), S_OK);
    MemoryBag saved;
    ASSERT_EQ(form.bag->Save(&saved, TRUE, TRUE), S_OK);
    const std::vector<std::pair<std::wstring, VARTYPE>> expected{
        {L"Connection", VT_BOOL}, {L"ErrorMessage", VT_BSTR}, {L"PingNXT", VT_BOOL}};
    EXPECT_EQ(saved.writes, expected);
    EXPECT_EQ(V_BOOL(&saved.values[L"Connection"]), VARIANT_FALSE);
    EXPECT_EQ(SysStringLen(V_BSTR(&saved.values[L"ErrorMessage"])), 0u);
    EXPECT_EQ(V_BOOL(&saved.values[L"PingNXT"]), VARIANT_FALSE);
    EXPECT_EQ(saved.refs(), 1u);  // the control kept no reference
}

TEST(RunTime, NoSiteOrASiteThatDoesNotAnswerMeansRunMode) {
    for (auto answer : {AmbientSite::Answer::RunMode, AmbientSite::Answer::Nothing}) {
        Sited form(answer);
        EXPECT_EQ(form.control->put_Connection(VARIANT_TRUE), S_OK);
        EXPECT_EQ(form.changes.changed, std::vector<DISPID>{id::kConnection});
    }
    Ptr<_Vostrel> bare;
    ASSERT_EQ(CreateControl(kIidVostrel, bare.put_void()), S_OK);
    Bstr text(L"set by a script");
    EXPECT_EQ(bare->put_ErrorMessage(text.get()), S_OK);
    Bstr back;
    ASSERT_EQ(bare->get_ErrorMessage(back.put()), S_OK);
    EXPECT_EQ(back.str(), L"set by a script");
}

TEST(Persistence, BagLoadRestoresWithoutNotifyingAndMissingKeysTakeDefaults) {
    Sited form(AmbientSite::Answer::DesignMode);
    MemoryBag bag;
    bag.Set(L"Connection", Bool(true));
    VARIANT text = Text(L"No errores");
    bag.Set(L"ErrorMessage", text);
    VariantClear(&text);
    // PingNXT missing: its default, True.
    ASSERT_EQ(form.bag->Load(&bag, nullptr), S_OK);
    VARIANT_BOOL b = 0;
    form.control->get_Connection(&b);
    EXPECT_EQ(b, VARIANT_TRUE);  // even in design mode, where the setter refuses
    form.control->get_PingNXT(&b);
    EXPECT_EQ(b, VARIANT_TRUE);
    Bstr message;
    form.control->get_ErrorMessage(message.put());
    EXPECT_EQ(message.str(), L"No errores");
    EXPECT_TRUE(form.changes.changed.empty());
}

TEST(Persistence, BagLoadStopsAtAFailingEntryKeepingTheEarlierOnes) {
    Sited form(AmbientSite::Answer::RunMode);
    ASSERT_EQ(form.bag->InitNew(), S_OK);
    MemoryBag bag;
    bag.Set(L"Connection", Bool(true));
    VARIANT bad = Text(L"not a boolean");
    bag.Set(L"PingNXT", bad);
    VariantClear(&bad);
    bag.failName = L"ErrorMessage";
    bag.failReadOf = E_ACCESSDENIED;
    EXPECT_EQ(form.bag->Load(&bag, nullptr), E_ACCESSDENIED);
    VARIANT_BOOL b = 0;
    form.control->get_Connection(&b);
    EXPECT_EQ(b, VARIANT_TRUE);
    form.control->get_PingNXT(&b);
    EXPECT_EQ(b, VARIANT_TRUE);  // untouched: the load ended before it

    bag.failReadOf = S_OK;
    EXPECT_EQ(form.bag->Load(&bag, nullptr), DISP_E_TYPEMISMATCH);
}

TEST(Persistence, StreamRoundTripAndADamagedStreamChangesNothing) {
    Sited form(AmbientSite::Answer::RunMode);
    Ptr<IPersistStreamInit> persist;
    ASSERT_EQ(form.control.As(IID_IPersistStreamInit, persist), S_OK);
    ASSERT_EQ(persist->InitNew(), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_FALSE);
    Bstr text(L"status \x00e9");
    ASSERT_EQ(form.control->put_ErrorMessage(text.get()), S_OK);
    ASSERT_EQ(form.control->put_Connection(1), S_OK);  // stored as passed
    EXPECT_EQ(persist->IsDirty(), S_OK);

    Ptr<IStream> stream;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()), S_OK);
    ASSERT_EQ(persist->Save(stream.get(), TRUE), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_FALSE);
    STATSTG stat{};
    stream->Stat(&stat, STATFLAG_NONAME);
    ULARGE_INTEGER most{};
    ASSERT_EQ(persist->GetSizeMax(&most), S_OK);
    EXPECT_EQ(most.QuadPart, stat.cbSize.QuadPart);

    // A text too long for any load to take back is not saved at all.
    {
        Ptr<IStream> full;
        ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, full.put()), S_OK);
        std::wstring huge((1u << 20) + 1, L'e');
        Bstr longText(huge.c_str());
        ASSERT_EQ(form.control->put_ErrorMessage(longText.get()), S_OK);
        EXPECT_EQ(persist->Save(full.get(), TRUE), STG_E_CANTSAVE);
        STATSTG none{};
        full->Stat(&none, STATFLAG_NONAME);
        EXPECT_EQ(none.cbSize.QuadPart, 0u);
        ASSERT_EQ(form.control->put_ErrorMessage(text.get()), S_OK);
    }

    Sited restored(AmbientSite::Answer::DesignMode);
    Ptr<IPersistStreamInit> load;
    ASSERT_EQ(restored.control.As(IID_IPersistStreamInit, load), S_OK);
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    ASSERT_EQ(load->Load(stream.get()), S_OK);
    VARIANT_BOOL b = 0;
    restored.control->get_Connection(&b);
    EXPECT_EQ(b, 1);
    restored.control->get_PingNXT(&b);
    EXPECT_EQ(b, VARIANT_TRUE);
    Bstr back;
    restored.control->get_ErrorMessage(back.put());
    EXPECT_EQ(back.str(), L"status \x00e9");

    // Cut short by one byte, then with a foreign tag: refused, nothing changes.
    std::vector<char> bytes(stat.cbSize.QuadPart);
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    ULONG got = 0;
    stream->Read(bytes.data(), ULONG(bytes.size()), &got);
    for (int damage = 0; damage < 2; ++damage) {
        Ptr<IStream> bad;
        ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, bad.put()), S_OK);
        std::vector<char> copy = bytes;
        if (damage == 0) copy.pop_back();
        if (damage == 1) copy[0] = 'X';
        bad->Write(copy.data(), ULONG(copy.size()), nullptr);
        bad->Seek(zero, STREAM_SEEK_SET, nullptr);
        Sited fresh(AmbientSite::Answer::RunMode);
        Ptr<IPersistStreamInit> p;
        ASSERT_EQ(fresh.control.As(IID_IPersistStreamInit, p), S_OK);
        ASSERT_EQ(p->InitNew(), S_OK);
        ASSERT_EQ(fresh.control->put_PingNXT(VARIANT_FALSE), S_OK);
        EXPECT_TRUE(FAILED(p->Load(bad.get()))) << damage;
        fresh.control->get_Connection(&b);
        EXPECT_EQ(b, VARIANT_FALSE) << damage;
        fresh.control->get_PingNXT(&b);
        EXPECT_EQ(b, VARIANT_FALSE) << damage;
    }
}

// Any ErrorMessage the stream form holds (up to 1 MiB, whatever its bytes)
// saves and loads back; an object loaded once is not initialised again.
TEST(Persistence, StreamTakesAnyTextUpToItsLimitAndAnObjectLoadsOnce) {
    for (const std::wstring& text : {std::wstring(300000, L'\x01'), std::wstring(1u << 20, L'e')}) {
        Sited form(AmbientSite::Answer::RunMode), restored(AmbientSite::Answer::RunMode);
        Ptr<IPersistStreamInit> save, load;
        ASSERT_EQ(form.control.As(IID_IPersistStreamInit, save), S_OK);
        ASSERT_EQ(restored.control.As(IID_IPersistStreamInit, load), S_OK);
        Bstr message(text.c_str());
        ASSERT_EQ(form.control->put_ErrorMessage(message.get()), S_OK);
        Ptr<IStream> stream;
        ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()), S_OK);
        ASSERT_EQ(save->Save(stream.get(), TRUE), S_OK) << text.size();
        const LARGE_INTEGER zero{};
        stream->Seek(zero, STREAM_SEEK_SET, nullptr);
        ASSERT_EQ(load->Load(stream.get()), S_OK) << text.size();
        Bstr back;
        restored.control->get_ErrorMessage(back.put());
        EXPECT_TRUE(back.str() == text) << text.size();
        stream->Seek(zero, STREAM_SEEK_SET, nullptr);
        EXPECT_EQ(load->Load(stream.get()), E_UNEXPECTED);
        EXPECT_EQ(load->InitNew(), E_UNEXPECTED);
    }
}

// --- binding -----------------------------------------------------------------

struct Bound : ::testing::Test {
    void SetUp() override { ASSERT_EQ(CreateControl(kIidVostrel, control.put_void()), S_OK); }
    HRESULT Call(DISPID member, WORD flags, std::vector<VARIANT>& argsLastFirst, VARIANT* result,
                 EXCEPINFO* info = nullptr, UINT* argError = nullptr) {
        DISPPARAMS params{argsLastFirst.data(), nullptr, UINT(argsLastFirst.size()), 0};
        return control->Invoke(member, IID_NULL, 0, flags, &params, result, info, argError);
    }
    Ptr<_Vostrel> control;
};

TEST_F(Bound, EarlyBindingWritesBackThroughThePointers) {
    short mailBox = -3;
    LONG value = -70000;
    short result = 9;
    // Not connected: the send fails, but the write-back of |Value| happened.
    EXPECT_EQ(control->SendValue(&mailBox, &value, &result), S_OK);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(value, -70000);  // a negative mailbox is refused before the write-back
    mailBox = 3;
    EXPECT_EQ(control->SendValue(&mailBox, &value, &result), S_OK);
    EXPECT_EQ(value, 70000);
    BSTR mail = SysAllocString(L"hi");
    mailBox = -4;
    EXPECT_EQ(control->SendText(&mailBox, &mail, &result), S_OK);
    EXPECT_EQ(mailBox, 4);
    EXPECT_EQ(std::wstring(mail), L"hi");
    SysFreeString(mail);
    short box = -1;
    Bstr text;
    EXPECT_EQ(control->ReadText(&box, text.put()), S_OK);
    EXPECT_EQ(box, 1);
    EXPECT_EQ(text.str(), L"-1");
    box = -32768;
    EXPECT_EQ(control->ReadText(&box, text.put()), kOverflow);
    EXPECT_EQ(LastErrorDescription(), L"Overflow");
    Ptr<ISupportErrorInfo> support;
    ASSERT_EQ(control.As(IID_ISupportErrorInfo, support), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(kIidVostrel), S_OK);
}

TEST_F(Bound, LateBindingTakesEveryFormScriptsPass) {
    // VT_BYREF|VT_VARIANT holding a Double: converted, written back as Long.
    VARIANT mailVar;
    VariantInit(&mailVar);
    V_VT(&mailVar) = VT_I2;
    V_I2(&mailVar) = 2;
    VARIANT valueVar;
    VariantInit(&valueVar);
    V_VT(&valueVar) = VT_R8;
    V_R8(&valueVar) = -12.0;
    std::vector<VARIANT> args(2);
    V_VT(&args[1]) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&args[1]) = &mailVar;
    V_VT(&args[0]) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&args[0]) = &valueVar;
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(Call(id::kSendValue, DISPATCH_METHOD, args, &result), S_OK);
    EXPECT_EQ(V_VT(&result), VT_I2);
    EXPECT_EQ(V_I2(&result), 1);  // no port open
    EXPECT_EQ(V_VT(&valueVar), VT_I4);
    EXPECT_EQ(V_I4(&valueVar), 12);
    EXPECT_EQ(V_VT(&mailVar), VT_I2);  // unchanged value, untouched variable

    // VT_BYREF|VT_I2, exactly typed: written back in place.
    short msgBox = -5;
    std::vector<VARIANT> one(1);
    V_VT(&one[0]) = VT_BYREF | VT_I2;
    V_I2REF(&one[0]) = &msgBox;
    ASSERT_EQ(Call(id::kReadText, DISPATCH_METHOD | DISPATCH_PROPERTYGET, one, &result), S_OK);
    EXPECT_EQ(msgBox, 5);
    EXPECT_EQ(std::wstring(V_BSTR(&result)), L"-1");
    VariantClear(&result);

    // Plain values (JScript): a Double and a text number.
    V_VT(&one[0]) = VT_BSTR;
    V_BSTR(&one[0]) = SysAllocString(L"12");
    ASSERT_EQ(Call(id::kReadText, DISPATCH_METHOD, one, &result), S_OK);
    EXPECT_EQ(std::wstring(V_BSTR(&result)), L"Error!");
    VariantClear(&result);
    VariantClear(&one[0]);

    // Property get and put by id, the put's value named DISPID_PROPERTYPUT.
    VARIANT ping = Bool(false);
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS put{&ping, &named, 1, 1};
    ASSERT_EQ(control->Invoke(id::kPingNXT, IID_NULL, 0, DISPATCH_PROPERTYPUT, &put, nullptr,
                              nullptr, nullptr),
              S_OK);
    std::vector<VARIANT> none;
    ASSERT_EQ(Call(id::kPingNXT, DISPATCH_PROPERTYGET, none, &result), S_OK);
    EXPECT_EQ(V_VT(&result), VT_BOOL);
    EXPECT_EQ(V_BOOL(&result), VARIANT_FALSE);

    // .NET's late binding sets any property with put and put-by-reference
    // together; a put by reference alone names an object property, and
    // there is none.
    ping = Bool(true);
    ASSERT_EQ(
        control->Invoke(id::kPingNXT, IID_NULL, 0, DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF,
                        &put, nullptr, nullptr, nullptr),
        S_OK);
    ASSERT_EQ(Call(id::kPingNXT, DISPATCH_PROPERTYGET, none, &result), S_OK);
    EXPECT_EQ(V_BOOL(&result), VARIANT_TRUE);
    EXPECT_EQ(control->Invoke(id::kPingNXT, IID_NULL, 0, DISPATCH_PROPERTYPUTREF, &put, nullptr,
                              nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
}

TEST_F(Bound, LateBindingErrors) {
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO info{};
    UINT argError = 99;
    std::vector<VARIANT> one(1);
    V_VT(&one[0]) = VT_I4;
    V_I4(&one[0]) = -32768;
    ASSERT_EQ(Call(id::kReadText, DISPATCH_METHOD, one, &result, &info), DISP_E_EXCEPTION);
    EXPECT_EQ(info.scode, kOverflow);
    EXPECT_EQ(std::wstring(info.bstrDescription), L"Overflow");
    SysFreeString(info.bstrDescription);

    V_VT(&one[0]) = VT_BSTR;
    V_BSTR(&one[0]) = SysAllocString(L"mailbox");
    EXPECT_EQ(Call(id::kReadText, DISPATCH_METHOD, one, &result, nullptr, &argError),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argError, 0u);
    VariantClear(&one[0]);
    LONG wrongType = 1;
    V_VT(&one[0]) = VT_BYREF | VT_I4;  // a typed reference must match exactly
    V_I4REF(&one[0]) = &wrongType;
    EXPECT_EQ(Call(id::kReadText, DISPATCH_METHOD, one, &result), DISP_E_TYPEMISMATCH);
    V_VT(&one[0]) = VT_I4;
    V_I4(&one[0]) = 40000;
    EXPECT_EQ(Call(id::kReadText, DISPATCH_METHOD, one, &result), DISP_E_OVERFLOW);

    std::vector<VARIANT> none;
    EXPECT_EQ(Call(id::kReadText, DISPATCH_METHOD, none, &result), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(Call(0x12345, DISPATCH_METHOD, none, &result), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Call(id::kDisconnectNXT, DISPATCH_PROPERTYPUT, none, &result), DISP_E_MEMBERNOTFOUND);
}

// Malformed calls a careless host makes: a reference that is NULL, at
// either level of a by-reference VARIANT, is refused naming the argument.
TEST_F(Bound, NullReferencesAreRefusedNamingTheArgument) {
    constexpr VARTYPE kRefVariant = VT_BYREF | VT_VARIANT;
    const struct {
        DISPID member;
        VARTYPE outer, inner;  // inner set: outer points at a VARIANT of it, NULL
        UINT count, index;
    } cases[] = {
        {id::kConnection, VT_BYREF | VT_I2, 0, 1, 0},
        {id::kConnection, VT_BYREF | VT_I4, 0, 1, 0},
        {id::kErrorMessage, VT_BYREF | VT_BSTR, 0, 1, 0},
        {id::kPingNXT, kRefVariant, 0, 1, 0},
        {id::kPingNXT, kRefVariant, kRefVariant, 1, 0},
        {id::kErrorMessage, kRefVariant, VT_BYREF | VT_BSTR, 1, 0},
        {id::kReadText, kRefVariant, VT_BYREF | VT_I2, 1, 0},
        {id::kReadText, kRefVariant, kRefVariant, 1, 0},
        {id::kSendText, VT_BYREF | VT_I2, 0, 2, 1},
    };
    for (const auto& c : cases) {
        VARIANT inner{};
        V_VT(&inner) = c.inner;
        std::vector<VARIANT> args(c.count);
        V_VT(&args[c.index]) = c.outer;
        V_BYREF(&args[c.index]) = c.inner ? &inner : nullptr;
        const bool put = c.member == id::kConnection || c.member == id::kErrorMessage ||
                         c.member == id::kPingNXT;
        DISPID named = DISPID_PROPERTYPUT;
        DISPPARAMS params{args.data(), put ? &named : nullptr, c.count, put ? 1u : 0u};
        UINT argError = 99;
        EXPECT_EQ(
            control->Invoke(c.member, IID_NULL, 0, put ? DISPATCH_PROPERTYPUT : DISPATCH_METHOD,
                            &params, nullptr, nullptr, &argError),
            E_INVALIDARG)
            << c.member << " " << c.outer << " " << c.inner;
        EXPECT_EQ(argError, c.index) << c.member << " " << c.outer << " " << c.inner;
    }
}

// Texts become numbers as Automation reads them; a NaN reads no mailbox.
TEST_F(Bound, NumbersFromTextAndNaNAsAutomationConvertsThem) {
    const std::pair<std::wstring, HRESULT> texts[] = {
        {L"&H9", S_OK},
        {L"0.9e1", S_OK},
        {L"True", S_OK},
        {L"&H10000", DISP_E_OVERFLOW},
        {std::wstring(L"9\0", 2), DISP_E_TYPEMISMATCH}};
    VARIANT result;
    VariantInit(&result);
    for (const auto& [text, expected] : texts) {
        std::vector<VARIANT> one(1);
        V_VT(&one[0]) = VT_BSTR;
        V_BSTR(&one[0]) = SysAllocStringLen(text.data(), UINT(text.size()));
        EXPECT_EQ(Call(id::kReadText, DISPATCH_METHOD, one, &result), expected) << text.c_str();
        VariantClear(&result);
        VariantClear(&one[0]);
    }
    // In a script's variable, a negative mailbox is written back as its
    // absolute value whatever notation the text uses.
    const std::pair<const wchar_t*, short> variables[] = {
        {L"-1e3", 1000}, {L"-&H10", 16}, {L" -&O20", 16}, {L"-&H8000", 0}};
    for (const auto& [text, written] : variables) {
        VARIANT variable = Text(text);
        std::vector<VARIANT> one(1);
        V_VT(&one[0]) = VT_BYREF | VT_VARIANT;
        V_VARIANTREF(&one[0]) = &variable;
        const HRESULT hr = Call(id::kReadText, DISPATCH_METHOD, one, &result);
        VariantClear(&result);
        if (written == 0) {  // -(-32768) is no Integer
            EXPECT_EQ(hr, DISP_E_OVERFLOW) << text;
        } else {
            EXPECT_EQ(hr, S_OK) << text;
            EXPECT_EQ(V_VT(&variable), VT_I2) << text;
            EXPECT_EQ(V_I2(&variable), written) << text;
        }
        VariantClear(&variable);
    }
    std::vector<VARIANT> nan(1);
    V_VT(&nan[0]) = VT_R8;
    V_R8(&nan[0]) = std::numeric_limits<double>::quiet_NaN();
    UINT argError = 99;
    EXPECT_EQ(Call(id::kReadText, DISPATCH_METHOD, nan, &result, nullptr, &argError),
              DISP_E_OVERFLOW);
    EXPECT_EQ(argError, 0u);
}

TEST_F(Bound, NamesAreFoundWithoutRegardToCase) {
    const wchar_t* names[] = {L"sendtext", L"MAIL", L"mailbox"};
    DISPID ids[3] = {};
    ASSERT_EQ(control->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(names), 3, 0, ids), S_OK);
    EXPECT_EQ(ids[0], id::kSendText);
    EXPECT_EQ(ids[1], 1);
    EXPECT_EQ(ids[2], 0);
    const wchar_t* unknown[] = {L"SendMail"};
    EXPECT_EQ(control->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(unknown), 1, 0, ids),
              DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], DISPID_UNKNOWN);
}

// --- the object as a control ----------------------------------------------------

TEST(Control, MiscStatusClassInfoAndEventPoint) {
    Ptr<IOleObject> ole;
    ASSERT_EQ(CreateControl(IID_IOleObject, ole.put_void()), S_OK);
    DWORD misc = 0;
    ASSERT_EQ(ole->GetMiscStatus(DVASPECT_CONTENT, &misc), S_OK);
    EXPECT_EQ(misc, typelib::kOleMiscStatus);
    Ptr<IProvideClassInfo2> info;
    ASSERT_EQ(ole.As(IID_IProvideClassInfo2, info), S_OK);
    GUID source{};
    ASSERT_EQ(info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source), S_OK);
    EXPECT_TRUE(IsEqualGUID(source, kIidVostrelEvents));
    Ptr<ITypeInfo> cls;
    ASSERT_EQ(info->GetClassInfo(cls.put()), S_OK);

    Ptr<IConnectionPointContainer> points;
    ASSERT_EQ(ole.As(IID_IConnectionPointContainer, points), S_OK);
    Ptr<IConnectionPoint> events;
    ASSERT_EQ(points->FindConnectionPoint(kIidVostrelEvents, events.put()), S_OK);
    EventRecorder a(kIidVostrelEvents), b(kIidVostrelEvents);
    DWORD ca = 0, cb = 0;
    ASSERT_EQ(events->Advise(&a, &ca), S_OK);
    ASSERT_EQ(events->Advise(&b, &cb), S_OK);
    EXPECT_NE(ca, cb);
    EXPECT_EQ(events->Unadvise(ca), S_OK);
    EXPECT_EQ(events->Unadvise(ca), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(a.refs(), 1u);

    // Both points are listed, the events' first.
    Ptr<IEnumConnectionPoints> all;
    ASSERT_EQ(points->EnumConnectionPoints(all.put()), S_OK);
    IConnectionPoint* listed[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(all->Next(3, listed, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    IID first{}, second{};
    listed[0]->GetConnectionInterface(&first);
    listed[1]->GetConnectionInterface(&second);
    EXPECT_TRUE(IsEqualIID(first, kIidVostrelEvents));
    EXPECT_TRUE(IsEqualIID(second, IID_IPropertyNotifySink));
    for (ULONG i = 0; i < fetched; ++i) listed[i]->Release();
    EXPECT_EQ(all->Reset(), S_OK);
    EXPECT_EQ(all->Skip(3), S_FALSE);
    all.reset();
    events.reset();
    points.reset();
    info.reset();
    cls.reset();
    ole.reset();
    EXPECT_EQ(b.refs(), 1u);  // released with the object
}

TEST(Control, ASinkUnadvisedDuringANotificationIsNotCalledAfterwards) {
    Sited form(AmbientSite::Answer::RunMode);
    ChangeRecorder later;
    DWORD laterCookie = 0;
    ASSERT_EQ(form.changePoint->Advise(&later, &laterCookie), S_OK);
    // The first sink drops the second as it hears of the change.
    form.changes.onChanged = [&] { EXPECT_EQ(form.changePoint->Unadvise(laterCookie), S_OK); };
    ASSERT_EQ(form.control->put_PingNXT(VARIANT_FALSE), S_OK);
    EXPECT_EQ(form.changes.changed, std::vector<DISPID>{id::kPingNXT});
    EXPECT_TRUE(later.changed.empty());
    EXPECT_EQ(later.refs(), 1u);
}

// A form's designer activates the control in place: it gets a child window
// of the form's, where its picture is drawn while designed and nothing at
// run time; deactivation and closing take the window away.
TEST(Control, InPlaceActiveInAChildWindowOfTheForm) {
    // The form's window: a message-only one, which needs no display (the
    // control treats any parent alike).
    HWND form = CreateWindowExW(0, L"STATIC", L"form", 0, 0, 0, 300, 200, HWND_MESSAGE, nullptr,
                                nullptr, nullptr);
    ASSERT_NE(form, nullptr) << "no window for the form: " << GetLastError();
    Sited on(AmbientSite::Answer::DesignMode);
    on.site.window = form;
    ASSERT_EQ(
        on.ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &on.site, 0, form, &on.site.position),
        S_OK);
    EXPECT_EQ(on.site.activations, 1);
    Ptr<IOleInPlaceObject> inPlace;
    ASSERT_EQ(on.control.As(IID_IOleInPlaceObject, inPlace), S_OK);
    HWND window = nullptr;
    ASSERT_EQ(inPlace->GetWindow(&window), S_OK);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(GetParent(window), form);
    EXPECT_TRUE(GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE);  // designed: shown
    RECT r{};
    GetWindowRect(window, &r);
    MapWindowPoints(nullptr, form, reinterpret_cast<POINT*>(&r), 2);
    EXPECT_EQ(r.left, 10);
    EXPECT_EQ(r.top, 20);
    EXPECT_EQ(r.right - r.left, 79);
    EXPECT_EQ(r.bottom - r.top, 54);

    const RECT moved{40, 50, 119, 104};
    ASSERT_EQ(inPlace->SetObjectRects(&moved, &moved), S_OK);
    GetWindowRect(window, &r);
    MapWindowPoints(nullptr, form, reinterpret_cast<POINT*>(&r), 2);
    EXPECT_EQ(r.left, 40);
    EXPECT_EQ(r.top, 50);

    // The form runs: the picture goes.
    on.site.answer = AmbientSite::Answer::RunMode;
    Ptr<IOleControl> control;
    ASSERT_EQ(on.control.As(IID_IOleControl, control), S_OK);
    ASSERT_EQ(control->OnAmbientPropertyChange(DISPID_AMBIENT_USERMODE), S_OK);
    EXPECT_FALSE(GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE);

    ASSERT_EQ(inPlace->InPlaceDeactivate(), S_OK);
    EXPECT_EQ(on.site.deactivations, 1);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(inPlace->GetWindow(&window), E_FAIL);

    // Activated again, then closed by the container: deactivated with it.
    ASSERT_EQ(on.ole->DoVerb(OLEIVERB_SHOW, nullptr, &on.site, 0, form, &on.site.position), S_OK);
    ASSERT_EQ(inPlace->GetWindow(&window), S_OK);
    ASSERT_EQ(on.ole->Close(OLECLOSE_NOSAVE), S_OK);
    EXPECT_EQ(on.site.deactivations, 2);
    EXPECT_FALSE(IsWindow(window));
    inPlace.reset();
    control.reset();
    DestroyWindow(form);
}

TEST(Control, DrawsItsPictureAtDesignTimeOnly) {
    for (auto answer : {AmbientSite::Answer::DesignMode, AmbientSite::Answer::RunMode}) {
        Sited form(answer);
        Ptr<IViewObject2> view;
        ASSERT_EQ(form.control.As(IID_IViewObject2, view), S_OK);
        SIZEL size{};
        ASSERT_EQ(view->GetExtent(DVASPECT_CONTENT, -1, nullptr, &size), S_OK);
        EXPECT_EQ(size.cx, 79 * 2540 / 96);
        EXPECT_EQ(size.cy, 54 * 2540 / 96);
        HDC screen = GetDC(nullptr);
        HDC dc = CreateCompatibleDC(screen);
        HBITMAP target = CreateCompatibleBitmap(screen, 79, 54);
        SelectObject(dc, target);
        RECT all{0, 0, 79, 54};
        FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
        RECTL bounds{0, 0, 79, 54};
        ASSERT_EQ(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &bounds, nullptr,
                             nullptr, 0),
                  S_OK);
        int painted = 0;
        for (int y = 0; y < 54; y += 3)
            for (int x = 0; x < 79; x += 3) painted += GetPixel(dc, x, y) != RGB(0, 0, 0);
        if (answer == AmbientSite::Answer::DesignMode) {
            EXPECT_GT(painted, 100);
        } else {
            EXPECT_EQ(painted, 0);
        }
        DeleteDC(dc);
        DeleteObject(target);
        ReleaseDC(nullptr, screen);
    }
}

TEST(Module, CanUnloadExactlyWhenNoObjectAndNoLockIsAlive) {
    EXPECT_EQ(CanUnloadNow(), S_OK);
    {
        Ptr<_Vostrel> control;
        ASSERT_EQ(CreateControl(kIidVostrel, control.put_void()), S_OK);
        EXPECT_EQ(CanUnloadNow(), S_FALSE);
    }
    EXPECT_EQ(CanUnloadNow(), S_OK);
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    auto get = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(GetProcAddress(Module(), "DllGetClassObject")));
    Ptr<IClassFactory> factory;
    ASSERT_EQ(get(kClsId, IID_IClassFactory, factory.put_void()), S_OK);
    EXPECT_EQ(CanUnloadNow(), S_FALSE);  // a client holds the class object
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    IUnknown* aggregated = nullptr;
    EXPECT_EQ(factory->CreateInstance(reinterpret_cast<IUnknown*>(factory.get()), IID_IUnknown,
                                      reinterpret_cast<void**>(&aggregated)),
              CLASS_E_NOAGGREGATION);
    factory.reset();
    EXPECT_EQ(CanUnloadNow(), S_FALSE);  // the lock alone
    ASSERT_EQ(get(kClsId, IID_IClassFactory, factory.put_void()), S_OK);
    ASSERT_EQ(factory->LockServer(FALSE), S_OK);
    factory.reset();
    EXPECT_EQ(CanUnloadNow(), S_OK);
}

// --- another apartment ----------------------------------------------------------

// A thread of another apartment (here the process's MTA) calls the typed
// interface through a proxy, which the Automation marshaler builds from the
// registered type library: registered for any locale, or the proxy is
// refused (E_NOINTERFACE). Needs the control registered, as registration.sh
// and the package test have it (they set VOSTREL_TEST_REGISTERED).
TEST(OtherApartment, TypedInterfaceThroughAProxy) {
    if (!std::getenv("VOSTREL_TEST_REGISTERED"))
        GTEST_SKIP() << "needs the control registered: run by registration.sh and the package test";
    Ptr<_Vostrel> control;
    ASSERT_EQ(CreateControl(kIidVostrel, control.put_void()), S_OK);
    IStream* stream = nullptr;
    ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(kIidVostrel, control.get(), &stream), S_OK);
    const HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HRESULT unmarshal = E_FAIL, read = E_FAIL, status = E_FAIL;
    short box = -2;
    std::wstring text, message;
    std::thread other([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        Ptr<_Vostrel> proxy;
        unmarshal = CoGetInterfaceAndReleaseStream(stream, kIidVostrel, proxy.put_void());
        if (SUCCEEDED(unmarshal)) {
            Bstr got, error;
            read = proxy->ReadText(&box, got.put());
            text = got.str();
            status = proxy->get_ErrorMessage(error.put());
            message = error.str();
        }
        proxy.reset();
        CoUninitialize();
        SetEvent(done);
    });
    // The object's apartment serves the calls from its message queue.
    while (MsgWaitForMultipleObjects(1, &done, FALSE, 20000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
    other.join();
    CloseHandle(done);
    ASSERT_EQ(unmarshal, S_OK) << "no proxy for _Vostrel in another apartment";
    EXPECT_EQ(read, S_OK);
    EXPECT_EQ(box, 2);  // the by-reference write-back crossed back
    EXPECT_EQ(text, L"-1");
    EXPECT_EQ(status, S_OK);
    Bstr direct;
    ASSERT_EQ(control->get_ErrorMessage(direct.put()), S_OK);
    EXPECT_EQ(message, direct.str());
}

}  // namespace
}  // namespace vostrel::activex::testing
