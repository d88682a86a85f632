#include "quillmetrics/MetricsContext.h"

#include "ContextShared.h"
#include "quillmetrics/MetricsManager.h"
#include "quillmetrics/MetricsThreadContext.h"
#include "quillsys/QuillException.h"

namespace Metrics {

namespace {

using Manager = MetricsManager;

void ReportInvalidAttachDetach(bool validAttachDetachState, Manager& manager,
                               const TStringCore& key, const ContextShared& record) {
    switch (manager.GetTLSDiagnosticType()) {
        case Manager::TLSDiagnosticType::Throw:
            if (!validAttachDetachState) {
                ThrowLogicException("..\\quillmetrics\\MetricsContext", 239,
                                    "validAttachDetachState");
            }
            break;
        case Manager::TLSDiagnosticType::Log:
            manager.Log(Manager::LogSeverity::Warning, key, record.Describe());
            break;
        case Manager::TLSDiagnosticType::LogCallStack:
            manager.LogCallStack(key);
            break;
        default:
            break;
    }
}

}  // namespace

Context::Context(unsigned long long parentId, unsigned long long id) {
    if (id == 0) {
        return;
    }
    m_shared = std::make_shared<ContextShared>(parentId, id);
    AttachToThread();
}

Context::Context(const Context& other) = default;

Context& Context::operator=(const Context& other) = default;

Context::~Context() {
    try {
        Close();
    } catch (...) {
        // A destructor must not throw: what failed was only the report or the close event.
    }
}

void Context::AttachToThread() {
    if (!m_shared || !m_shared->IsOpen()) {
        return;
    }
    Manager& manager = Manager::GetInstance();
    const auto stack = manager.GetThreadContext();
    const bool attachedHere = stack->IsAttached(m_shared);
    if (m_attachCount != 0 && !attachedHere) {
        ReportInvalidAttachDetach(
            false, manager, TStringCore(L"quillmetrics-invalid-attach-attempted", -1), *m_shared);
    }
    stack->AttachContext(m_shared);
    if (!attachedHere) {
        ++m_attachCount;
    }
}

void Context::DetachFromThread() {
    if (!m_shared) {
        return;
    }
    Manager& manager = Manager::GetInstance();
    const auto stack = manager.GetThreadContext();
    if (stack->IsAttached(m_shared)) {
        stack->DetachContext(m_shared);
        --m_attachCount;
        return;
    }
    if (m_attachCount == 0) {
        return;
    }
    // A detach is never refused by an exception, not even in Throw mode: it reports as valid there.
    const bool throwMode = manager.GetTLSDiagnosticType() == Manager::TLSDiagnosticType::Throw;
    ReportInvalidAttachDetach(throwMode, manager,
                              TStringCore(L"quillmetrics-invalid-detach-attempted", -1), *m_shared);
}

void Context::Close() {
    DetachFromThread();
    if (m_shared) {
        m_shared->Close();
    }
}

unsigned long long Context::Create(unsigned long long parentId) {
    const unsigned long long id = parentId == 0 ? 0 : Manager::GetInstance().GetNextContextId();
    EmitContextCreate(parentId, id);
    return id;
}

unsigned long long Context::Create(bool root) {
    Manager& manager = Manager::GetInstance();
    unsigned long long parent = 0;
    if (!root) {
        parent = manager.GetCurrentThreadContextId();
        if (parent == 0) {
            return 0;
        }
    }
    const unsigned long long id = manager.GetNextContextId();
    EmitContextCreate(parent, id);
    return id;
}

void Context::Emit(MetricsValue&& first, MetricsValue&& second) {
    if (m_shared) {
        m_shared->Emit(std::move(first), std::move(second));
    }
}

void Context::AddAttribute(const std::string& name, const std::string& value) {
    if (m_shared) {
        m_shared->AddAttribute(name, value);
    }
}

void Context::OpenScope() {
    if (m_shared) {
        m_shared->OpenScope();
    }
}

void Context::SetName(const char* name) {
    if (m_shared) {
        m_shared->SetName(name);
    }
}

unsigned long long Context::GetContextId() const { return m_shared ? m_shared->GetId() : 0; }

unsigned long long Context::GetParentContextId() const {
    return m_shared ? m_shared->GetParentId() : 0;
}

bool Context::IsEnabled() const { return m_shared && m_shared->IsEnabled(); }

SharedMetricsContext::SharedMetricsContext(bool create) {
    if (!create) {
        m_context = std::make_shared<Context>(0, 0);
        return;
    }
    const unsigned long long parent = Manager::GetInstance().GetCurrentThreadContextId();
    const unsigned long long id = Context::Create(false);
    m_context = std::make_shared<Context>(parent, id);
    // Made here, lived in elsewhere: the constructing thread's current context stays as it was.
    m_context->DetachFromThread();
}

SharedMetricsContext::SharedMetricsContext(const SharedMetricsContext& other) = default;

SharedMetricsContext& SharedMetricsContext::operator=(const SharedMetricsContext& other) = default;

SharedMetricsContext::~SharedMetricsContext() = default;

std::unique_ptr<Context> SharedMetricsContext::Open() const {
    if (!m_context || !m_context->IsEnabled()) {
        return {};
    }
    const unsigned long long parent = m_context->GetContextId();
    const unsigned long long id = Manager::GetInstance().GetNextContextId();
    EmitContextCreate(parent, id);
    return std::make_unique<Context>(parent, id);
}

UniqueMetricsContext::UniqueMetricsContext(bool create) {
    if (create) {
        m_parentId = Manager::GetInstance().GetCurrentThreadContextId();
        m_id = Context::Create(false);
        if (m_id == 0) {
            m_parentId = 0;
        }
    }
}

UniqueMetricsContext::UniqueMetricsContext(const UniqueMetricsContext& other) = default;

UniqueMetricsContext& UniqueMetricsContext::operator=(const UniqueMetricsContext& other) {
    if (this != &other) {
        m_parentId = other.m_parentId;
        m_id = other.m_id;
        other.m_parentId = 0;
        other.m_id = 0;
    }
    return *this;
}

UniqueMetricsContext::~UniqueMetricsContext() = default;

std::unique_ptr<Context> UniqueMetricsContext::Open() {
    if (m_id == 0) {
        return {};
    }
    auto context = std::make_unique<Context>(m_parentId, m_id);
    m_parentId = 0;
    m_id = 0;
    return context;
}

}  // namespace Metrics
