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
    ResolveEntryPoints(
        [module](const char* name) { return reinterpret_cast<void*>(::GetProcAddress(module, name)); });
}

LoadedPlugin::~LoadedPlugin() {
    if (handle_ != nullptr) ::FreeLibrary(static_cast<HMODULE>(handle_));
}

}  // namespace hostemu
