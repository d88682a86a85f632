#pragma once

#if defined(_WIN32)
#if defined(QUILLSYS_BUILDING)
#define QUILLSYS_API __declspec(dllexport)
#else
#define QUILLSYS_API __declspec(dllimport)
#endif
#else
#define QUILLSYS_API __attribute__((visibility("default")))
#endif
