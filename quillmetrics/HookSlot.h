#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace Metrics {

// One host hook. Swapped whole under a lock and called through a copy of the pointer, so that a
// hook may be replaced while another thread is calling the old one; an empty hook is skipped.
template <typename Function>
class HookSlot {
public:
    // May throw std::bad_alloc; the slot is then unchanged. The old hook is destroyed here, after
    // the lock is let go, or by the last call still running it.
    void Set(Function function) {
        auto next = function ? std::make_shared<const Function>(std::move(function)) : nullptr;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_function.swap(next);
    }

    std::shared_ptr<const Function> Get() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_function;
    }

    // A copy of the hook, empty when none is set.
    Function Copy() const {
        const auto function = Get();
        return function ? *function : Function();
    }

    // Calls the hook, if one is set, with no lock held; its exceptions leave this call.
    template <typename... Args>
    void Call(Args&&... args) const {
        if (const auto function = Get(); function && *function) {
            (*function)(std::forward<Args>(args)...);
        }
    }

private:
    mutable std::mutex m_mutex;
    std::shared_ptr<const Function> m_function;  // guarded by m_mutex
};

}  // namespace Metrics
