#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "quillmetrics/MetricsEvent.h"
#include "quillmetrics/export.h"

namespace Metrics {

class ContextShared;

// A handle to one metrics context. Copies share the context and its attach counter. A handle made
// with id 0 is disabled and every operation on it does nothing. The context closes when any handle
// to it is closed or destroyed. Thread-compatible: one handle must not be used from two threads at
// once, though the context may be attached on several threads one after another; an attach or
// detach that does not match this handle's counter is reported as the manager's diagnostic mode
// says (in Throw mode, AttachToThread throws QuillException).
//
// No member blocks, beyond the synchronous consumers that run inside the events it emits, and any
// may be called from a consumer or a hook. Apart from AttachToThread in Throw mode, only
// std::bad_alloc leaves them (a logging hook's own exception aside); the destructor never throws.
class QUILLMETRICS_API Context {
public:
    // Makes the context's record (a ContextOpen event) and attaches it to the calling thread.
    Context(unsigned long long parentId, unsigned long long id);
    Context(const Context& other);
    // The context held before is only released: not detached and not closed by this handle.
    Context& operator=(const Context& other);
    ~Context();

    void AttachToThread();
    void DetachFromThread();
    // Detaches from the calling thread and closes the context; ids and name stay readable.
    void Close();

    // A new child id of parentId, announced with ContextCreate; 0 (and nothing emitted) for 0.
    static unsigned long long Create(unsigned long long parentId);
    // A new root id, or a child of the calling thread's current context (0 when there is none).
    static unsigned long long Create(bool root);

    // Opens the context's own scope if needed, then records the pair in it.
    void Emit(MetricsValue&& first, MetricsValue&& second);
    // Records the pair under the calling thread's current context.
    void AddAttribute(const std::string& name, const std::string& value);
    void OpenScope();
    // name must be a NUL-terminated string.
    void SetName(const char* name);

    unsigned long long GetContextId() const;
    unsigned long long GetParentContextId() const;
    bool IsEnabled() const;

private:
    std::shared_ptr<ContextShared> m_shared;
    int32_t m_attachCount = 0;
};

// A copyable handle that hands one context to other threads: made as a child of the constructing
// thread's current context and taken off that thread again; Open() on any thread makes a fresh
// child attached there. Copies may be used on different threads at once. Never blocks; only
// std::bad_alloc leaves it.
class QUILLMETRICS_API SharedMetricsContext {
public:
    explicit SharedMetricsContext(bool create = true);
    SharedMetricsContext(const SharedMetricsContext& other);
    SharedMetricsContext& operator=(const SharedMetricsContext& other);
    ~SharedMetricsContext();

    // A new child context attached to the calling thread; empty when the shared context is
    // disabled.
    std::unique_ptr<Context> Open() const;

private:
    std::shared_ptr<Context> m_context;
};

// A pending context: its id is announced on the constructing thread under that thread's current
// context; Open(), on any thread, makes it a Context attached there. Used by one thread at a time.
// Never blocks; only std::bad_alloc leaves it.
class QUILLMETRICS_API UniqueMetricsContext {
public:
    explicit UniqueMetricsContext(bool create = true);
    // Duplicates the pending context: both objects can open it.
    UniqueMetricsContext(const UniqueMetricsContext& other);
    // Hands the pending context over: other is left with nothing to open.
    UniqueMetricsContext& operator=(const UniqueMetricsContext& other);
    ~UniqueMetricsContext();  // NOLINT(performance-trivially-destructible): exported

    // The context attached to the calling thread, once; empty afterwards or when nothing is
    // pending.
    std::unique_ptr<Context> Open();

private:
    mutable unsigned long long m_parentId = 0;
    mutable unsigned long long m_id = 0;
};

}  // namespace Metrics
