// vostrel.AsyncioLoop: the platform's EventLoop over a running asyncio loop
// (add_reader / remove_reader, call_at), so a control lives inside an
// asyncio program with no thread of its own.
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "bindings.hpp"
#include "exit_gate.hpp"
#include "loops.hpp"

namespace vostrel::python {

namespace {

// LoopHolder first: pybind11 finds the base it was told of at the start of the object.
class AsyncioLoop final : public LoopHolder, public platform::EventLoop {
public:
    explicit AsyncioLoop(py::object loop) : loop_(std::move(loop)) {
        if (loop_.is_none()) loop_ = py::module_::import("asyncio").attr("get_running_loop")();
        for (const char* name : {"add_reader", "remove_reader", "call_at", "time"})
            if (!py::hasattr(loop_, name))
                throw py::type_error(std::string("AsyncioLoop needs an asyncio loop with ") + name +
                                     "()");
    }

    ~AsyncioLoop() override {
        // Nothing of ours may be called once we are gone. Failures of a closed
        // loop do not matter here.
        WithPython python;
        for (auto& [id, t] : timers_) Cancel(t.handle);
        for (Direction* d : {&readers_, &writers_}) {
            for (auto& [fd, ids] : d->ids) Remove(*d, fd);
            d->ids.clear();
        }
        timers_.clear();
        watches_.clear();
    }

    platform::EventLoop& Loop() override { return *this; }
    void Defer(std::exception_ptr error) override {
        if (!deferred_) deferred_ = error;
    }

    std::string HowToReach() const override {
        return "asyncio_loop.call_soon_threadsafe(callable)";
    }

    // The control runs only inside the asyncio loop's callbacks or a call
    // of the serving thread, always with the GIL, which we hold: when the
    // loop does not run, or runs here outside our callbacks, nothing of
    // ours is under way. Otherwise the asyncio loop drops it soon, on its
    // thread (or at its close(), if it never runs again).
    void Dispose(std::shared_ptr<void> part) noexcept override {
        try {
            const bool here = ThisThread() == Owner();
            if (here ? depth_ == 0 : !loop_.attr("is_running")().cast<bool>()) return;
            loop_.attr(here ? "call_soon" : "call_soon_threadsafe")(
                py::cpp_function([part]() mutable { part.reset(); }));
        } catch (py::error_already_set& e) {
            // Refused (a closed loop runs nothing any more): it goes here.
            e.discard_as_unraisable("handing a dropped control to its asyncio loop");
        } catch (...) {
        }
    }

    TimePoint Now() const override { return Clock::now(); }

    Id Watch(int fd, Callback onReady) override { return Add(readers_, fd, std::move(onReady)); }

    // asyncio's add_writer where the loop has it; otherwise 0 (the caller
    // retries on a timer).
    Id WatchWritable(int fd, Callback onWritable) override {
        WithPython python;
        if (!py::hasattr(loop_, "add_writer") || !py::hasattr(loop_, "remove_writer")) return 0;
        return Add(writers_, fd, std::move(onWritable));
    }

    void Unwatch(Id watch) override {
        auto it = watches_.find(watch);
        if (it == watches_.end()) return;
        WithPython python;
        const int fd = it->second.fd;
        Direction& d = *it->second.direction;
        watches_.erase(it);
        auto& ids = d.ids[fd];
        ids.erase(watch);
        if (ids.empty()) {
            d.ids.erase(fd);
            Remove(d, fd);
        }
    }

    Id StartTimer(TimePoint due, Clock::duration period, Callback onTick) override {
        WithPython python;
        const Id id = nextId_++;
        Timed t{due, period, std::make_shared<Callback>(std::move(onTick)), py::none()};
        t.handle = Schedule(id, due);
        timers_.emplace(id, std::move(t));
        return id;
    }

    void CancelTimer(Id timer) override {
        auto it = timers_.find(timer);
        if (it == timers_.end()) return;
        WithPython python;
        Cancel(it->second.handle);
        timers_.erase(it);
    }

    py::object AsyncioObject() const { return loop_; }

protected:
    bool RunsElsewhere() override {
        if (!loop_.attr("is_running")().cast<bool>()) return false;
        return !py::module_::import("asyncio").attr("_get_running_loop")().is(loop_);
    }

private:
    // Counts our callbacks under way, for Dispose.
    struct Inside {
        int& depth;
        explicit Inside(int& d) : depth(d) { ++depth; }
        ~Inside() { --depth; }
        Inside(const Inside&) = delete;
        Inside& operator=(const Inside&) = delete;
    };

    // Readiness one way: asyncio's calls for it, and the ids watching each
    // descriptor (asyncio keeps one callback per descriptor and way).
    struct Direction {
        const char* add;
        const char* remove;
        std::map<int, std::set<Id>> ids;
    };
    struct Watched {
        int fd;
        std::shared_ptr<Callback> fn;  // shared: the callback may unwatch itself
        Direction* direction;
    };
    struct Timed {
        TimePoint due;
        Clock::duration period;
        std::shared_ptr<Callback> fn;
        py::object handle;  // the asyncio TimerHandle
    };

    // The asyncio loop's own clock is used for call_at, offset by how far
    // `due` lies from now on the steady clock (both are monotonic; they
    // need not be the same clock).
    py::object Schedule(Id id, TimePoint due) {
        const double delay = std::chrono::duration<double>(due - Now()).count();
        const double when = loop_.attr("time")().cast<double>() + (delay > 0 ? delay : 0);
        return loop_.attr("call_at")(when, py::cpp_function([this, id] { OnTimer(id); }));
    }

    Id Add(Direction& d, int fd, Callback fn) {
        WithPython python;
        const Id id = nextId_++;
        auto& ids = d.ids[fd];
        if (ids.empty()) {
            try {
                loop_.attr(d.add)(fd, py::cpp_function([this, &d, fd] { OnReady(d, fd); }));
            } catch (...) {
                d.ids.erase(fd);
                throw;
            }
        }
        ids.insert(id);
        watches_[id] = Watched{fd, std::make_shared<Callback>(std::move(fn)), &d};
        return id;
    }

    void OnReady(const Direction& d, int fd) {
        // A daemon thread's asyncio loop may still run while the interpreter
        // exits: the control then does nothing more (its handlers could be
        // ended half-way).
        if (ExitBegun()) return;
        WithPython python;  // runs the control, and handlers, from asyncio
        auto found = d.ids.find(fd);
        if (found == d.ids.end()) return;
        const std::set<Id> ids = found->second;
        Inside inside(depth_);
        for (Id id : ids) {
            auto it = watches_.find(id);
            if (it == watches_.end()) continue;  // unwatched by an earlier callback
            auto fn = it->second.fn;
            (*fn)();
        }
        RaiseDeferred();
    }

    void OnTimer(Id id) {
        if (ExitBegun()) return;  // as in OnReady
        WithPython python;
        auto it = timers_.find(id);
        if (it == timers_.end()) return;
        Inside inside(depth_);
        auto fn = it->second.fn;
        Timed& t = it->second;
        if (t.period > Clock::duration::zero()) {
            // Fixed deadlines; ticks missed while the loop was busy are skipped.
            const TimePoint now = Now();
            t.due += t.period;
            if (t.due <= now) t.due += ((now - t.due) / t.period + 1) * t.period;
            t.handle = Schedule(id, t.due);
        } else {
            timers_.erase(it);
        }
        (*fn)();
        RaiseDeferred();
    }

    void RaiseDeferred() {
        if (deferred_) std::rethrow_exception(std::exchange(deferred_, nullptr));
    }

    void Remove(const Direction& d, int fd) {
        try {
            loop_.attr(d.remove)(fd);
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable(loop_);
        }
    }

    static void Cancel(py::object& handle) {
        if (!handle.is_none()) handle.attr("cancel")();
        handle = py::none();
    }

    py::object loop_;
    Id nextId_ = 1;
    std::map<Id, Watched> watches_;
    Direction readers_{"add_reader", "remove_reader", {}};
    Direction writers_{"add_writer", "remove_writer", {}};  // WatchWritable's
    std::map<Id, Timed> timers_;
    std::exception_ptr deferred_;
    int depth_ = 0;  // our callbacks under way (with the GIL)
};

}  // namespace

}  // namespace vostrel::python

VOSTREL_PYTHON_MADE_ONLY(vostrel::python::AsyncioLoop);

namespace vostrel::python {

void BindAsyncioLoop(py::module_& m) {
    BindClass<AsyncioLoop, LoopHolder>(m, "AsyncioLoop",
                                       R"(The running asyncio loop, as a loop for Vostrel controls.

A control made on it is served by asyncio itself (add_reader for the
serial line, call_at for the watchdog): no thread of its own, and its
handlers run as asyncio callbacks, on the loop's thread. Make it, and the
control, inside the asyncio program (e.g. in the coroutine asyncio.run
runs); the asyncio loop must outlive them. Selector loops only (the
default on Linux).)")
        .def(py::init<py::object>(), py::arg("loop") = py::none(),
             "Wraps `loop`, or the running asyncio loop when None (RuntimeError when\n"
             "there is none). TypeError for an object without add_reader/call_at.")
        .def_property_readonly("asyncio_loop", &AsyncioLoop::AsyncioObject,
                               "The asyncio loop it runs on.");
}

}  // namespace vostrel::python
