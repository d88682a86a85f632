#pragma once

#include "quillsys/export.h"

// Process and thread identity. Thread-safe.
class QUILLSYS_API TSystem {
public:
    TSystem() = delete;
    static unsigned long long ThreadID();
    static unsigned int ProcessID();
};
