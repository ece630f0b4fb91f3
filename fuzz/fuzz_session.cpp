#include "fuzz/fuzz_session.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "hostemu/host_emulator.h"
#include "plugin/entry_points.h"

namespace fuzz {

namespace {

using hostemu::Device;
using hostemu::Node;
using hostemu::Properties;

struct Setting {
    const char* name;
    std::initializer_list<const char*> usual;
};

void Configure(Input& in, Properties& properties, std::initializer_list<Setting> settings) {
    for (const Setting& s : settings)
        if (const char* value = in.Setting(s.usual)) properties.Set(s.name, value);
}

// Control tags by name; a set bit leaves one out.
void AddControlTags(Input& in, Device& d, std::initializer_list<const char*> names) {
    const uint8_t absent = in.Byte();
    int bit = 0;
    for (const char* name : names)
        if ((absent >> bit++ & 1) == 0) d.AddTag(name);
}

void AddTags(Input& in, Node& node, std::initializer_list<Setting> settings) {
    const int32_t count = in.Count(6, 2);
    for (int32_t i = 0; i < count; ++i) {
        Properties p;
        Configure(in, p, settings);
        node.AddTag("t" + std::to_string(i), p);
    }
}

void BuildVkt7(Input& in, Device& d) {
    Configure(in, d.properties,
              {{"addr", {"1", "0", "2"}}, {"DepthHour", {"20", "0", "3"}}, {"DepthDay", {"20", "0", "2"}},
               {"DepthMonth", {"5", "0", "1"}}, {"CountRecord", {"5", "1", "0"}}, {"use232", {"1", "0"}}});
    AddControlTags(in, d, {"Available", "Failure", "DateTime", "Available"});
    for (int group = 1; group <= 5; ++group) {
        Node& g = d.AddGroup(std::to_string(group));
        AddTags(in, g, {{"addr", {"0", "1", "9", "19", "12", "3", "77", "44", "60", "82", "83", "22", "41"}}});
    }
}

void BuildVkt5(Input& in, Device& d) {
    Configure(in, d.properties,
              {{"address", {"1", "0", "300"}}, {"DepthHour", {"24", "-1", "0", "3"}},
               {"DepthDay", {"10", "-1", "1"}}, {"CountRecord", {"5", "1", "0"}}});
    AddControlTags(in, d, {"Available", "Failure", "DateTime", "UnschedulerRequest"});
    const int32_t zones = in.Count(5, 3);
    for (int32_t i = 0; i < zones; ++i) {
        // The usual zones alternate between current values and archives.
        const char* type = i % 2 == 0 ? in.Setting({"Current", "Archive", "Totals", "HourArchive", "archive"})
                                      : in.Setting({"Archive", "Current", "Totals", "HourArchive", "archive"});
        Node& zone = d.AddSubdevice("z" + std::to_string(i), type != nullptr ? type : "");
        Configure(in, zone.properties, {{"TypeTotal", {"0", "1"}}, {"TypeArchive", {"1", "0", "2"}}});
        AddTags(in, zone,
                {{"NumberArray", {"1", "0", "2", "3"}}, {"NumberHeat", {"0", "1", "2"}},
                 {"Address", {"0", "4", "8", "12"}}, {"DataType", {"0", "1", "2", "3", "4"}}});
    }
}

void BuildVkt9(Input& in, Device& d) {
    Configure(in, d.properties,
              {{"address", {"1", "0", "255"}}, {"DepthHour", {"24", "-1", "0", "3"}}, {"DepthDay", {"10", "-1"}},
               {"DepthMonth", {"2", "-1"}}, {"CountRecord", {"5", "1", "-1"}}, {"MaxGap", {"0", "1", "10"}},
               {"GetQuality", {"1", "0"}}});
    AddControlTags(in, d, {"Available", "Failure", "UnschedulerRequest"});
    const int32_t subdevices = in.Count(5, 3);
    for (int32_t i = 0; i < subdevices; ++i) {
        const bool archive = ((in.Byte() + i) & 1) != 0;  // usually current values, then archives
        const char* type = in.Setting(archive ? std::initializer_list<const char*>{"Archive", "HourArchive"}
                                              : std::initializer_list<const char*>{"Current", "Values"});
        Node& node = d.AddSubdevice("s" + std::to_string(i), type != nullptr ? type : "");
        if (archive) {
            Configure(in, node.properties,
                      {{"TypeArchive", {"0", "1", "2", "7"}}, {"LengthByteAnswer", {"24", "16", "0", "8"}},
                       {"LastIndexRegister", {"40101", "40111", "40121", "30001"}}});
            AddTags(in, node,
                    {{"AddressByte", {"4", "12", "8", "16", "20"}}, {"DataType", {"0", "2", "3", "4", "1", "6", "5"}},
                     {"Koeff", {"1", "100"}}});
        } else {
            AddTags(in, node,
                    {{"Address", {"40001", "40005", "40007", "40009", "30001", "30004", "40006", "39999", "49999"}},
                     {"DataType", {"0", "6", "3", "4", "1", "2", "5"}}, {"Koeff", {"1", "100", "0"}},
                     {"RegStatus", {"40006", "30004"}}, {"StatusNorm", {"0", "1"}}, {"StatusContract", {"2"}},
                     {"LastInRequest", {"0", "1"}}});
        }
    }
}

struct Cycle {
    int32_t available = -1;  // value written to "Available", or -1 for none
    int32_t unscheduled = -1;
    bool other = false;       // a write to a tag that is not a control tag
    bool hostBreak = false;
};

void Clear(Device& d) {
    d.log.clear();
    for (auto& g : d.groups) g->log.clear();
    for (auto& s : d.subdevices) s->log.clear();
}

[[noreturn]] void Misuse(const std::string& what) {
    std::fprintf(stderr, "fuzz host: %s\n", what.c_str());
    std::abort();
}

}  // namespace

void RunSession(Model model, Input& in, const Meter& meter) {
    hostemu::PluginEntryPoints entry;
    entry.create = KORVA_PLUGIN_CREATE;
    entry.init = KORVA_PLUGIN_INIT;
    entry.run = KORVA_PLUGIN_RUN;
    entry.read = KORVA_PLUGIN_READ;
    entry.slaveProcessing = KORVA_PLUGIN_SLAVEPROCESSING;
    entry.write = KORVA_PLUGIN_WRITE;
    entry.close = KORVA_PLUGIN_CLOSE;
    hostemu::Host host(entry);
    host.observer = [](const Device&, const hostemu::Event& e) {
        if (e.kind == hostemu::EventKind::HostError) Misuse(e.text);
        if (e.kind == hostemu::EventKind::Log && e.text == "plugin: unexpected error") Misuse(e.text);
    };

    const char* modelText = model == Model::Vkt7 ? "VKT7" : model == Model::Vkt5 ? "VKT5"
                            : (in.Byte() & 1) != 0                             ? "VKT9Old"
                                                                               : "VKT9New";
    Device& d = host.AddDevice("meter", modelText);
    d.recordEvents = false;
    // Large retry counts are left out: against silence they only make a run long.
    static const int32_t kRetries[] = {3, 1, 2, 0, -1, INT_MIN, 5};
    d.retryCount = kRetries[in.Byte() % 7];
    switch (model) {
        case Model::Vkt7: BuildVkt7(in, d); break;
        case Model::Vkt5: BuildVkt5(in, d); break;
        case Model::Vkt9: BuildVkt9(in, d); break;
    }
    std::vector<Cycle> cycles(1 + static_cast<size_t>(in.Count(4)));
    static const int32_t kAvailable[] = {0, 1, 2, 256, -1};
    static const int32_t kUnscheduled[] = {1, 0, 2};
    for (Cycle& c : cycles) {
        const uint8_t w = in.Byte();
        if (w & 1) c.available = kAvailable[in.Byte() % 5];
        if (w & 2) c.unscheduled = kUnscheduled[in.Byte() % 3];
        c.other = (w & 4) != 0;
        c.hostBreak = (w & 0x30) == 0x30;
    }
    d.channel = meter;

    host.Create();
    host.Init(d);
    Clear(d);
    for (const Cycle& c : cycles) {
        bool written = false;
        auto write = [&](const char* name, int32_t value) {
            if (hostemu::Tag* tag = d.FindTag(name)) d.QueueWrite(*tag, value), written = true;
        };
        if (c.available >= 0) write("Available", c.available);
        if (c.unscheduled >= 0) write("UnschedulerRequest", c.unscheduled);
        if (c.other) {
            const auto tags = d.AllTags();
            if (!tags.empty()) d.QueueWrite(*tags.back(), 1), written = true;
        }
        if (written) host.Write(d);
        d.breakFlag = c.hostBreak;
        host.Read(d);
        d.breakFlag = false;
        Clear(d);
    }
    host.Close(d);
}

}  // namespace fuzz
