#pragma once

#include <string>

namespace Metrics {

// Loads a library of this package from the folder this library was loaded from, so that the
// copy that goes with this build is the one found. Null, with the system's reason in error, when
// it cannot be loaded. The library stays loaded for the life of the process.
void* LoadLibraryBesideThisOne(const std::string& fileName, std::string& error);
// The address of an exported symbol, null when there is none.
void* LibrarySymbol(void* library, const char* name);

// The file name a library of this package has on this system: "libNAME.so.0" or "NAME.dll".
std::string LibraryFileName(const std::string& name);

}  // namespace Metrics
