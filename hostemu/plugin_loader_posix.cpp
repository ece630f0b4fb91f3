// The plugin loader of the portable build: dlopen into a process that already
// defines the host operations.
#include <dlfcn.h>

#include "hostemu/host_emulator.h"

namespace hostemu {

LoadedPlugin::LoadedPlugin(const std::string& path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        error_ = why != nullptr ? why : ("cannot load " + path);
        return;
    }
    ResolveEntryPoints([this](const char* name) { return dlsym(handle_, name); });
}

LoadedPlugin::~LoadedPlugin() {
    if (handle_ != nullptr) dlclose(handle_);
}

}  // namespace hostemu
