#include "quillmetrics/ModalDialogMetrics.h"

namespace Metrics {

namespace {

constexpr unsigned long long kDialogBits = 2;
const char* const s_messageBoxName = "MessageBox";

}  // namespace

ModalDialogMetrics::ModalDialogMetrics()
    : ModalDialogMetrics(nullptr) {}

ModalDialogMetrics::ModalDialogMetrics(const char* name)
    : m_scope(std::make_unique<Scope>("Dialog", kDialogBits)) {
    m_scope->Emit(MetricsEventType::ScopeEmit, "dlg-name", name ? name : s_messageBoxName);
}

ModalDialogMetrics::~ModalDialogMetrics() {
    try {
        m_scope.reset();
    } catch (...) {
        // A destructor must not throw; only the close event is lost.
    }
}

void ModalDialogMetrics::Close() { m_scope->Close(); }

}  // namespace Metrics
