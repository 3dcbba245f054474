// vostrel.sim: the simulated brick on a pseudo-terminal, for Python
// programs that test themselves without a brick.
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <memory>

#include "bindings.hpp"
#include "exit_gate.hpp"
#include "sim/simulated_brick.hpp"
#include "sim/wire.hpp"

VOSTREL_PYTHON_MADE_ONLY(vostrel::sim::BrickStatus);

namespace vostrel::python {

namespace {

using std::chrono::milliseconds;

// The brick's mailboxes: its program's inboxes 0 to 9, its outboxes 10 to 19.
constexpr int kLastBox = sim::BrickEngine::kInboxes - 1;

milliseconds Ms(double seconds, const char* name) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 1e8)
        throw py::value_error(std::string(name) + ": seconds, 0 or more");
    return milliseconds(std::llround(seconds * 1000.0));
}

int Box(int box, int lo, int hi, const char* name) {
    if (box < lo || box > hi)
        throw py::value_error(std::string(name) + ": " + std::to_string(box) + " is outside " +
                              std::to_string(lo) + " to " + std::to_string(hi));
    return box;
}

// A whole number from an option's items: TypeError for another kind,
// ValueError outside lo to hi.
long long WholeItem(py::handle item, long long lo, long long hi, const char* name) {
    if (!PyIndex_Check(item.ptr()) || PyBool_Check(item.ptr()))
        throw py::type_error(std::string(name) + ": whole numbers (int), not " +
                             Py_TYPE(item.ptr())->tp_name);
    const py::int_ whole(py::reinterpret_borrow<py::object>(item));
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(whole.ptr(), &overflow);
    if (overflow != 0 || n < lo || n > hi)
        throw py::value_error(std::string(name) + ": " + py::repr(whole).cast<std::string>() +
                              " is outside " + std::to_string(lo) + " to " + std::to_string(hi));
    return n;
}

// The items of any iterable (a list, a tuple, a set, a generator...).
std::vector<py::object> Items(const py::object& values, const char* name) {
    if (!py::isinstance<py::iterable>(values) || py::isinstance<py::str>(values) ||
        py::isinstance<py::bytes>(values))
        throw py::type_error(std::string(name) + ": an iterable, not " +
                             Py_TYPE(values.ptr())->tp_name);
    std::vector<py::object> out;
    for (auto item : values) out.push_back(py::reinterpret_borrow<py::object>(item));
    return out;
}

// A (mailbox, value) pair of send_texts / send_numbers.
std::pair<int, py::object> Pair(const py::object& item, const char* name) {
    const std::vector<py::object> parts = Items(item, name);
    if (parts.size() != 2)
        throw py::value_error(std::string(name) + ": (mailbox, value) pairs, not " +
                              py::repr(item).cast<std::string>());
    return {static_cast<int>(WholeItem(parts[0], 0, 9, name)), parts[1]};
}

py::list BytesList(const std::vector<std::string>& items) {
    py::list out;
    for (const auto& s : items) out.append(FromByteString(s));
    return out;
}

py::list Tones(const std::vector<sim::Tone>& tones) {
    py::list out;
    for (const auto& t : tones) out.append(py::make_tuple(t.frequency, t.durationMs));
    return out;
}

// What WaitUntil compares to notice that something happened.
auto Fingerprint(const sim::BrickStatus& s) {
    return std::make_tuple(s.received.size(), s.tones.size(), s.pingsSent, s.pingAnswers,
                           s.wrongAnswers, s.bytesIn, s.bytesOut, s.bytesDropped, s.silent,
                           s.hungUp);
}

// Used from the thread that made it, as a control is: close() from another
// thread could destroy the brick under a wait_until that runs without the
// GIL.
class Brick {
public:
    explicit Brick(sim::BrickOptions options) : thread_(ThisThread()) {
        WithPython python;
        WithoutPython nogil;
        brick_ = std::make_unique<sim::SimulatedBrick>(std::move(options));
    }

    sim::SimulatedBrick& Get() {
        CheckThread();
        if (!brick_) throw py::value_error("the brick has been closed");
        return *brick_;
    }

    void Close() {
        CheckThread();
        WithPython python;
        WithoutPython nogil;  // its thread may be finishing a write
        brick_.reset();
    }

    bool WaitUntil(const py::function& pred, double timeout) {
        const auto deadline = std::chrono::steady_clock::now() + Ms(timeout, "timeout");
        WithPython python;
        for (;;) {
            const sim::BrickStatus now = Get().Status();
            const int held = PyObject_IsTrue(pred(now).ptr());
            if (held < 0) throw py::error_already_set();
            if (held) return true;
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) return false;
            const auto seen = Fingerprint(now);
            // Looked up again: the predicate may have closed the brick.
            sim::SimulatedBrick& brick = Get();
            WithoutPython nogil;
            brick.WaitUntil([&](const sim::BrickStatus& s) { return Fingerprint(s) != seen; },
                            std::chrono::ceil<milliseconds>(left));
        }
    }

private:
    void CheckThread() const {
        if (ThisThread() != thread_)
            throw std::runtime_error("this simulated brick belongs to thread " +
                                     std::to_string(thread_) +
                                     ", which made it; it was called from thread " +
                                     std::to_string(ThisThread()) + ". Use it from there.");
    }

    unsigned long thread_;
    std::unique_ptr<sim::SimulatedBrick> brick_;
};

std::unique_ptr<Brick> MakeBrick(const std::string& device, bool program, double pingEvery,
                                 int pingBox, const py::object& pingText,
                                 const py::object& echoBoxes, int replyBox, int reportTones,
                                 const py::object& sendTexts, const py::object& sendNumbers,
                                 double sendEvery, int sendCount, double silentAfter,
                                 double silentFor, int split, double splitGap, bool join) {
    sim::BrickOptions o;
    o.device = device;
    o.programRunning = program;
    o.program.pingEvery = Ms(pingEvery, "ping_every");
    o.program.pingInbox = Box(pingBox, 0, 9, "ping_box");
    // One byte per character, as every other text (the host answers the
    // query byte for byte, '?' turned into '!').
    o.program.pingText = ToByteString(pingText, "ping_text");
    if (o.program.pingText.empty() || o.program.pingText[0] != '?' ||
        o.program.pingText.size() > sim::kMaxText)
        throw py::value_error("ping_text: begins with '?', at most 58 bytes");
    for (const auto& b : Items(echoBoxes, "echo_boxes"))
        o.program.echoInboxes.insert(static_cast<int>(WholeItem(b, 0, 9, "echo_boxes")));
    o.program.replyInbox = Box(replyBox, -1, 9, "reply_box");
    o.program.toneReportInbox = Box(reportTones, -1, 9, "report_tones");
    const milliseconds every = Ms(sendEvery, "send_every");
    if (every.count() <= 0) throw py::value_error("send_every: more than 0 seconds");
    if (sendCount < 0) throw py::value_error("send_count: 0 (no limit) or more");
    for (const auto& item : Items(sendTexts, "send_texts")) {
        const auto [box, text] = Pair(item, "send_texts");
        String payload = ToByteString(text, "send_texts");
        if (payload.size() > sim::kMaxText)
            throw py::value_error("send_texts: a text over 58 bytes");
        o.program.schedule.push_back({box, payload, every, sendCount});
    }
    for (const auto& item : Items(sendNumbers, "send_numbers")) {
        const auto [box, value] = Pair(item, "send_numbers");
        const auto n = WholeItem(value, INT32_MIN, INT32_MAX, "send_numbers");
        o.program.schedule.push_back(
            {box, sim::NumberPayload(static_cast<std::int32_t>(n)), every, sendCount});
    }
    o.silentAfter = Ms(silentAfter, "silent_after");
    o.silentFor = Ms(silentFor, "silent_for");
    if (split < 1 || split > 64) throw py::value_error("split: 1 to 64 pieces");
    o.programDelivery = {split, Ms(splitGap, "split_gap")};
    o.joinProgramPairs = join;
    return std::make_unique<Brick>(std::move(o));
}

}  // namespace

}  // namespace vostrel::python

VOSTREL_PYTHON_MADE_ONLY(vostrel::python::Brick);

namespace vostrel::python {

void BindSim(py::module_& top) {
    py::module_ m = top.def_submodule("sim", "The simulated brick.");

    BindClass<sim::BrickStatus>(m, "BrickStatus",
                                "What a simulated brick has done so far (a snapshot).")
        .def_property_readonly(
            "tones", [](const sim::BrickStatus& s) { return Tones(s.tones); },
            "The tones it heard, oldest first, as (frequency in Hz, duration in ms).")
        .def(
            "stored",
            [](const sim::BrickStatus& s, int inbox) {
                return BytesList(s.StoredFor(Box(inbox, 0, kLastBox, "mailbox")));
            },
            py::arg("mailbox"),
            "Every message stored for `mailbox` (0 to 19), oldest first, as bytes with the\n"
            "closing NUL (a number as its 4 bytes, low first). ValueError for another mailbox.")
        .def_readonly("pings_sent", &sim::BrickStatus::pingsSent, "Keep-alive queries sent.")
        .def_readonly("ping_answers", &sim::BrickStatus::pingAnswers, "Correct answers to them.")
        .def_readonly("wrong_answers", &sim::BrickStatus::wrongAnswers,
                      "Other texts in the keep-alive mailbox.")
        .def_readonly("keep_alives", &sim::BrickStatus::keepAlives, "KEEPALIVE commands received.")
        .def_readonly("bytes_in", &sim::BrickStatus::bytesIn, "Bytes read from the line.")
        .def_readonly("bytes_out", &sim::BrickStatus::bytesOut, "Bytes written to the line.")
        .def_readonly("bytes_dropped", &sim::BrickStatus::bytesDropped,
                      "Bytes not written (silent, hung up, or nobody reading).")
        .def_readonly("silent", &sim::BrickStatus::silent, "Whether it is silent now.")
        .def_readonly("hung_up", &sim::BrickStatus::hungUp, "Whether it has hung up.")
        .def("__repr__", [](const sim::BrickStatus& s) {
            return "<BrickStatus pings_sent=" + std::to_string(s.pingsSent) +
                   " ping_answers=" + std::to_string(s.pingAnswers) +
                   " tones=" + std::to_string(s.tones.size()) +
                   " bytes_in=" + std::to_string(s.bytesIn) +
                   " bytes_out=" + std::to_string(s.bytesOut) + (s.silent ? " silent" : "") +
                   (s.hungUp ? " hung_up" : "") + ">";
        });

    BindClass<Brick>(m, "Brick",
                     R"(A simulated NXT brick on the far side of a pseudo-terminal, on its own
thread. Point a control at `device` (ports={0: brick.device}).

It stores what arrives in its inboxes and answers as the brick's firmware
does, records tones, and runs a program chosen by the options (those of
`vostrel sim`; times in seconds): keep-alive queries every `ping_every`
into mailbox `ping_box`, texts into `echo_boxes` echoed as b'got <text>'
(to `reply_box`, -1: the same mailbox), tones reported to `report_tones`,
`send_texts` / `send_numbers` ((mailbox, value) pairs) sent every
`send_every`, `send_count` times (0: no limit), a silence from
`silent_after` for `silent_for`, program messages written in `split`
pieces `split_gap` apart or two to a write (`join`). `program=False`: no
program runs and messages are refused. Use it as a context manager, or
call close(). Like a control, it is used from the thread that made it: a
member called from another thread raises RuntimeError.)")
        .def(py::init(&MakeBrick), py::kw_only(), py::arg("device") = "", py::arg("program") = true,
             py::arg("ping_every") = 3.0, py::arg("ping_box") = 0, py::arg("ping_text") = "?",
             py::arg("echo_boxes") = py::make_tuple(1), py::arg("reply_box") = -1,
             py::arg("report_tones") = -1, py::arg("send_texts") = py::tuple(),
             py::arg("send_numbers") = py::tuple(), py::arg("send_every") = 1.0,
             py::arg("send_count") = 0, py::arg("silent_after") = 0.0, py::arg("silent_for") = 0.0,
             py::arg("split") = 1, py::arg("split_gap") = 0.02, py::arg("join") = false,
             "Starts the brick. Texts (ping_text, send_texts) are bytes, or str one byte per\n"
             "character (Latin-1): vostrel.TypeMismatch for a character without a one-byte\n"
             "code. ping_text begins with '?' (at most 58 bytes). echo_boxes, send_texts and\n"
             "send_numbers take any iterable. ValueError for an option out of range, TypeError\n"
             "for one of the wrong kind; OSError when no pseudo-terminal can be had or\n"
             "`device` cannot be opened.")
        .def_property_readonly(
            "device", [](Brick& b) { return b.Get().DevicePath(); },
            "The device path a control opens.")
        .def(
            "send_text",
            [](Brick& b, int mailbox, TextArg text, int pieces, double gap) {
                if (pieces < 1) throw py::value_error("pieces: 1 or more");
                b.Get().SendText(Box(mailbox, 0, 255, "mailbox"), ToByteString(text.value, "text"),
                                 {pieces, Ms(gap, "gap")});
            },
            py::arg("mailbox"), py::arg("text"), py::kw_only(), py::arg("pieces") = 1,
            py::arg("gap") = 0.0,
            "The brick's program sends a text (bytes, or str as Latin-1; at most 58 bytes,\n"
            "ValueError beyond) to the host's `mailbox`, written in `pieces` writes `gap`\n"
            "seconds apart.")
        .def(
            "send_number",
            [](Brick& b, int mailbox, WholeArg value) {
                b.Get().SendNumber(Box(mailbox, 0, 255, "mailbox"), ToLong(value.value, "value"));
            },
            py::arg("mailbox"), py::arg("value"),
            "The program sends a 32-bit number (4 bytes, low first) to `mailbox`.")
        .def(
            "send_garbage",
            [](Brick& b, TextArg data) { b.Get().SendGarbage(ToByteString(data.value, "data")); },
            py::arg("data"), "Writes `data` to the line as it is, unframed.")
        .def(
            "go_silent", [](Brick& b, double seconds) { b.Get().GoSilent(Ms(seconds, "seconds")); },
            py::arg("seconds"),
            "Sends nothing at all for `seconds` (replies and program messages are dropped).")
        .def(
            "stop_reading", [](Brick& b, bool stop) { b.Get().StopReading(stop); },
            py::arg("stop") = true,
            "Stops (True) or resumes (False) reading the line while the program goes on\n"
            "sending: a radio link stalled one way. What the host writes piles up.")
        .def(
            "hang_up",
            [](Brick& b) {
                auto& brick = b.Get();
                WithPython python;
                WithoutPython nogil;
                brick.HangUp();
            },
            "Closes the line for good: the host sees a hang-up. Returns once it is closed.")
        .def(
            "stop_program", [](Brick& b) { b.Get().StopProgram(); },
            "Stops the program: messages are then refused (status EC).")
        .def(
            "start_program", [](Brick& b) { b.Get().StartProgram(); },
            "Starts the program afresh (queues emptied, its clock restarted).")
        .def(
            "status", [](Brick& b) { return b.Get().Status(); },
            "A snapshot of what it has done (BrickStatus).")
        .def(
            "stored",
            [](Brick& b, int mailbox) {
                Box(mailbox, 0, kLastBox, "mailbox");
                return BytesList(b.Get().Status().StoredFor(mailbox));
            },
            py::arg("mailbox"),
            "Every message the host stored in `mailbox`, oldest first, as bytes with the\n"
            "closing NUL (a number as its 4 bytes, low first): 0 to 9 are the inboxes of the\n"
            "brick's program, 10 to 19 its outboxes. ValueError for another mailbox.")
        .def_property_readonly(
            "tones", [](Brick& b) { return Tones(b.Get().Status().tones); },
            "The tones it heard, oldest first, as (frequency in Hz, duration in ms).")
        .def(
            "inbox",
            [](Brick& b, int mailbox) {
                return BytesList(b.Get().Inbox(Box(mailbox, 0, kLastBox, "mailbox")));
            },
            py::arg("mailbox"),
            "The messages still waiting in inbox `mailbox` (0 to 19) for the program, oldest "
            "first.")
        .def("wait_until", &Brick::WaitUntil, py::arg("predicate"), py::arg("timeout"),
             "Waits until `predicate(status)` holds (checked now and after every change) or\n"
             "`timeout` seconds pass; returns whether it held. The GIL is released while waiting.\n"
             "ValueError once the brick is closed (by the predicate too) and it has not held.")
        .def("close", &Brick::Close,
             "Stops the brick's thread and closes its line (again: nothing).")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](Brick& b, py::args) { b.Close(); });
}

}  // namespace vostrel::python
