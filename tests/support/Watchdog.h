#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace Metrics::Testing {

// Ends the process with a message when a test runs past its deadline, so that a hang shows up as
// a failure that names what hung instead of a ctest timeout.
class Watchdog {
public:
    Watchdog(std::chrono::seconds deadline, std::string what)
        : m_what(std::move(what))
        , m_thread([this, deadline] {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (!m_done.wait_for(lock, deadline, [this] { return m_finished; })) {
                std::fprintf(stderr, "WATCHDOG: %s did not finish within %lld s\n", m_what.c_str(),
                             static_cast<long long>(deadline.count()));
                std::fflush(stderr);
                std::_Exit(3);
            }
        }) {}
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_finished = true;
        }
        m_done.notify_all();
        m_thread.join();
    }

private:
    std::string m_what;
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;  // guarded by m_mutex
    std::thread m_thread;
};

// Whether the tests run under a sanitizer that makes them several times slower.
constexpr bool kSanitized =
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    true;
#else
    false;
#endif

}  // namespace Metrics::Testing
