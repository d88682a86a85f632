#pragma once

#include <memory>
#include <string>

#include "quillmetrics/MetricsEvent.h"
#include "quillsys/TStringCore.h"

namespace Metrics {

// The one record behind a metrics context, shared by its Context handles and held weakly by the
// thread stacks. Announces its opening and closing as events and keeps the context's own scope,
// opened lazily the first time something is recorded in the context. No lock: SetName, Close,
// OpenScope and Emit on one record must not run on two threads at once.
class ContextShared {
public:
    ContextShared(unsigned long long parentId, unsigned long long id);
    ContextShared(const ContextShared&) = delete;
    ContextShared& operator=(const ContextShared&) = delete;
    ~ContextShared();

    unsigned long long GetId() const { return m_id; }
    unsigned long long GetParentId() const { return m_parentId; }
    bool IsEnabled() const { return m_id != 0; }
    bool IsOpen() const { return m_isOpen; }
    void SetName(const char* name);
    void Close();
    TStringCore Describe() const;

    // Opens the context scope once: the pid, tid and cid attributes, then the scope's opening.
    // Like every front end's event they go to the calling thread's current context, and only
    // while the mask lets uncategorised events through; the current context opens its own scope
    // first.
    void OpenScope();
    void Emit(MetricsValue&& first, MetricsValue&& second);
    void AddAttribute(const std::string& name, const std::string& value);

private:
    // What the context scope's events carry as subject.
    unsigned long long ScopeSubject() const { return reinterpret_cast<unsigned long long>(this); }

    unsigned long long m_id;
    unsigned long long m_parentId;
    bool m_isOpen = false;
    bool m_scopeTried = false;
    bool m_scopeOpen = false;
    unsigned long long m_scopeContextId = 0;  // where the scope's events go
    MetricsValue m_scopeName;                 // the name it opened with
    std::string m_name = "cxt";
};

// The calling thread's current context when an event with category mask bits would be recorded
// there: the mask lets the categories through and the context is enabled. Else empty. The one
// question every front end asks before it builds anything.
std::shared_ptr<ContextShared> ContextIfRecorded(unsigned long long bits);

// Announces a freshly allocated id; nothing for id 0.
void EmitContextCreate(unsigned long long parentId, unsigned long long id);

}  // namespace Metrics
