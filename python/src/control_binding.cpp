// The control as Python sees it: the members under their published names,
// values in and results out (no by-reference write-backs), events delivered
// to the Python object's NewMail and NoPing methods.
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "bindings.hpp"
#include "exit_gate.hpp"
#include "loops.hpp"
#include "persistence.hpp"
#include "vostrel/platform.hpp"

namespace vostrel::python {

namespace {

platform::PortMap MakePorts(const py::object& ports) {
    platform::PortMap map;
    if (ports.is_none()) return map;
    if (!py::hasattr(ports, "items"))
        throw py::type_error(
            "ports: a mapping from port numbers to device paths or bricks, e.g. {0: '/dev/pts/3'}"
            " or {5: 'NXT'}");
    // The path as the system takes it: str in the file system's encoding.
    py::object fsencode = py::module_::import("os").attr("fsencode");
    for (auto item : ports.attr("items")()) {
        auto pair = item.cast<py::tuple>();
        const Integer number = ToInteger(pair[0], "ports");
        std::string text = fsencode(pair[1]).cast<std::string>();
        // The system would stop reading the path at a NUL and open another device.
        if (text.find('\0') != std::string::npos)
            throw py::value_error("ports: the path for port " + std::to_string(number) + ", " +
                                  py::repr(pair[1]).cast<std::string>() +
                                  ", contains a NUL character; no device path does");
        // A str is what a user typed: a path, or a brick by its Bluetooth
        // address or name; a path object is always a path.
        if (py::isinstance<py::str>(pair[1]))
            map.MapText(number, text);
        else
            map.Map(number, std::move(text));
    }
    return map;
}

class PyControl;

// The control and what it calls back, kept apart from the Python object:
// when that goes while the control may be busy (on another thread, or
// inside one of its own callbacks), the loop destroys this part later, and
// the events that still come meanwhile go nowhere.
class Native final : public EventSink, public HostSite {
public:
    Native(PyControl* owner, py::object loopRef, LoopHolder& loop, platform::PortMap ports)
        : owner_(owner), loopRef_(std::move(loopRef)), loop_(loop) {
        control_ = platform::MakeControl(loop_.Loop(), this, std::move(ports));
        control_->SetEventSink(this);
    }
    ~Native() override {
        control_.reset();  // before the loop it unwatches
        WithPython python;
        loopRef_.release().dec_ref();
    }
    Native(const Native&) = delete;
    Native& operator=(const Native&) = delete;

    Vostrel& Control() { return *control_; }
    LoopHolder& Loop() { return loop_; }
    py::object LoopObject() const { return loopRef_; }
    /// The Python object is going (with the GIL): no more events for it.
    void Orphan() { owner_ = nullptr; }

    // Events go to the Python object's methods (a subclass's, or the
    // package's Vostrel, which calls the registered handlers). The object
    // is held for the call: a handler that drops its last other reference
    // does not destroy it under our feet (~PyControl then hands us over).
    void NewMail(Integer& MailBox) override {
        WithPython python;
        if (owner_ == nullptr) return;
        py::object self = Self();
        self.attr("NewMail")(MailBox);
    }
    void NoPing() override {
        WithPython python;
        if (owner_ == nullptr) return;
        py::object self = Self();
        self.attr("NoPing")();
    }

    bool UserMode() override { return true; }  // a Python program always runs its control
    void PropertyChanged(std::string_view) override {}
    void UnhandledError(std::exception_ptr error) override {
        WithPython python;
        ReportCallbackFailure(error, owner_ != nullptr ? Self() : py::none(), &loop_);
    }

private:
    // The Python object that owns us (found, not held: no cycle).
    py::object Self();

    PyControl* owner_;    // with the GIL; nullptr once it has gone
    py::object loopRef_;  // keeps the loop alive longer than the control
    LoopHolder& loop_;
    std::unique_ptr<Vostrel> control_;
};

class PyControl final {
public:
    PyControl(py::object loop, const py::object& ports) {
        if (!py::isinstance<LoopHolder>(loop))
            throw py::type_error("loop: a vostrel.DefaultLoop or vostrel.AsyncioLoop");
        auto& holder = loop.cast<LoopHolder&>();
        platform::PortMap map = MakePorts(ports);
        holder.AddControl();
        thread_ = ThisThread();
        try {
            native_ = std::make_shared<Native>(this, std::move(loop), holder, std::move(map));
        } catch (...) {
            holder.RemoveControl();
            throw;
        }
    }
    // With the GIL, on whichever thread dropped the last reference.
    ~PyControl() {
        py::error_scope keep;  // the error being raised, if one is, stays intact
        native_->Orphan();
        LoopHolder& loop = native_->Loop();
        loop.RemoveControl();
        loop.Dispose(std::move(native_));
    }
    PyControl(const PyControl&) = delete;
    PyControl& operator=(const PyControl&) = delete;

    /// The control, for its own thread only.
    Vostrel& Get() {
        if (ThisThread() != thread_) WrongThread();
        return native_->Control();
    }
    py::object LoopObject() const { return native_->LoopObject(); }

private:
    [[noreturn]] void WrongThread() const {
        throw std::runtime_error(
            "this Vostrel control belongs to thread " + std::to_string(thread_) +
            ", which made it and runs its loop; it was called from thread " +
            std::to_string(ThisThread()) + ". From another thread hand the call over with " +
            native_->Loop().HowToReach());
    }

    unsigned long thread_ = 0;
    std::shared_ptr<Native> native_;
};

}  // namespace
}  // namespace vostrel::python

VOSTREL_PYTHON_MADE_ONLY(vostrel::python::PyControl);

namespace vostrel::python {
namespace {

py::object Native::Self() { return py::cast(owner_, py::return_value_policy::reference); }

py::object Seconds(Long ms) { return py::float_(ms / 1000.0); }

}  // namespace

void BindControl(py::module_& m) {
    BindClass<PyControl>(m, "Control",
                         R"(The control's native part; use vostrel.Vostrel, which adds handlers.)")
        .def(py::init<py::object, py::object>(), py::arg("loop"), py::arg("ports") = py::none(),
             R"(Makes a control on `loop` (a DefaultLoop or an AsyncioLoop; kept alive by
the control). `ports` maps port numbers to device paths ({0: '/dev/pts/3'})
or, on Linux, to bricks by Bluetooth name or address ({5: 'NXT'}; a str
with no '/' names a brick, a path object is always a path), replacing the
default port N -> /dev/rfcommN for those numbers (ValueError for a path with
a NUL character). New
instance: Connection False, ErrorMessage '', PingNXT True, every mailbox
'-1'; the port stays closed until ConnectNXT.)")

        // --- properties ---------------------------------------------------------
        .def_property(
            "Connection", [](PyControl& c) { return FromBoolean(c.Get().Connection()); },
            [](PyControl& c, py::handle v) { c.Get().Connection(ToBoolean(v, "Connection")); },
            R"(Whether the link is believed up (set by ConnectNXT and DisconnectNXT).
Reads True (-1) or False (0), or the int stored when it is neither. Set
with a bool, or an int stored as it is (-32768 to 32767; vostrel.Overflow
beyond). Setting it opens or closes nothing.)")
        .def_property(
            "ErrorMessage", [](PyControl& c) { return FromText(c.Get().ErrorMessage()); },
            [](PyControl& c, py::handle v) {
                c.Get().ErrorMessage(ToByteString(v, "ErrorMessage"));
            },
            R"(Status text of the last operation that reported one: "No errores",
"Error parameters for send", "Connection error", "Comm error",
"Ping error" (exactly these texts). May be set (str or bytes).)")
        .def_property(
            "PingNXT", [](PyControl& c) { return FromBoolean(c.Get().PingNXT()); },
            [](PyControl& c, py::handle v) { c.Get().PingNXT(ToBoolean(v, "PingNXT")); },
            R"(Whether the watchdog raises NoPing when the brick has been silent for one
interval. Only exactly True (-1) counts; an int is stored as it is (so 1 is
not True). Reads like Connection.)")

        // --- methods --------------------------------------------------------------
        .def(
            "SendValue",
            [](PyControl& c, WholeArg MailBox, WholeArg Value) {
                return c.Get().SendValue(ToInteger(MailBox.value, "MailBox"),
                                         ToLong(Value.value, "Value"));
            },
            py::arg("MailBox"), py::arg("Value"),
            R"(Sends the 32-bit number |Value| to mailbox MailBox (0 to 9) of the brick.
Returns 0 (sent; ErrorMessage "No errores") or 1 (a negative or too large
mailbox, or the write failed; "Error parameters for send"). Arguments are
values: nothing is written back. vostrel.Overflow for a MailBox beyond 16
bits or a Value beyond 32 bits, vostrel.TypeMismatch for a non-integer
(nothing is sent then, and ErrorMessage is unchanged).)")
        .def(
            "SendText",
            [](PyControl& c, WholeArg MailBox, TextArg Mail) {
                return c.Get().SendText(ToInteger(MailBox.value, "MailBox"),
                                        ToByteString(Mail.value, "Mail"));
            },
            py::arg("MailBox"), py::arg("Mail"),
            R"(Sends the text Mail (0 to 58 bytes) to mailbox |MailBox| (-9 to 9).
Mail is bytes, or str sent one byte per character (Latin-1): a character
without a one-byte code raises vostrel.TypeMismatch and nothing is sent.
Returns 0 ("No errores") or 1 ("Error parameters for send": too long, a
mailbox beyond 9, or the write failed). Nothing is written back.)")
        .def(
            "ConnectNXT",
            [](PyControl& c, WholeArg PortNumber, WholeArg BoudRate) {
                return c.Get().ConnectNXT(ToInteger(PortNumber.value, "PortNumber"),
                                          ToInteger(BoudRate.value, "BoudRate"));
            },
            py::arg("PortNumber"), py::arg("BoudRate"),
            R"(Opens port PortNumber (N -> /dev/rfcommN unless the constructor's ports
map it) at BoudRate bits/s (1 to 32767; 9600 is customary), makes the brick
beep and arms the watchdog. Returns 0 ("No errores", Connection True) or 1
("Connection error", Connection False); on an already open port it fails
and leaves the link open.)")
        .def(
            "DisconnectNXT", [](PyControl& c) { return c.Get().DisconnectNXT(); },
            R"(Closes the port if open and stops the watchdog. Returns 0 ("No errores")
or 1 ("Comm error").)")
        .def(
            "ReadText",
            [](PyControl& c, WholeArg MsgBox) {
                return FromByteString(c.Get().ReadText(ToInteger(MsgBox.value, "MsgBox")));
            },
            py::arg("MsgBox"),
            R"(Returns the text stored for mailbox |MsgBox| as bytes, exactly as stored
(closing NUL included), and empties the slot: b'-1' for a slot never
filled, b'' once taken, b'Error!' for 10 and above. Raises vostrel.Overflow
(error 6) for -32768.)")

        // --- events (overridden by vostrel.Vostrel or a subclass) -----------------
        .def(
            "NewMail", [](PyControl&, int) {}, py::arg("mailbox"),
            R"(Event: a text from the brick has just been stored for `mailbox` (0 to 9);
take it with ReadText. Runs synchronously on the loop's thread and may call
any member. An exception is reported to sys.unraisablehook; the loop goes
on.)")
        .def(
            "NoPing", [](PyControl&) {},
            R"(Event: the brick has sent nothing for one watchdog interval (10 s) while
PingNXT is True; repeats every interval while the silence lasts.
ErrorMessage becomes "Ping error" after the handlers return.)")

        // --- for Python programs --------------------------------------------------
        .def_property_readonly("loop", &PyControl::LoopObject, "The loop the control runs on.")
        .def_property_readonly(
            "last_error",
            [](PyControl& c) -> py::object {
                // A link that is gone is the news, whatever failed before it.
                auto* port = dynamic_cast<platform::Port*>(&c.Get().Comm1());
                if (port && !port->LinkFailure().empty())
                    return ErrorType()(static_cast<int>(err::kDeviceIo), port->LinkFailure());
                const auto& e = c.Get().LastError();
                if (!e) return py::none();
                return ErrorType()(e->Number(), std::string(e->what()));
            },
            R"(Why the last SendValue, SendText, ConnectNXT or DisconnectNXT failed: a
vostrel.Error with the number and the system's reason ("cannot reach the
brick ...: this system has no Bluetooth support"), or None when it
succeeded. Once a Bluetooth link is known to be gone (the brick hung up, the
link failed or never came up), why, as a kDeviceIo error, until the port is
closed or opened again: the link to ... ended: the brick closed the link
(Connection reset by peer).)")
        .def_property(
            "watchdog_interval",
            [](PyControl& c) { return Seconds(c.Get().PingTimer().Interval()); },
            [](PyControl& c, double seconds) {
                const double ms = std::round(seconds * 1000.0);
                if (!std::isfinite(ms) || ms < 1 || ms > std::numeric_limits<Long>::max())
                    throw Error(err::kInvalidPropertyValue,
                                "watchdog_interval: from 0.001 s to about 24 days, in seconds");
                c.Get().PingTimer().Interval(static_cast<Long>(ms));
            },
            R"(The watchdog's interval in seconds (10.0). For testing a program's NoPing
handling without waiting 10 s; a brick needs the 10 s. Changing it while
connected starts counting again. vostrel.Error 380 below 1 ms.)")
        .def(
            "properties_to_dict", [](PyControl& c) { return SaveToDict(c.Get()); },
            R"(The three persisted properties as a dict {'Connection': bool,
'ErrorMessage': str, 'PingNXT': bool} (a Boolean neither -1 nor 0 as its int).)")
        .def(
            "properties_from_dict",
            [](PyControl& c, const py::dict& d) { RestoreFromDict(c.Get(), d); }, py::arg("values"),
            R"(Restores the persisted properties from such a dict, with no guard and no
change notification; a missing key takes its default (False, '', True). An
int for a Boolean is kept as its raw value. All or nothing: ValueError for
any other key, vostrel.Error naming the key for a value that does not
convert, and then no property changes.)")
        .def(
            "_properties_to_text", [](PyControl& c) { return SaveToText(c.Get()); },
            "The text form of the project's property bag (see save_properties).")
        .def(
            "_properties_from_text",
            [](PyControl& c, const std::string& t) { RestoreFromText(c.Get(), t); },
            py::arg("text"), "Restores from the bag's text form (see load_properties).");
}

}  // namespace vostrel::python
