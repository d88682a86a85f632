#include "PlatformLibrary.h"

#if defined(_WIN32)
#include "PlatformWindows.h"
#else
#include <dlfcn.h>
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

void* LoadLibraryBesideThisOne(const std::string& fileName, std::string& error) {
    Dl_info info{};
    std::string folder;
    if (dladdr(reinterpret_cast<void*>(&Anchor), &info) != 0 && info.dli_fname != nullptr) {
        folder = FolderOf(info.dli_fname);
    }
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
