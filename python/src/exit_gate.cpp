// The exit hook and the count of threads inside guarded Python calls.
#include "exit_gate.hpp"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace vostrel::python {

namespace {

namespace py = pybind11;

struct Gate {
    std::mutex mutex;
    std::condition_variable left;
    bool exiting = false;
    unsigned long exitThread = 0;  // the thread running the exit: never stopped
    long inside = 0;               // threads holding or taking the GIL in guarded scopes
};

// Never destroyed: threads may still use it while the process ends.
Gate& TheGate() {
    static Gate* gate = new Gate;
    return *gate;
}

[[noreturn]] void StopForGood() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

// Counts the calling thread in, unless the exit has begun and it would
// have to take the GIL: then it stops here.
void Enter(bool holdsGil) {
    Gate& gate = TheGate();
    std::unique_lock lock(gate.mutex);
    if (gate.exiting && !holdsGil && PyThread_get_thread_ident() != gate.exitThread) {
        lock.unlock();
        StopForGood();
    }
    ++gate.inside;
}

void Leave() {
    Gate& gate = TheGate();
    {
        std::lock_guard lock(gate.mutex);
        --gate.inside;
    }
    gate.left.notify_all();
}

// From atexit, which runs before the interpreter starts ending threads:
// from now on no thread takes the GIL in our code, and those inside get
// the GIL (let go here) to finish.
void OnExit() {
    Gate& gate = TheGate();
    {
        std::lock_guard lock(gate.mutex);
        gate.exiting = true;
        gate.exitThread = PyThread_get_thread_ident();
    }
    py::gil_scoped_release nogil;
    std::unique_lock lock(gate.mutex);
    gate.left.wait_for(lock, kExitGrace, [&] { return gate.inside == 0; });
}

}  // namespace

bool ExitBegun() {
    Gate& gate = TheGate();
    std::lock_guard lock(gate.mutex);
    return gate.exiting && PyThread_get_thread_ident() != gate.exitThread;
}

void WatchInterpreterExit(py::module_& m) {
    py::module_::import("atexit").attr("register")(
        py::cpp_function(&OnExit, py::name("_at_exit"), py::scope(m)));
}

WithPython::Counted::Counted() { Enter(PyGILState_Check() != 0); }
WithPython::Counted::~Counted() { Leave(); }

WithoutPython::Uncounted::Uncounted() { Leave(); }
WithoutPython::Uncounted::~Uncounted() { Enter(false); }

}  // namespace vostrel::python
