#pragma once

#include <memory>

#include "quillmetrics/Scope.h"
#include "quillmetrics/export.h"

namespace Metrics {

// Records a modal dialog or message box as a "Dialog" scope (mask 2) tagged with the dialog's
// name, from construction to Close or destruction. Belongs to the thread that shows the dialog.
// Whether it records is decided once, at construction. Never blocks beyond the synchronous
// consumers of its events; only std::bad_alloc leaves the constructors and Close; the destructor
// never throws.
class QUILLMETRICS_API ModalDialogMetrics {
public:
    // A message box.
    ModalDialogMetrics();
    // A dialog with that name; null means a message box.
    explicit ModalDialogMetrics(const char* name);
    ModalDialogMetrics(const ModalDialogMetrics&) = delete;
    ModalDialogMetrics& operator=(const ModalDialogMetrics&) = delete;
    ~ModalDialogMetrics();

    void Close();

private:
    std::unique_ptr<Scope> m_scope;
};

}  // namespace Metrics
