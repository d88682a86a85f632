#include "PlatformLibrary.h"

#if defined(_WIN32)
#include "PlatformWindows.h"
#else
#include <dlfcn.h>

#include <climits>
#include <cstdlib>
#endif

namespace Metrics {

namespace {

// Anything of this library's own: where it lives tells which library this is.
void Anchor() {}

std::string FolderOf(const std::string& path) {
    const std::string::size_type slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

#if defined(_WIN32)

std::string LibraryFileName(const std::string& name) { return name + ".dll"; }

void* LoadLibraryBesideThisOne(const std::string& fileName, std::string& error) {
    HMODULE self = nullptr;
    char path[MAX_PATH] = {};
    if (GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(&Anchor), &self)) {
        GetModuleFileNameA(self, path, MAX_PATH);
    }
    const std::string full = FolderOf(path) + fileName;
    HMODULE library = LoadLibraryA(full.c_str());
    if (library == nullptr) {
        error = "cannot load " + full + " (error " + std::to_string(GetLastError()) + ")";
    }
    return reinterpret_cast<void*>(library);
}

void* LibrarySymbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

#else

std::string LibraryFileName(const std::string& name) { return "lib" + name + ".so.0"; }

// The folder of this library's file (links resolved) as an absolute path, taken when the library
// is loaded: the loader names the file as it found it, relative to the working directory when a
// search path (LD_LIBRARY_PATH) is, and a host that changes its directory later would otherwise
// load whatever copy of the exporter lies under the new one.
const std::string s_folder = [] {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&Anchor), &info) == 0 || info.dli_fname == nullptr) {
        return std::string();
    }
    char resolved[PATH_MAX];
    return FolderOf(realpath(info.dli_fname, resolved) != nullptr ? resolved : info.dli_fname);
}();

void* LoadLibraryBesideThisOne(const std::string& fileName, std::string& error) {
    const std::string& folder = s_folder;
    void* library = dlopen((folder + fileName).c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (library == nullptr) {
        const char* reason = dlerror();  // NOLINT(concurrency-mt-unsafe): right after the call
        error = reason != nullptr ? reason : "cannot load " + folder + fileName;
    }
    return library;
}

void* LibrarySymbol(void* library, const char* name) { return dlsym(library, name); }

#endif

}  // namespace Metrics
