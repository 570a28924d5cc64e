// A value built on first use by whichever thread comes first, then only read. std::call_once
// alone writes two thread-locals on every call, even long after the value exists; tables asked
// for once per element are read here with one atomic load instead.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

namespace mosk {

template <class T>
class BuiltOnce {
public:
    // The value, built by `build()` (returning a T) on the first call.
    template <class Build>
    const T& get(Build&& build) {
        if (const T* v = ready_.load(std::memory_order_acquire)) return *v;
        std::call_once(once_, [&] {
            value_ = std::make_unique<const T>(build());
            ready_.store(value_.get(), std::memory_order_release);
        });
        return *value_;
    }

private:
    std::once_flag once_;
    std::unique_ptr<const T> value_;
    std::atomic<const T*> ready_{nullptr};
};

}  // namespace mosk
