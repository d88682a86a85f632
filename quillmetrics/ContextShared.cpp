#include "ContextShared.h"

#include "quillmetrics/MetricsManager.h"
#include "quillsys/QuillException.h"
#include "quillsys/TSystem.h"

namespace Metrics {

void EmitContextEvent(MetricsEventType type, unsigned long long parentId, unsigned long long id) {
    auto event = std::make_shared<MetricsEvent>();
    event->subjectId = id;
    event->contextId = parentId;
    event->eventType = type;
    event->param2 = MetricsValue(id);
    MetricsManager::GetInstance().EmitEvent(std::move(event));
}

void EmitContextCreate(unsigned long long parentId, unsigned long long id) {
    if (id != 0) {
        EmitContextEvent(MetricsEventType::ContextCreate, parentId, id);
    }
}

ContextShared::ContextShared(unsigned long long parentId, unsigned long long id)
    : m_id(id)
    , m_parentId(parentId) {
    if (id == 0) {
        return;
    }
    EmitContextEvent(MetricsEventType::ContextOpen, parentId, id);
    m_isOpen = true;
}

ContextShared::~ContextShared() {
    try {
        Close();
    } catch (...) {
        // A destructor must not throw; the close event is lost, nothing else.
    }
}

void ContextShared::SetName(const char* name) { m_name = name ? name : ""; }

void ContextShared::Close() {
    if (!m_isOpen) {
        return;
    }
    m_isOpen = false;
    // The scope's own closing events come before the context's.
    std::unique_ptr<Scope> scope = std::move(m_scope);
    scope.reset();
    EmitContextEvent(MetricsEventType::ContextClose, m_parentId, m_id);
}

TStringCore ContextShared::Describe() const {
    return TFormatStringCore(L"Context(name=%1,id=%2,parent=%3)")
        .arg(TStringCore::fromStdString(m_name), 0, L' ')
        .arg(m_id, 0, 10, L' ')
        .arg(m_parentId, 0, 10, L' ');
}

void ContextShared::OpenScope() {
    if (m_id == 0 || m_scopeOpened) {
        return;
    }
    try {
        if (m_name.length() >= 10000) {
            ThrowLogicException("..\\quillmetrics\\ContextShared", 106, "m_name.length() < 10000");
        }
    } catch (const QuillException&) {
        return;
    }
    // Set before any event is made: opening the scope below comes back here through the scope's
    // own open, and that call must find the flag set.
    m_scopeOpened = true;
    const unsigned long long processId = TSystem::ProcessID();
    const unsigned long long threadId = TSystem::ThreadID();
    Attribute("'pid'", processId, 0);
    Attribute("'tid'", threadId, 0);
    Attribute("'cid'", m_id, 0);
    m_scope = std::make_unique<Scope>(m_name, 0);
}

void ContextShared::Emit(MetricsValue&& first, MetricsValue&& second) {
    OpenScope();
    if (!m_scope || !m_scope->IsOpen()) {
        return;
    }
    m_scope->Emit(MetricsEventType::ScopeEmit, std::move(first), std::move(second));
}

void ContextShared::AddAttribute(const std::string& name, const std::string& value) {
    Attribute(name, value, 0);
}

}  // namespace Metrics
