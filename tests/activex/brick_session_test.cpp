// A form's whole life with the control and a simulated brick on a COM port:
// designed and saved, then run from that saved state, connected, sending,
// receiving mail with ReadText inside the handler, told of the brick's
// silence, disconnected and saved again. The brick's side of the bytes is
// checked by with_simulated_brick.sh from the brick's own account.
//
// VOSTREL_TEST_COM_PORT names the COM port number mapped to the brick.
#include <gtest/gtest.h>

#include <cstdlib>

#include "activex/guids.hpp"
#include "activex/vostrel_idl.h"
#include "tests/activex/com_fixtures.hpp"
#include "tests/activex/module_under_test.hpp"

namespace vostrel::activex::testing {
namespace {

namespace id = vostrel::dispid;

struct ComApartment : ::testing::Environment {
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr))); }
    void TearDown() override { OleUninitialize(); }
};
const auto* const kApartment = ::testing::AddGlobalTestEnvironment(new ComApartment);

// The control sited on a form, with both connection points advised.
struct OnForm {
    OnForm(AmbientSite::Answer mode) : site(mode) {
        EXPECT_EQ(CreateControl(kIidVostrel, control.put_void()), S_OK);
        EXPECT_EQ(control.As(IID_IOleObject, ole), S_OK);
        EXPECT_EQ(ole->SetClientSite(&site), S_OK);
        EXPECT_EQ(control.As(IID_IPersistPropertyBag, persist), S_OK);
        Ptr<IConnectionPointContainer> points;
        EXPECT_EQ(control.As(IID_IConnectionPointContainer, points), S_OK);
        EXPECT_EQ(points->FindConnectionPoint(kIidVostrelEvents, eventPoint.put()), S_OK);
        EXPECT_EQ(points->FindConnectionPoint(IID_IPropertyNotifySink, changePoint.put()), S_OK);
        EXPECT_EQ(changePoint->Advise(&changes, &changeCookie), S_OK);
    }
    ~OnForm() {
        changePoint->Unadvise(changeCookie);
        ole->Close(OLECLOSE_NOSAVE);
        ole->SetClientSite(nullptr);
    }

    AmbientSite site;
    ChangeRecorder changes;
    Ptr<_Vostrel> control;
    Ptr<IOleObject> ole;
    Ptr<IPersistPropertyBag> persist;
    Ptr<IConnectionPoint> eventPoint;
    Ptr<IConnectionPoint> changePoint;
    DWORD changeCookie = 0;
};

std::wstring Message(_Vostrel* control) {
    Bstr text;
    control->get_ErrorMessage(text.put());
    return text.str();
}

TEST(BrickSession, DesignedSavedRunConnectedAndBack) {
    const char* portText = std::getenv("VOSTREL_TEST_COM_PORT");
    if (!portText)
        GTEST_SKIP() << "VOSTREL_TEST_COM_PORT is not set (run by with_simulated_brick.sh)";
    const short port = static_cast<short>(std::atoi(portText));

    // Designed: a new instance, saved as the designer would.
    MemoryBag form;
    {
        OnForm designer(AmbientSite::Answer::DesignMode);
        ASSERT_EQ(designer.persist->InitNew(), S_OK);
        short ignored = 0, rate = 9600;
        short result = 0;
        EXPECT_EQ(designer.control->ConnectNXT(&ignored, &rate, &result),
                  static_cast<HRESULT>(0x800A0183));  // its status setter is guarded
        ASSERT_EQ(designer.persist->Save(&form, TRUE, TRUE), S_OK);
    }

    // Run: restored from that bag, both kinds of sink advised.
    OnForm running(AmbientSite::Answer::RunMode);
    ASSERT_EQ(running.persist->Load(&form, nullptr), S_OK);
    EventRecorder first(kIidVostrelEvents), second(kIidVostrelEvents);
    DWORD c1 = 0, c2 = 0;
    ASSERT_EQ(running.eventPoint->Advise(&first, &c1), S_OK);
    ASSERT_EQ(running.eventPoint->Advise(&second, &c2), S_OK);
    std::vector<std::wstring> readInHandler;
    first.onNewMail = [&](short mailBox) {
        // Back into the control from inside its event, late-bound.
        VARIANT arg;
        VariantInit(&arg);
        V_VT(&arg) = VT_I2;
        V_I2(&arg) = mailBox;
        DISPPARAMS params{&arg, nullptr, 1, 0};
        VARIANT text;
        VariantInit(&text);
        EXPECT_EQ(running.control->Invoke(id::kReadText, IID_NULL, 0, DISPATCH_METHOD, &params,
                                          &text, nullptr, nullptr),
                  S_OK);
        readInHandler.emplace_back(V_BSTR(&text), SysStringLen(V_BSTR(&text)));
        VariantClear(&text);
    };

    short portNumber = port, rate = 9600, result = 9;
    ASSERT_EQ(running.control->ConnectNXT(&portNumber, &rate, &result), S_OK);
    const std::wstring status = Message(running.control.get());
    ASSERT_EQ(result, 0) << "ConnectNXT: " << std::string(status.begin(), status.end());
    VARIANT_BOOL connected = 0;
    running.control->get_Connection(&connected);
    EXPECT_EQ(connected, VARIANT_TRUE);
    EXPECT_EQ(Message(running.control.get()), L"No errores");
    EXPECT_EQ(running.changes.changed, (std::vector<DISPID>{id::kConnection, id::kErrorMessage}));

    // A text through the function table, a number late-bound by reference.
    short mailBox = 3;
    BSTR hello = SysAllocString(L"hello");
    ASSERT_EQ(running.control->SendText(&mailBox, &hello, &result), S_OK);
    EXPECT_EQ(result, 0);
    SysFreeString(hello);
    VARIANT box, number;
    VariantInit(&box);
    VariantInit(&number);
    V_VT(&box) = VT_I2;
    V_I2(&box) = 2;
    V_VT(&number) = VT_I4;
    V_I4(&number) = -123456;
    VARIANT args[2];
    V_VT(&args[1]) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&args[1]) = &box;
    V_VT(&args[0]) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&args[0]) = &number;
    DISPPARAMS params{args, nullptr, 2, 0};
    VARIANT sent;
    VariantInit(&sent);
    ASSERT_EQ(running.control->Invoke(id::kSendValue, IID_NULL, 0, DISPATCH_METHOD, &params, &sent,
                                      nullptr, nullptr),
              S_OK);
    EXPECT_EQ(V_I2(&sent), 0);
    EXPECT_EQ(V_I4(&number), 123456);  // |Value| written back into the variable

    // The brick answers texts to mailbox 1 with "got <text>".
    mailBox = 1;
    BSTR hi = SysAllocString(L"hi");
    ASSERT_EQ(running.control->SendText(&mailBox, &hi, &result), S_OK);
    SysFreeString(hi);
    PumpMessages(5000, [&] { return !second.events.empty(); });
    ASSERT_EQ(first.events.size(), 1u);
    ASSERT_EQ(second.events.size(), 1u);
    EXPECT_EQ(first.events[0], (std::pair<DISPID, int>{id::kNewMail, 1}));
    EXPECT_EQ(second.events[0], (std::pair<DISPID, int>{id::kNewMail, 1}));
    EXPECT_EQ(first.argumentTypes[0], VT_BYREF | VT_I2);
    ASSERT_EQ(readInHandler.size(), 1u);
    EXPECT_EQ(readInHandler[0], std::wstring(L"got hi") + L'\0');  // the brick's closing NUL kept

    // The container freezes events: two more answers, then the brick says
    // nothing, and NoPing comes once the watchdog's 10 s pass. No sink hears
    // of it until the container thaws events; then all of it, in order.
    Ptr<IOleControl> oleControl;
    ASSERT_EQ(running.control.As(IID_IOleControl, oleControl), S_OK);
    ASSERT_EQ(oleControl->FreezeEvents(TRUE), S_OK);
    for (const wchar_t* text : {L"a", L"b"}) {
        BSTR mail = SysAllocString(text);
        ASSERT_EQ(running.control->SendText(&mailBox, &mail, &result), S_OK);
        SysFreeString(mail);
    }
    // The status changes even so (property notifications are not events).
    PumpMessages(13000, [&] { return Message(running.control.get()) == L"Ping error"; });
    EXPECT_EQ(Message(running.control.get()), L"Ping error");
    EXPECT_EQ(second.events.size(), 1u);
    ASSERT_EQ(oleControl->FreezeEvents(FALSE), S_OK);
    EXPECT_EQ(second.events.size(), 1u);  // from the message queue, not inside the call
    PumpMessages(2000, [&] { return second.events.size() >= 4; });
    const std::vector<std::pair<DISPID, int>> heard{
        {id::kNewMail, 1}, {id::kNewMail, 1}, {id::kNewMail, 1}, {id::kNoPing, -1}};
    EXPECT_EQ(second.events, heard);
    EXPECT_EQ(first.events, heard);
    ASSERT_EQ(readInHandler.size(), 3u);
    EXPECT_EQ(readInHandler[1], std::wstring(L"got b") + L'\0');  // the slot keeps the latest

    ASSERT_EQ(running.control->DisconnectNXT(&result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(running.eventPoint->Unadvise(c1), S_OK);
    EXPECT_EQ(running.eventPoint->Unadvise(c2), S_OK);
    MemoryBag after;
    ASSERT_EQ(running.persist->Save(&after, TRUE, TRUE), S_OK);
    EXPECT_EQ(V_BOOL(&after.values[L"Connection"]), VARIANT_FALSE);
    EXPECT_EQ(std::wstring(V_BSTR(&after.values[L"ErrorMessage"])), L"No errores");
}

// A handler that lets the control go from inside its event (a form closed
// from a NewMail handler): the control is still in its own code below the
// handler, so the object must outlive the event and go afterwards, from the
// message queue, releasing its port.
TEST(BrickSession, ReleasedInsideItsOwnEventTheControlGoesOnceTheEventIsOver) {
    const char* portText = std::getenv("VOSTREL_TEST_COM_PORT");
    if (!portText)
        GTEST_SKIP() << "VOSTREL_TEST_COM_PORT is not set (run by with_simulated_brick.sh)";
    short port = static_cast<short>(std::atoi(portText));
    ASSERT_EQ(CanUnloadNow(), S_OK);

    Ptr<_Vostrel> control;
    ASSERT_EQ(CreateControl(kIidVostrel, control.put_void()), S_OK);
    EventRecorder sink(kIidVostrelEvents);
    {
        Ptr<IConnectionPointContainer> points;
        ASSERT_EQ(control.As(IID_IConnectionPointContainer, points), S_OK);
        Ptr<IConnectionPoint> point;
        ASSERT_EQ(points->FindConnectionPoint(kIidVostrelEvents, point.put()), S_OK);
        DWORD cookie = 0;
        ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);
    }
    HRESULT aliveInside = E_FAIL;
    sink.onNewMail = [&](short) {
        control.reset();  // the last reference
        aliveInside = CanUnloadNow();
    };
    short rate = 9600, result = 9, box = 1;
    ASSERT_EQ(control->ConnectNXT(&port, &rate, &result), S_OK);
    ASSERT_EQ(result, 0);
    BSTR bye = SysAllocString(L"bye");
    ASSERT_EQ(control->SendText(&box, &bye, &result), S_OK);
    SysFreeString(bye);
    PumpMessages(5000, [&] { return !sink.events.empty(); });
    ASSERT_EQ(sink.events.size(), 1u);
    EXPECT_EQ(aliveInside, S_FALSE);  // not deleted under the control's feet
    PumpMessages(2000, [] { return CanUnloadNow() == S_OK; });
    EXPECT_EQ(CanUnloadNow(), S_OK);  // deleted once the event was over
    EXPECT_EQ(sink.refs(), 1u);       // and the sink released

    // The port went with it: a new control opens it again.
    Ptr<_Vostrel> next;
    ASSERT_EQ(CreateControl(kIidVostrel, next.put_void()), S_OK);
    ASSERT_EQ(next->ConnectNXT(&port, &rate, &result), S_OK);
    EXPECT_EQ(result, 0);
    ASSERT_EQ(next->DisconnectNXT(&result), S_OK);
}

}  // namespace
}  // namespace vostrel::activex::testing
