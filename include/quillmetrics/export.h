#pragma once

#if defined(_WIN32)
#if defined(QUILLMETRICS_BUILDING)
#define QUILLMETRICS_API __declspec(dllexport)
#else
#define QUILLMETRICS_API __declspec(dllimport)
#endif
#else
#define QUILLMETRICS_API __attribute__((visibility("default")))
#endif
