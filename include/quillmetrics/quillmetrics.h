#pragma once

// Everything the quillmetrics library exports, and the host system types its interface uses.

#include "quillmetrics/Category.h"
#include "quillmetrics/MetricsBitsUtils.h"
#include "quillmetrics/MetricsContext.h"
#include "quillmetrics/MetricsEvent.h"
#include "quillmetrics/MetricsManager.h"
#include "quillmetrics/MetricsRawClient.h"
#include "quillmetrics/MetricsThreadContext.h"
#include "quillmetrics/ModalDialogMetrics.h"
#include "quillmetrics/Scope.h"
#include "quillmetrics/export.h"
#include "quillsys/quillsys.h"
