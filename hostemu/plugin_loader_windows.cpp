// The plugin loader of the Windows build: LoadLibrary, as the host loads it. The
// plugin's imports bind by ordinal to this library, trvplugin.dll.
#include <string>

#include "hostemu/host_emulator.h"

namespace hostemu {

LoadedPlugin::LoadedPlugin(const std::string& path) {
    HMODULE module = ::LoadLibraryA(path.c_str());
    if (module == nullptr) {
        error_ = "cannot load " + path + ": error " + std::to_string(::GetLastError());
        return;
    }
    handle_ = module;
    auto resolve = [&](auto& slot, const char* name) {
        FARPROC symbol = ::GetProcAddress(module, name);
        if (symbol == nullptr) error_ += std::string(error_.empty() ? "" : "; ") + "missing entry point " + name;
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(reinterpret_cast<void*>(symbol));
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
    if (handle_ != nullptr) ::FreeLibrary(static_cast<HMODULE>(handle_));
}

}  // namespace hostemu
