#pragma once

#include <memory>

namespace Metrics {

class ContextShared;
class MetricsThreadContext;

// The calling thread's context stack in the manager, or null once the manager has shut down (when
// every call would get a fresh, empty stack). Only for the calling thread.
MetricsThreadContext* ThisThreadStack();

// The calling thread's current context, or empty: what
// GetInstance().GetThreadContext()->GetCurrentContext() gives, without its reference counting.
std::shared_ptr<ContextShared> ThisThreadCurrentContext();

}  // namespace Metrics
