// The per-thread window loop: the Windows platform layer's WindowLoop runs
// its callbacks through the thread's message queue, which the host pumps.
#include "activex/apartment_loop.hpp"

#include <windows.h>

#include <map>
#include <mutex>

#include "vostrel/platform.hpp"

namespace vostrel::activex {

namespace {

class WindowApartmentLoop final : public ApartmentLoop {
public:
    std::unique_ptr<Vostrel> MakeControl(HostSite& host) override {
        return platform::MakeControl(loop_, &host);
    }
    void Post(std::function<void()> fn) override { loop_.post(std::move(fn)); }

private:
    platform::WindowLoop loop_;
};

}  // namespace

std::shared_ptr<ApartmentLoop> CurrentApartmentLoop() {
    // Keyed by thread id; an expired entry (its thread's objects are all
    // gone) is replaced by a new loop.
    static std::mutex lock;
    static std::map<DWORD, std::weak_ptr<ApartmentLoop>> loops;
    std::lock_guard<std::mutex> hold(lock);
    std::weak_ptr<ApartmentLoop>& entry = loops[GetCurrentThreadId()];
    if (auto loop = entry.lock()) return loop;
    auto loop = std::make_shared<WindowApartmentLoop>();
    entry = loop;
    return loop;
}

}  // namespace vostrel::activex
