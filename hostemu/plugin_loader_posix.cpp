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
    auto resolve = [&](auto& slot, const char* name) {
        void* symbol = dlsym(handle_, name);
        if (symbol == nullptr) error_ += std::string(error_.empty() ? "" : "; ") + "missing entry point " + name;
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(symbol);
    };
    resolve(entry_.create, "KORVA_PLUGIN_CREATE");
    resolve(entry_.init, "KORVA_PLUGIN_INIT");
    resolve(entry_.run, "KORVA_PLUGIN_RUN");
    resolve(entry_.read, "KORVA_PLUGIN_READ");
    resolve(entry_.slaveProcessing, "KORVA_PLUGIN_SLAVEPROCESSING");
    resolve(entry_.write, "KORVA_PLUGIN_WRITE");
    resolve(entry_.close, "KORVA_PLUGIN_CLOSE");
}

LoadedPlugin::~LoadedPlugin() {
    if (handle_ != nullptr) dlclose(handle_);
}

}  // namespace hostemu
