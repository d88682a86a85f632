#pragma once

#if defined(QUILLMETRICS_STATIC)
#define QUILLMETRICS_API
#elif defined(_WIN32)
#if defined(QUILLMETRICS_BUILDING)
#define QUILLMETRICS_API __declspec(dllexport)
#else
#define QUILLMETRICS_API __declspec(dllimport)
#endif
#else
#define QUILLMETRICS_API __attribute__((visibility("default")))
#endif
