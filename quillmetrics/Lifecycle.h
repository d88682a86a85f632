#pragma once

#include <atomic>

#include "quillsys/TReadWriteLock.h"

namespace Metrics {

// The process's one manager lifecycle: running until the one-time shutdown (Disable, an explicit
// shutdown, library unload, process exit, or a fork, in the child), then shut down for good.

namespace Lifecycle {
extern std::atomic<bool> s_shutdown;
}  // namespace Lifecycle

// Once true, every manager operation is a no-op that takes no lock.
inline bool IsShutdown() noexcept { return Lifecycle::s_shutdown.load(std::memory_order_acquire); }
void MarkShutdown() noexcept;

// Taken exclusively by the first GetInstance and by the one-time shutdown. Made before the object
// that runs the shutdown at unload, so that it outlives that shutdown.
TReadWriteLock& InstanceLock() noexcept;

// The one-time shutdown at unload or process exit; Enable hands it to the platform layer.
void ShutdownAtExit();

// The key of the manager's own log lines.
inline const wchar_t* const kManagerLogKey = L"metrics-manager";

}  // namespace Metrics
