#pragma once

#include <memory>
#include <string>

#include "quillmetrics/MetricsEvent.h"
#include "quillmetrics/Scope.h"
#include "quillsys/TStringCore.h"

namespace Metrics {

// The one record behind a metrics context, shared by its Context handles and held weakly by the
// thread stacks. Announces its opening and closing as events and owns the context's own scope,
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

    void OpenScope();
    void Emit(MetricsValue&& first, MetricsValue&& second);
    void AddAttribute(const std::string& name, const std::string& value);

private:
    unsigned long long m_id;
    unsigned long long m_parentId;
    bool m_isOpen = false;
    bool m_scopeOpened = false;
    std::unique_ptr<Scope> m_scope;
    std::string m_name = "cxt";
};

void EmitContextEvent(MetricsEventType type, unsigned long long parentId, unsigned long long id);
// Announces a freshly allocated id; nothing for id 0.
void EmitContextCreate(unsigned long long parentId, unsigned long long id);

}  // namespace Metrics
