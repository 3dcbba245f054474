// vostrel.DefaultLoop: the blocking loop, run from Python with the GIL
// released while it waits, Ctrl-C and posted callables included.
//
// Ctrl-C: Python's own C signal handler only notes the signal and writes a
// byte to the descriptor given to signal.set_wakeup_fd; its Python handler
// (the one raising KeyboardInterrupt) runs later, on the main thread, when
// someone calls PyErr_CheckSignals. So while run() waits on the main thread,
// the loop watches a pipe installed as that descriptor: an idle loop sleeps
// in the system until real work or a signal comes.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "exit_gate.hpp"
#include "loops.hpp"

namespace vostrel::python {

namespace {

using Clock = std::chrono::steady_clock;

// Without its wake-up pipe (the system refused one), a run on the main thread
// waits in slices this long and looks at Python's signal flags between them:
// the bound on how late Ctrl-C then ends run().
constexpr std::chrono::milliseconds kSignalCheck{50};

// True when Python runs signal handlers on this thread: its main thread in
// the main interpreter. Elsewhere PyErr_CheckSignals does nothing and
// set_wakeup_fd is refused. Called with the GIL.
bool HandlesSignals() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) return false;
    const py::object main = py::module_::import("threading").attr("main_thread")();
    return main.attr("ident").cast<unsigned long>() == PyThread_get_thread_ident();
}

class PyDefaultLoop final : public LoopHolder {
public:
    ~PyDefaultLoop() override {
        if (sigRead_ >= 0) ::close(sigRead_);
        if (sigWrite_ >= 0) ::close(sigWrite_);
    }

    platform::EventLoop& Loop() override { return loop_; }

    void Defer(std::exception_ptr error) override {
        if (!deferred_) deferred_ = error;
        Stop();
    }

    std::string HowToReach() const override { return "loop.post(callable)"; }

    // While no run() is under way no thread can be inside the loop, and
    // none can enter it while we hold the GIL: destroyed at once. During a
    // run, the loop's thread destroys it between two callbacks (or when the
    // run ends, whichever comes first).
    void Dispose(std::shared_ptr<void> part) noexcept override {
        if (!running_) return;  // `part` goes here
        try {
            disposals_.push_back(std::move(part));
            loop_.post([this] {
                WithPython python;
                DisposeHeld();
            });
        } catch (...) {
            // Out of memory: kept, the run's end destroys it; not kept, it goes here.
        }
    }

    // Runs until stop(), a deferred KeyboardInterrupt/SystemExit, a signal
    // handler's exception, or `limit` has passed. Called with the GIL.
    void Run(std::optional<Clock::duration> limit) {
        if (running_ && runner_ != ThisThread())
            throw std::runtime_error("this loop is already running on thread " +
                                     std::to_string(runner_) +
                                     "; a loop runs on one thread at a time (this is thread " +
                                     std::to_string(ThisThread()) + ")");
        if (running_) throw py::value_error("run() called from inside this loop's own callback");
        WithPython python;  // the interpreter's exit waits while this holds the GIL
        if (HasControls() && Owner() != ThisThread())
            throw std::runtime_error("this loop serves the controls made on thread " +
                                     std::to_string(Owner()) + ": run it there (this is thread " +
                                     std::to_string(ThisThread()) + ")");
        running_ = true;
        runner_ = ThisThread();
        // Whatever was handed over during the run goes before it ends.
        struct Reset {
            PyDefaultLoop& loop;
            ~Reset() {
                loop.DisposeHeld();
                loop.running_ = false;
            }
        } reset{*this};

        // Off the main thread no signal handler can run here (Ctrl-C raises
        // in the main thread, which may end this run with stop()), so the
        // loop just sleeps. On it, the wake-up pipe; failing that, slices.
        std::optional<SignalWatch> signals;
        bool sliced = false;
        if (HandlesSignals()) {
            signals.emplace(*this);
            sliced = !signals->Active();
            // A signal noted before the pipe was in place wrote no byte to it.
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }

        const auto deadline = limit ? Clock::now() + *limit : Clock::time_point::max();
        for (;;) {
            {
                WithoutPython nogil;
                std::optional<std::chrono::milliseconds> wait;
                if (sliced) wait = kSignalCheck;
                if (limit) {
                    const auto left = std::max(
                        std::chrono::milliseconds(0),
                        std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()));
                    wait = wait ? std::min(*wait, left) : left;
                }
                if (wait)
                    loop_.run_for(*wait);
                else
                    loop_.run();
            }
            if (deferred_) {
                stopRequested_ = false;
                std::rethrow_exception(std::exchange(deferred_, nullptr));
            }
            if (stopRequested_.exchange(false)) return;
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            if (limit && Clock::now() >= deadline) return;
        }
    }

    void Stop() {
        stopRequested_ = true;
        loop_.stop();
    }

    void Post(py::object fn) {
        if (!PyCallable_Check(fn.ptr())) throw py::type_error("post() takes a callable");
        // The callable's last reference may go on any thread: take the GIL for it.
        std::shared_ptr<py::object> held(new py::object(std::move(fn)), [](py::object* o) {
            WithPython python;
            delete o;
        });
        loop_.post([this, held] {
            WithPython python;
            try {
                (*held)();
            } catch (...) {
                ReportCallbackFailure(std::current_exception(), *held, this);
            }
        });
    }

    std::uint64_t Wakeups() const { return loop_.Wakeups(); }

protected:
    bool RunsElsewhere() override { return running_ && runner_ != ThisThread(); }

private:
    // Destroys what Dispose kept, on the loop's thread and outside the
    // controls' callbacks (in a posted one, or after the run), with the GIL. Taken out first: a
    // destructor that runs Python code may let another thread hand over more meanwhile.
    void DisposeHeld() {
        while (!disposals_.empty()) {
            std::vector<std::shared_ptr<void>> now;
            now.swap(disposals_);
            now.clear();
        }
    }

    // For one run on the main thread: the loop's pipe as Python's wake-up
    // descriptor, its read end watched; the previous descriptor is put back
    // afterwards. Made and undone with the GIL held.
    class SignalWatch {
    public:
        explicit SignalWatch(PyDefaultLoop& owner) : owner_(owner) {
            if (!owner_.MakeSignalPipe()) return;
            try {
                previous_ = py::module_::import("signal")
                                .attr("set_wakeup_fd")(owner_.sigWrite_)
                                .cast<int>();
            } catch (const py::error_already_set&) {
                return;  // refused: the caller falls back to slices
            }
            forwardTo_ = previous_;
            watch_ = owner_.loop_.Watch(owner_.sigRead_, [this] { OnSignal(); });
        }
        ~SignalWatch() {
            if (watch_ == 0) return;
            owner_.loop_.Unwatch(watch_);
            // Put back what was there, keeping a pending exception intact.
            py::error_scope keep;
            try {
                py::module_::import("signal").attr("set_wakeup_fd")(previous_);
            } catch (py::error_already_set& e) {
                e.discard_as_unraisable("restoring the previous signal.set_wakeup_fd");
            }
        }
        SignalWatch(const SignalWatch&) = delete;
        SignalWatch& operator=(const SignalWatch&) = delete;

        bool Active() const { return watch_ != 0; }

    private:
        // From the loop, without the GIL: empty the pipe and return to Run,
        // which runs the Python handlers. The bytes (signal numbers) go on
        // to the previous descriptor, so its reader (asyncio's signal
        // handlers, say) still learns of them.
        void OnSignal() {
            char bytes[64];
            ssize_t n;
            while ((n = ::read(owner_.sigRead_, bytes, sizeof bytes)) > 0) {
                if (forwardTo_ >= 0 && ::write(forwardTo_, bytes, static_cast<size_t>(n)) < 0 &&
                    errno != EAGAIN)
                    forwardTo_ = -1;  // gone or unwritable: stop trying
            }
            owner_.loop_.stop();
        }

        PyDefaultLoop& owner_;
        int previous_ = -1;
        int forwardTo_ = -1;
        platform::EventLoop::Id watch_ = 0;
    };

    // The signal pipe, made on first need and kept for the loop's life;
    // false when the system refuses one.
    bool MakeSignalPipe() {
        if (sigRead_ >= 0) return true;
        int fds[2];
        if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return false;
        sigRead_ = fds[0];
        sigWrite_ = fds[1];
        return true;
    }

    platform::DefaultLoop loop_;
    int sigRead_ = -1;
    int sigWrite_ = -1;
    std::atomic<bool> stopRequested_{false};
    bool running_ = false;      // with the GIL
    unsigned long runner_ = 0;  // the thread of the run under way
    std::exception_ptr deferred_;
    std::vector<std::shared_ptr<void>> disposals_;  // with the GIL; before loop_ goes
};

// Past this a run's deadline would overflow the clock: such a run goes on
// until stopped, as run() does (about 31 years).
constexpr double kLongestRun = 1e9;

// The limit of run_for(s); none for a run longer than kLongestRun.
std::optional<Clock::duration> Seconds(double s) {
    if (!std::isfinite(s) || s < 0)
        throw py::value_error("seconds must be a finite number, 0 or more");
    if (s > kLongestRun) return std::nullopt;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

}  // namespace

}  // namespace vostrel::python

VOSTREL_PYTHON_MADE_ONLY(vostrel::python::PyDefaultLoop);

namespace vostrel::python {

void BindDefaultLoop(py::module_& m) {
    BindClass<PyDefaultLoop, LoopHolder>(m, "DefaultLoop",
                                         R"(A blocking event loop for programs without one.

Controls made on it receive their mail, answer the brick's keep-alive
queries and run their watchdog only while run() or run_for() runs, on
the thread that calls it. The GIL is released while the loop waits, so
other Python threads go on meanwhile; handlers run with it held.)")
        .def(py::init<>(),
             "Makes a loop. Raises vostrel.Error (8020) when the system refuses its wake-up pipe.")
        .def(
            "run", [](PyDefaultLoop& l) { l.Run(std::nullopt); },
            R"(Runs the loop until stop() is called (by a handler, a posted callable or
another thread). On the main thread, Ctrl-C (or another signal whose
handler raises) ends it at once with that exception, as does a
KeyboardInterrupt or SystemExit raised by a handler; Python's signal
handlers run meanwhile. An idle loop sleeps until work or a signal comes.
It lends itself a wake-up pipe through signal.set_wakeup_fd for the run
and restores the previous one after, passing on the signal numbers it
received meanwhile. Off the main thread, Python handles signals in the
main thread only: stop() this loop from there. Other exceptions from handlers and posted
callables are reported to sys.unraisablehook and the loop goes on.
Raises ValueError when called from inside this loop's callbacks, RuntimeError
while another thread runs it. At the interpreter's exit a loop still
running on a daemon thread stops for good where it would next run Python
code (the exit waits up to a second for a handler under way).)")
        .def(
            "run_for", [](PyDefaultLoop& l, double seconds) { l.Run(Seconds(seconds)); },
            py::arg("seconds"),
            "As run(), but returns after `seconds` (a float, seconds) at the latest; more than\n"
            "1e9 seconds (about 31 years) runs until stop(), as run() does.")
        .def("stop", &PyDefaultLoop::Stop,
             "Makes the running run()/run_for() return after its current callback; with none\n"
             "running, the next one returns at once. Safe from any thread.")
        .def("post", &PyDefaultLoop::Post, py::arg("callable"),
             "Queues `callable()` to run on the loop's thread, in posting order, and wakes the\n"
             "loop. Safe from any thread: the way other threads reach a control.")
        .def_property_readonly("wakeups", &PyDefaultLoop::Wakeups,
                               "How many times the loop has woken from the system's wait.");
}

}  // namespace vostrel::python
