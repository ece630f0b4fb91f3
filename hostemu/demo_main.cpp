// Loads the plugin into the emulated host, configures one device of each model
// and shows what the plugin does during INIT, READ, WRITE and CLOSE.
#include <cstdio>
#include <string>

#include "hostemu/host_emulator.h"

using namespace hostemu;

namespace {

const char* KindName(EventKind kind) {
    switch (kind) {
        case EventKind::Log: return "log";
        case EventKind::BeginInit: return "begin init";
        case EventKind::EndInit: return "end init";
        case EventKind::SetDeviceFlag: return "device flag";
        case EventKind::SetDeviceData: return "device data";
        case EventKind::SetTagData: return "tag data";
        case EventKind::Alloc: return "alloc";
        case EventKind::Free: return "free";
        case EventKind::Publish: return "publish";
        case EventKind::SetQuality: return "quality";
        case EventKind::Commit: return "commit";
        case EventKind::Notify: return "notify";
        case EventKind::StoreHistory: return "history";
        case EventKind::Exchange: return "exchange";
        case EventKind::CompleteWrite: return "write done";
        case EventKind::RequestPoll: return "poll request";
        case EventKind::HostError: return "HOST ERROR";
    }
    return "?";
}

void Print(const Device& device, const Event& e) {
    std::string detail = e.text;
    while (!detail.empty() && detail.back() == '\n') detail.pop_back();
    if (e.tag != nullptr) detail = e.tag->name + (detail.empty() ? "" : " ") + detail;
    if (e.kind == EventKind::Publish || e.kind == EventKind::SetQuality)
        detail += " quality " + QualityName(e.quality);
    if (e.kind == EventKind::Exchange) detail += std::to_string(e.tx.size()) + " bytes out, result " + std::to_string(e.number);
    std::printf("%-8s %-12s %s\n", device.name.c_str(), KindName(e.kind), detail.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : std::string(TRV_PLUGIN_DIR) + "/trvplugin-teplokom.so";
    LoadedPlugin plugin(path);
    if (!plugin.ok()) {
        std::fprintf(stderr, "hostemu_demo: %s\n", plugin.error().c_str());
        return 1;
    }
    Host host(plugin.entry());
    host.observer = Print;
    host.Create();

    const char* models[] = {"VKT7", "VKT5", "VKT9New"};
    for (const char* model : models) {
        Device& device = host.AddDevice(std::string("meter-") + model, model);
        device.recordEvents = false;
        device.AddTag("Available");
        device.AddTag("Failure");
        device.AddTag("DateTime");
        device.channel = [](std::span<const uint8_t>, std::span<uint8_t>) { return 0; };  // a silent line
        host.Init(device);
        host.Read(device);
        host.Close(device);
    }
    return 0;
}
