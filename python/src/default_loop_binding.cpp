// vostrel.DefaultLoop: the blocking loop, run from Python with the GIL
// released while it waits, Ctrl-C and posted callables included.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <optional>

#include "bindings.hpp"
#include "loops.hpp"

namespace vostrel::python {

namespace {

using Clock = std::chrono::steady_clock;

// How long the loop waits in the system before it looks at Python's
// signal flags: the bound on how late Ctrl-C ends run().
constexpr std::chrono::milliseconds kSignalCheck{50};

class PyDefaultLoop final : public LoopHolder {
public:
    platform::EventLoop& Loop() override { return loop_; }

    void Defer(std::exception_ptr error) override {
        if (!deferred_) deferred_ = error;
        Stop();
    }

    // Runs until stop(), a deferred KeyboardInterrupt/SystemExit, a signal
    // handler's exception, or `limit` has passed. Called with the GIL.
    void Run(std::optional<Clock::duration> limit) {
        if (running_) throw py::value_error("run() called from inside this loop's own callback");
        running_ = true;
        struct Reset {
            bool& flag;
            ~Reset() { flag = false; }
        } reset{running_};

        const auto deadline = limit ? Clock::now() + *limit : Clock::time_point::max();
        for (;;) {
            {
                py::gil_scoped_release nogil;
                std::chrono::milliseconds slice = kSignalCheck;
                if (limit) {
                    const auto left =
                        std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
                    slice = std::max(std::chrono::milliseconds(0), std::min(slice, left));
                }
                loop_.run_for(slice);
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
            py::gil_scoped_acquire gil;
            delete o;
        });
        loop_.post([this, held] {
            py::gil_scoped_acquire gil;
            try {
                (*held)();
            } catch (...) {
                ReportCallbackFailure(std::current_exception(), *held, this);
            }
        });
    }

    std::uint64_t Wakeups() const { return loop_.Wakeups(); }

private:
    platform::DefaultLoop loop_;
    std::atomic<bool> stopRequested_{false};
    bool running_ = false;
    std::exception_ptr deferred_;
};

Clock::duration Seconds(double s) {
    if (!std::isfinite(s) || s < 0)
        throw py::value_error("seconds must be a finite number, 0 or more");
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

}  // namespace

void BindDefaultLoop(py::module_& m) {
    py::class_<PyDefaultLoop, LoopHolder>(m, "DefaultLoop",
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
another thread). Ctrl-C (or another signal whose handler raises) ends it
within about 50 ms with that exception, as does a KeyboardInterrupt or
SystemExit raised by a handler. Other exceptions from handlers and posted
callables are reported to sys.unraisablehook and the loop goes on.
Raises ValueError when called from inside this loop's callbacks.)")
        .def(
            "run_for", [](PyDefaultLoop& l, double seconds) { l.Run(Seconds(seconds)); },
            py::arg("seconds"),
            "As run(), but returns after `seconds` (a float, seconds) at the latest.")
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
