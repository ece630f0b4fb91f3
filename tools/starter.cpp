#include "tools/starter.h"

#include <charconv>

#include <fmt/format.h>

namespace tools {

namespace {

const char* const kHeader = R"(# vktpoll configuration. Run it with:  vktpoll THIS-FILE.yaml
# (vktpoll --help lists the options: --cycles, --write, --json, --csv, --trace).
#
# Times are in milliseconds. Property names and model texts are compared
# exactly, upper and lower case included.

# cycles: 10                  # stop after this many reads of every device (default: until Ctrl-C)
devices:
)";

const char* const kChannel = R"(    # How the meter is reached, one of:
    #   serial:///dev/ttyUSB0?baud=9600&parity=none&stop=1&data=8   a serial port
    #   tcp://192.168.1.50:4001                                    a serial-to-Ethernet converter (raw frames)
    #   sim                                                        the built-in simulated meter
    channel: serial:///dev/ttyUSB0?baud=9600&parity=none&stop=1
    timeout: 1000                # wait this long for the first byte of an answer
    gap: 50                      # this much silence ends an answer
    retry: 3                     # attempts per exchange (the host's retry count)
    period: 10000                # between two reads of the device
    # sim:                       # knobs of the simulated meter (channel: sim only); vktsim --list-options
    #   clock: "2024-03-07 12:00:00"
    #   silence: false
)";

const char* const kVkt7 = R"(  - name: vkt7-1
    model: VKT7
@CHANNEL@    properties:
      addr: 1                    # meter address (its low byte); 0 keeps the address 0
      DepthHour: 20              # hours of hour archive to read back at most
      DepthDay: 20               # days of day archive
      DepthMonth: 5              # months of month archive
      CountRecord: 5             # records per archive group and cycle
    tags:                        # control tags, directly under the device
      - Available                # write 0 to stop polling, 1 to resume: --write vkt7-1.Available=0
      - Failure                  # true after a tag that got no value
      - DateTime                 # the meter's clock, as text
    groups:                      # "1" current values, "2" totals, "3" hour, "4" day, "5" month archive;
                                 # "addr": element number 0 to 82 (0-21 first thermal input,
                                 # 22-43 second, 77/78 abnormal-situation flags)
      "1":
        - {name: t1, properties: {addr: 0}}
        - {name: t2, properties: {addr: 1}}
        - {name: P1, properties: {addr: 9}}
        - {name: G1, properties: {addr: 19}}
      "2":
        - {name: V1_total, properties: {addr: 3}}
        - {name: Q1_total, properties: {addr: 12}}
      "3":
        - {name: t1_hour, properties: {addr: 0}}
        - {name: Q1_hour, properties: {addr: 12}}
      "4":
        - {name: Q1_day, properties: {addr: 12}}
      "5":
        - {name: Q1_month, properties: {addr: 12}}
)";

const char* const kVkt5 = R"(  - name: vkt5-1
    model: VKT5
@CHANNEL@    properties:
      address: 1                 # meter address, decimal (only the low 8 bits count)
      DepthHour: 24              # hours back where a fresh hour archive starts; -1 the next hour
      DepthDay: 10               # days back where a fresh day archive starts
      CountRecord: 5             # archive records per archive and poll; 0 or absent reads none
    tags:                        # control tags; bound only when the device has subdevices
      - Available                # write 0 to stop polling, 1 to resume
      - Failure                  # 1 after a poll whose last exchange failed
      - DateTime                 # the meter's clock
      - UnschedulerRequest       # write 1 for one extra poll
    subdevices:                  # zones; "Archive" in the type text makes an archive zone
      - name: current
        type: Current
        properties: {TypeTotal: false}       # true: totals instead of current values
        tags:                    # NumberArray, NumberHeat: the meter's array and heat system;
                                 # Address: byte offset in the array's data, after the per-channel blocks;
                                 # DataType 0 float, 1 double, 2 unsigned 16-bit, 3 unsigned 32-bit
          - {name: t1, properties: {NumberArray: 1, NumberHeat: 0, Address: 0, DataType: 0}}
          - {name: t2, properties: {NumberArray: 1, NumberHeat: 0, Address: 4, DataType: 0}}
      - name: totals
        type: Totals
        properties: {TypeTotal: true}
        tags:
          - {name: Q_total, properties: {NumberArray: 0, NumberHeat: 0, Address: 0, DataType: 0}}
      - name: hour-archive
        type: Archive
        # period: 60000          # a subdevice may have its own read period
        properties: {TypeArchive: 1, TypeTotal: false}   # TypeArchive 1: hour archive; anything else: day archive
        tags:
          - {name: t1_hour, properties: {NumberArray: 0, NumberHeat: 0, Address: 0, DataType: 0}}
      - name: day-archive
        type: Archive
        properties: {TypeArchive: 0}
        tags:
          - {name: t1_day, properties: {NumberArray: 0, NumberHeat: 0, Address: 0, DataType: 0}}
)";

const char* const kVkt9 = R"(  - name: vkt9-1
    model: VKT9New               # VKT9New or VKT9Old, treated alike
@CHANNEL@    properties:
      address: 1                 # meter address (0 to 255)
      DepthHour: 24              # records back where the first archive read starts; -1 the oldest
      DepthDay: 10
      DepthMonth: 2
      CountRecord: 5             # records per archive read
      MaxGap: 0                  # unused registers one request may span to merge two values
      GetQuality: true           # false ignores every RegStatus
    tags:                        # control tags; bound only when the device has subdevices
      - Available                # write 0 to stop polling, 1 to resume
      - Failure
      - UnschedulerRequest       # write 1 for one extra read
    subdevices:                  # "Archive" in the type text makes an archive subdevice
      - name: current
        type: Current
        tags:                    # Address, RegStatus: Modbus notation (30001.. input, 40001.. holding);
                                 # DataType 0 float, 1 word, 2 int16/Koeff, 3 uint32, 4 int32+float, 6 uint16/Koeff;
                                 # a status word other than StatusNorm or StatusContract gives quality 16
          - {name: T_supply, properties: {Address: 40001, DataType: 0, RegStatus: 40006, StatusNorm: 0}}
          - {name: P, properties: {Address: 40005, DataType: 6, Koeff: 100}}
          - {name: Q_total, properties: {Address: 40007, DataType: 3, LastInRequest: true}}
          - {name: M_total, properties: {Address: 40009, DataType: 4}}
          - {name: G, properties: {Address: 30001, DataType: 0, RegStatus: 30004, StatusNorm: 0}}
      - name: hour-archive
        type: Archive
        properties: {TypeArchive: 0, LengthByteAnswer: 24, LastIndexRegister: 40101}   # 0 hour, 1 day, 2 month
        tags:                    # AddressByte: position in the record (values from 4 on); Koeff is required
          - {name: Q_hour, properties: {AddressByte: 4, DataType: 0, Koeff: 1}}
          - {name: T_hour, properties: {AddressByte: 12, DataType: 2, Koeff: 100}}
      - name: day-archive
        type: Archive
        properties: {TypeArchive: 1, LengthByteAnswer: 24, LastIndexRegister: 40111}
        tags:
          - {name: Q_day, properties: {AddressByte: 4, DataType: 0, Koeff: 1}}
)";

// A device block with its channel lines in place.
std::string Device(const char* device, const char* channel) {
    std::string text = device;
    const std::string mark = "@CHANNEL@";
    text.replace(text.find(mark), mark.size(), channel);
    return text;
}

// The simulators answer at address 1, as the starter files expect; a short
// period lets the archives catch up within the demonstration's cycles.
const char* const kDemoChannel = "    channel: sim\n    period: 500\n";

}  // namespace

std::string StarterFile(std::string_view model) {
    if (model == "VKT7") return kHeader + Device(kVkt7, kChannel);
    if (model == "VKT5") return kHeader + Device(kVkt5, kChannel);
    if (model == "VKT9" || model == "VKT9New" || model == "VKT9Old") {
        std::string text = kHeader + Device(kVkt9, kChannel);
        if (model == "VKT9Old") text.replace(text.find("VKT9New "), 8, "VKT9Old ");
        return text;
    }
    return {};
}

std::string DemoConfig() {
    return "# Built-in demonstration: one meter of each model on its simulator.\ncycles: 6\ndevices:\n" +
           Device(kVkt7, kDemoChannel) + Device(kVkt5, kDemoChannel) + Device(kVkt9, kDemoChannel);
}

namespace {

// "A" or "A:B" of non-negative numbers; B is -1 when absent.
std::pair<int, int> NumberPair(const std::string& text, const char* expected) {
    const auto number = [&](std::string_view part) {
        int n = -1;
        const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), n);
        if (part.empty() || ec != std::errc() || end != part.data() + part.size() || n < 0)
            throw ConfigError(fmt::format("read \"{}\": expected {}", text, expected));
        return n;
    };
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return {number(text), -1};
    return {number(std::string_view(text).substr(0, colon)), number(std::string_view(text).substr(colon + 1))};
}

struct ValueType {
    const char* name;
    int dataType;
    int width;  // registers (VKT-9) or bytes (VKT-5)
};

ValueType FindType(const std::string& wanted, const std::vector<ValueType>& types) {
    std::string known;
    for (const ValueType& t : types) {
        if (wanted == t.name) return t;
        known += (known.empty() ? "" : ", ") + std::string(t.name);
    }
    throw ConfigError(fmt::format("--type \"{}\": expected one of {}", wanted, known));
}

TagConfig Tag(std::string name, PropertyList properties) { return {std::move(name), std::move(properties)}; }

}  // namespace

PollConfig AdHocReadConfig(const AdHocRead& read) {
    PollConfig config;
    config.source = "(read)";
    config.cycles = 1;
    DeviceConfig d;
    d.name = "meter";
    d.model = read.model;
    d.channel = ParseChannel(read.channel);
    d.timeoutMs = read.timeoutMs;
    d.gapMs = read.gapMs;
    d.retry = read.retry;
    d.periodMs = 0;
    for (const std::string& knob : read.sim) {
        const size_t eq = knob.find('=');
        if (eq == std::string::npos) throw ConfigError(fmt::format("--sim \"{}\": expected NAME=VALUE", knob));
        d.sim.push_back({knob.substr(0, eq), knob.substr(eq + 1)});
    }
    if (!d.sim.empty() && d.channel.kind != ChannelConfig::Kind::Sim)
        throw ConfigError("--sim knobs apply only to the channel \"sim\"");
    d.tags.push_back({"Failure", {}});
    if (read.what.empty()) throw ConfigError("read: name what to read (registers, an array or elements)");
    const std::string address = std::to_string(read.address);

    if (read.model == "VKT9New" || read.model == "VKT9Old") {
        d.properties = {{"address", address}};
        const ValueType type = FindType(read.type.empty() ? "word" : read.type,
                                        {{"word", 1, 1}, {"int16", 2, 1}, {"float", 0, 2}, {"uint32", 3, 2}});
        SubdeviceConfig sub{"read", "Current", std::nullopt, {}, {}};
        for (const std::string& range : read.what) {
            const auto [start, count] = NumberPair(range, "REGISTER or REGISTER:COUNT, 30001.. input, 40001.. holding");
            const bool known = (start >= 30001 && start <= 39999) || (start >= 40001 && start <= 49999);
            if (!known || count == 0 || (start % 10000) - 1 + std::max(count, 1) > 9999)
                throw ConfigError(fmt::format("read \"{}\": expected registers within 30001..39999 or 40001..49999",
                                              range));
            for (int r = start; r < start + std::max(count, 1); r += type.width)
                sub.tags.push_back(
                    Tag(std::to_string(r), {{"Address", std::to_string(r)}, {"DataType", std::to_string(type.dataType)}}));
        }
        d.subdevices.push_back(std::move(sub));
    } else if (read.model == "VKT5") {
        d.properties = {{"address", address}};
        const ValueType type = FindType(read.type.empty() ? "float" : read.type,
                                        {{"float", 0, 4}, {"double", 1, 8}, {"uint16", 2, 2}, {"uint32", 3, 4}});
        // Data bytes of each array (the older firmware's; a newer meter's longer arrays show in the trace).
        static const int kCurrent[8] = {16, 96, 0, 24, 6, 160, 0, 26};
        static const int kTotals[8] = {32, 128, 0, 0, 0, 0, 0, 0};
        SubdeviceConfig sub{"read", "Current", std::nullopt, {{"TypeTotal", read.totals ? "true" : "false"}}, {}};
        for (const std::string& zone : read.what) {
            const auto [array, heat] = NumberPair(zone, "ARRAY or ARRAY:HEAT");
            const int length = array < 8 ? (read.totals ? kTotals : kCurrent)[array] : 0;
            if (length == 0)
                throw ConfigError(fmt::format("read \"{}\": the meter has no {} array {}", zone,
                                              read.totals ? "totals" : "current", array));
            for (int at = 0; at + type.width <= length; at += type.width)
                sub.tags.push_back(Tag(fmt::format("a{}h{}@{}", array, std::max(heat, 0), at),
                                       {{"NumberArray", std::to_string(array)},
                                        {"NumberHeat", std::to_string(std::max(heat, 0))},
                                        {"Address", std::to_string(at)},
                                        {"DataType", std::to_string(type.dataType)}}));
        }
        d.subdevices.push_back(std::move(sub));
    } else {
        if (!read.type.empty()) throw ConfigError("--type: a VKT-7 element has the type the meter gives it");
        d.properties = {{"addr", address}};
        GroupConfig group{read.totals ? "2" : "1", {}};
        for (const std::string& elements : read.what) {
            const auto [first, count] = NumberPair(elements, "ELEMENT or ELEMENT:COUNT, elements 0 to 82");
            if (first + std::max(count, 1) > 83 || count == 0)
                throw ConfigError(fmt::format("read \"{}\": expected elements 0 to 82", elements));
            for (int e = first; e < first + std::max(count, 1); ++e)
                group.tags.push_back(Tag(fmt::format("e{}", e), {{"addr", std::to_string(e)}}));
        }
        d.groups.push_back(std::move(group));
    }
    config.devices.push_back(std::move(d));
    return config;
}

}  // namespace tools
