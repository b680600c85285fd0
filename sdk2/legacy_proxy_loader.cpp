#include "legacy_proxy_loader.h"

#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include "elf_check.h"

namespace vorlan_sdk2 {
namespace {

bool file_exists(const std::string& path) {
    struct stat status;
    return ::stat(path.c_str(), &status) == 0;
}

std::string directory_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

std::string ownDirectory() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&ProxyLoader::dummyFunction), &info) == 0 || info.dli_fname == nullptr) {
        return std::string();
    }
    std::string directory = directory_of(info.dli_fname);
    if (directory.empty()) {
        // Linked into a program started from the search path, which names
        // itself without a directory: ask the system where the program is.
        char program[PATH_MAX];
        const ssize_t length = ::readlink("/proc/self/exe", program, sizeof program - 1);
        if (length > 0) {
            directory = directory_of(std::string(program, static_cast<size_t>(length)));
        }
    }
    return directory;
}

ProxyLoader::~ProxyLoader() { CloseModule(); }

void ProxyLoader::dummyFunction() {}

void ProxyLoader::OpenModule(const std::string& name, const std::string& major_version) {
    CloseModule();
    const std::string directory = ownDirectory();
    if (directory.empty()) {
        throw ModuleLoadError("lib" + name + ".so: the directory of this library's own file cannot be told");
    }
    std::string path = directory + "lib" + name + ".so";
    if (!file_exists(path) && file_exists(path + "." + major_version)) {
        path += "." + major_version;
    }
    // A file cut short would fault this process inside the loader.
    std::string reason;
    if (file_exists(path) && !checkSharedObjectFile(path, reason)) {
        throw ModuleLoadError(path + ": " + reason);
    }
    // A path with a '/' is opened as it is: the search path plays no part.
    m_module = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (m_module == nullptr) {
        const char* error = ::dlerror();
        throw ModuleLoadError(error != nullptr ? error : path);
    }
}

void ProxyLoader::CloseModule() {
    if (m_module != nullptr) {
        ::dlclose(m_module);
        m_module = nullptr;
    }
}

void* ProxyLoader::findSymbol(const char* symbol) const {
    return m_module != nullptr ? ::dlsym(m_module, symbol) : nullptr;
}

}  // namespace vorlan_sdk2
