// Waits between retries that double from `first` up to `most`, and start
// again from `first` once a try succeeded.
#pragma once

#include <algorithm>
#include <chrono>

namespace vostrel::tool::bridge {

class BackOff {
public:
    using ms = std::chrono::milliseconds;
    BackOff(ms first, ms most) : first_(first), most_(most), next_(first) {}

    /// The wait before the next try; each call doubles the following one.
    ms Next() {
        const ms now = next_;
        next_ = std::min(most_, next_ * 2);
        return now;
    }
    void Reset() { next_ = first_; }

private:
    ms first_;
    ms most_;
    ms next_;
};

}  // namespace vostrel::tool::bridge
