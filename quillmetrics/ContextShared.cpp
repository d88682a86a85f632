#include "ContextShared.h"

#include "EventBuilder.h"
#include "ThreadStacks.h"
#include "quillmetrics/MetricsManager.h"
#include "quillsys/QuillException.h"
#include "quillsys/TSystem.h"

namespace Metrics {

std::shared_ptr<ContextShared> ContextIfRecorded(unsigned long long bits) {
    if (!MetricsManager::MaskAllows(bits)) {
        return {};
    }
    auto context = ThisThreadCurrentContext();
    if (!context || !context->IsEnabled()) {
        return {};
    }
    return context;
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
    // The scope's own closing comes before the context's.
    if (m_scopeOpen) {
        m_scopeOpen = false;
        EmitBuiltEvent(MetricsEventType::ScopeClose, ScopeSubject(), m_scopeContextId, 0,
                       MetricsValue(m_scopeName), MetricsValue(0));
    }
    EmitContextEvent(MetricsEventType::ContextClose, m_parentId, m_id);
}

TStringCore ContextShared::Describe() const {
    return TFormatStringCore(L"Context(name=%1,id=%2,parent=%3)")
        .arg(TStringCore::fromStdString(m_name), 0, L' ')
        .arg(m_id, 0, 10, L' ')
        .arg(m_parentId, 0, 10, L' ');
}

void ContextShared::OpenScope() {
    if (m_id == 0 || m_scopeTried) {
        return;
    }
    try {
        if (m_name.length() >= 10000) {
            ThrowLogicException("..\\quillmetrics\\ContextShared", 106, "m_name.length() < 10000");
        }
    } catch (const QuillException&) {
        return;
    }
    // Set before any event is made: the current context opens its own scope below, and when that
    // is this record, the call must find the flag set.
    m_scopeTried = true;
    const auto current = ContextIfRecorded(0);
    if (!current) {
        return;
    }
    const unsigned long long into = current->GetId();
    const auto attribute = [into](const char* name, unsigned long long value) {
        EmitBuiltEvent(MetricsEventType::Attribute, 0, into, 0, MetricsValue(name),
                       MetricsValue(value));
    };
    attribute("'pid'", TSystem::ProcessID());
    attribute("'tid'", TSystem::ThreadID());
    attribute("'cid'", m_id);
    current->OpenScope();
    m_scopeName = MetricsValue(m_name);
    m_scopeContextId = into;
    m_scopeOpen = true;
    EmitBuiltEvent(MetricsEventType::ScopeOpen, ScopeSubject(), into, 0, MetricsValue(m_scopeName),
                   MetricsValue(0));
}

void ContextShared::Emit(MetricsValue&& first, MetricsValue&& second) {
    OpenScope();
    if (m_scopeOpen) {
        EmitBuiltEvent(MetricsEventType::ScopeEmit, ScopeSubject(), m_scopeContextId, 0,
                       std::move(first), std::move(second));
    }
}

void ContextShared::AddAttribute(const std::string& name, const std::string& value) {
    if (const auto current = ContextIfRecorded(0)) {
        EmitBuiltEvent(MetricsEventType::Attribute, 0, current->GetId(), 0, MetricsValue(name),
                       MetricsValue(value));
    }
}

}  // namespace Metrics
