#include "tools/config.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <set>
#include <sstream>

#include <fmt/format.h>
#include <yaml-cpp/yaml.h>

#include "tools/sim_factory.h"

namespace tools {

const std::vector<std::string>& KnownModels() {
    static const std::vector<std::string> models{"VKT7", "VKT5", "VKT9New", "VKT9Old"};
    return models;
}

namespace {

bool ParseUnsigned(std::string_view text, unsigned long& value) {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

std::string Join(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items) out += (out.empty() ? "" : ", ") + item;
    return out;
}

// Walks one file; every error names the file and the line of the entry.
class Loader {
public:
    explicit Loader(std::string source) : source_(std::move(source)) {}

    PollConfig Load(const YAML::Node& root) {
        PollConfig config;
        config.source = source_;
        if (!root.IsDefined() || root.IsNull()) Fail(root, "the file is empty; expected a map with \"devices\"");
        Expect(root, YAML::NodeType::Map, "a map with \"devices\"");
        Keys(root, {"devices", "cycles", "plugin", "mqtt"});
        if (root["cycles"]) config.cycles = Int(root["cycles"], "cycles", 1, 1000000000);
        if (root["plugin"]) config.plugin = Text(root["plugin"], "plugin");
        if (root["mqtt"]) config.mqtt = Mqtt(root["mqtt"]);
        const YAML::Node devices = root["devices"];
        if (!devices) Fail(root, "missing \"devices\": expected a list of devices");
        Expect(devices, YAML::NodeType::Sequence, "\"devices\" to be a list of devices");
        if (devices.size() == 0) Fail(devices, "\"devices\" is empty: expected at least one device");
        std::set<std::string> names;
        for (const YAML::Node& d : devices) {
            DeviceConfig device = Device(d);
            if (!names.insert(device.name).second)
                Fail(d["name"], fmt::format("device name \"{}\" is used twice", device.name));
            config.devices.push_back(std::move(device));
        }
        return config;
    }

    [[noreturn]] void Fail(const YAML::Node& node, const std::string& what) const {
        const YAML::Mark mark = node.IsDefined() ? node.Mark() : YAML::Mark::null_mark();
        if (mark.is_null()) throw ConfigError(fmt::format("{}: {}", source_, what));
        throw ConfigError(fmt::format("{}:{}:{}: {}", source_, mark.line + 1, mark.column + 1, what));
    }

private:
    void Expect(const YAML::Node& node, YAML::NodeType::value type, const std::string& expected) const {
        if (node.Type() != type) Fail(node, "expected " + expected);
    }

    void Keys(const YAML::Node& map, std::initializer_list<const char*> allowed) const {
        for (const auto& kv : map) {
            const std::string key = kv.first.Scalar();
            if (std::none_of(allowed.begin(), allowed.end(), [&](const char* a) { return key == a; })) {
                std::vector<std::string> names(allowed.begin(), allowed.end());
                Fail(kv.first, fmt::format("unknown key \"{}\"; expected one of: {}", key, Join(names)));
            }
        }
    }

    std::string Text(const YAML::Node& node, const std::string& what) const {
        if (!node.IsScalar()) Fail(node, fmt::format("\"{}\": expected a text or a number", what));
        return node.Scalar();
    }

    std::string NonEmpty(const YAML::Node& node, const std::string& what) const {
        std::string text = Text(node, what);
        if (text.empty()) Fail(node, fmt::format("\"{}\": expected a non-empty text", what));
        return text;
    }

    int Int(const YAML::Node& node, const std::string& what, long lo, long hi) const {
        const std::string text = node.IsScalar() ? node.Scalar() : std::string();
        long value = 0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (!node.IsScalar() || text.empty() || ec != std::errc() || end != text.data() + text.size())
            Fail(node, fmt::format("\"{}\": expected an integer, got {}", what, Shown(node)));
        if (value < lo || value > hi) Fail(node, fmt::format("\"{}\": expected {} to {}, got {}", what, lo, hi, value));
        return static_cast<int>(value);
    }

    static std::string Shown(const YAML::Node& node) {
        if (node.IsScalar()) return "\"" + node.Scalar() + "\"";
        if (node.IsSequence()) return "a list";
        if (node.IsMap()) return "a map";
        return "nothing";
    }

    const YAML::Node Required(const YAML::Node& map, const char* key, const std::string& expected) const {
        const YAML::Node node = map[key];
        if (!node || node.IsNull()) Fail(map, fmt::format("missing \"{}\": expected {}", key, expected));
        return node;
    }

    PropertyList Properties(const YAML::Node& node) const {
        PropertyList out;
        if (node.IsNull()) return out;
        Expect(node, YAML::NodeType::Map, "\"properties\" to be a map of name: value");
        for (const auto& kv : node) {
            const std::string name = kv.first.Scalar();
            if (!kv.second.IsScalar()) Fail(kv.second, fmt::format("property \"{}\": expected a single value", name));
            out.emplace_back(name, kv.second.Scalar());
        }
        return out;
    }

    // A tag is its name alone, or a map with "name" and "properties".
    std::vector<TagConfig> Tags(const YAML::Node& node, const std::string& owner) const {
        std::vector<TagConfig> out;
        if (node.IsNull()) return out;
        Expect(node, YAML::NodeType::Sequence, fmt::format("the tags of {} to be a list", owner));
        std::set<std::string> names;
        for (const YAML::Node& t : node) {
            TagConfig tag;
            if (t.IsScalar()) {
                tag.name = NonEmpty(t, "tag name");
            } else if (t.IsMap()) {
                Keys(t, {"name", "properties"});
                tag.name = NonEmpty(Required(t, "name", "the tag's name"), "name");
                if (t["properties"]) tag.properties = Properties(t["properties"]);
            } else {
                Fail(t, "expected a tag: its name, or a map with \"name\" and \"properties\"");
            }
            if (!names.insert(tag.name).second) Fail(t, fmt::format("tag \"{}\" appears twice in {}", tag.name, owner));
            out.push_back(std::move(tag));
        }
        return out;
    }

    DeviceConfig Device(const YAML::Node& d) const {
        Expect(d, YAML::NodeType::Map, "a device: a map with \"name\", \"model\" and \"channel\"");
        Keys(d, {"name", "model", "channel", "retry", "period", "timeout", "gap", "sim", "properties", "tags", "groups",
                 "subdevices"});
        DeviceConfig device;
        device.name = NonEmpty(Required(d, "name", "the device's name"), "name");
        if (device.name.find('.') != std::string::npos)
            Fail(d["name"], fmt::format("device name \"{}\": expected no '.' (it separates device and tag in --write)",
                                        device.name));
        const YAML::Node model = Required(d, "model", "the model text, one of " + Join(KnownModels()));
        device.model = Text(model, "model");
        if (std::find(KnownModels().begin(), KnownModels().end(), device.model) == KnownModels().end())
            Fail(model, fmt::format("unknown model \"{}\": expected one of {}", device.model, Join(KnownModels())));
        const YAML::Node channel =
            Required(d, "channel", "\"sim\", \"tcp://host:port\" or \"serial:///dev/ttyUSB0?baud=9600\"");
        try {
            device.channel = ParseChannel(Text(channel, "channel"));
        } catch (const ConfigError& e) {
            Fail(channel, e.what());
        }
        if (d["retry"]) device.retry = Int(d["retry"], "retry", 0, 100);
        if (d["period"]) device.periodMs = Int(d["period"], "period", 0, 86400000);
        if (d["timeout"]) device.timeoutMs = Int(d["timeout"], "timeout", 1, 600000);
        if (d["gap"]) device.gapMs = Int(d["gap"], "gap", 1, 60000);
        if (d["sim"]) SimOptions(d["sim"], device);
        if (d["properties"]) device.properties = Properties(d["properties"]);
        if (d["tags"]) device.tags = Tags(d["tags"], "device " + device.name);
        if (d["groups"]) Groups(d["groups"], device);
        if (d["subdevices"]) Subdevices(d["subdevices"], device);
        return device;
    }

    // The knobs are checked on a simulator of the model now, so that a typo
    // stops the run before anything is polled.
    void SimOptions(const YAML::Node& node, DeviceConfig& device) const {
        if (device.channel.kind != ChannelConfig::Kind::Sim)
            Fail(node, "\"sim\" knobs apply only to the channel \"sim\"");
        if (node.IsNull()) return;
        Expect(node, YAML::NodeType::Map, "\"sim\" to be a map of knob: value");
        auto probe = MakeSimulator(device.model);
        for (const auto& kv : node) {
            SimOption option{kv.first.Scalar(), Text(kv.second, kv.first.Scalar())};
            std::string error;
            if (probe && !probe->SetOption(option.name, option.value, error)) Fail(kv.first, "sim: " + error);
            device.sim.push_back(std::move(option));
        }
    }

    MqttConfig Mqtt(const YAML::Node& node) const {
        Expect(node, YAML::NodeType::Map, "\"mqtt\" to be a map with at least \"url\"");
        Keys(node, {"url", "client_id", "username", "password_file", "ca_file", "prefix", "qos", "keepalive", "queue",
                    "queue_max"});
        MqttConfig m;
        const YAML::Node url = Required(node, "url", "mqtt://host:port or mqtts://host:port");
        const std::string text = Text(url, "url");
        std::string_view rest = text;
        if (rest.starts_with("mqtt://")) {
            rest.remove_prefix(7);
        } else if (rest.starts_with("mqtts://")) {
            rest.remove_prefix(8);
            m.tls = true;
            m.port = 8883;
        } else {
            Fail(url, fmt::format("\"url\": expected mqtt://host:port or mqtts://host:port, got \"{}\"", text));
        }
        const size_t colon = rest.rfind(':');
        m.host = std::string(rest.substr(0, colon));
        unsigned long port = m.port;
        if (colon != std::string_view::npos &&
            (!ParseUnsigned(rest.substr(colon + 1), port) || port == 0 || port > 65535))
            Fail(url, "\"url\": expected a port number 1 to 65535 after the host");
        if (m.host.empty()) Fail(url, "\"url\": expected a host name or address");
        m.port = static_cast<uint16_t>(port);
        if (node["client_id"]) m.clientId = NonEmpty(node["client_id"], "client_id");
        if (node["username"]) m.username = NonEmpty(node["username"], "username");
        if (node["password_file"]) m.passwordFile = NonEmpty(node["password_file"], "password_file");
        if (!m.passwordFile.empty() && m.username.empty())
            Fail(node["password_file"], "\"password_file\" needs \"username\" too");
        if (node["ca_file"]) m.caFile = NonEmpty(node["ca_file"], "ca_file");
        if (!m.caFile.empty() && !m.tls) Fail(node["ca_file"], "\"ca_file\" needs an mqtts:// url");
        if (node["prefix"]) {
            m.prefix = NonEmpty(node["prefix"], "prefix");
            if (m.prefix.find_first_of("#+") != std::string::npos || m.prefix.back() == '/')
                Fail(node["prefix"], "\"prefix\": expected topic levels without '#', '+' or a final '/'");
        }
        if (node["qos"]) m.qos = Int(node["qos"], "qos", 0, 2);
        if (node["keepalive"]) m.keepaliveS = Int(node["keepalive"], "keepalive", 5, 3600);
        if (node["queue"]) m.queuePath = NonEmpty(node["queue"], "queue");
        if (node["queue_max"]) m.queueMax = Int(node["queue_max"], "queue_max", 10, 100000000);
        return m;
    }

    void Groups(const YAML::Node& node, DeviceConfig& device) const {
        if (node.IsNull()) return;
        Expect(node, YAML::NodeType::Map, "\"groups\" to be a map of group name: list of tags");
        for (const auto& kv : node) {
            GroupConfig group;
            group.name = NonEmpty(kv.first, "group name");
            group.tags = Tags(kv.second, "group " + group.name);
            device.groups.push_back(std::move(group));
        }
    }

    void Subdevices(const YAML::Node& node, DeviceConfig& device) const {
        if (node.IsNull()) return;
        Expect(node, YAML::NodeType::Sequence, "\"subdevices\" to be a list");
        for (const YAML::Node& s : node) {
            Expect(s, YAML::NodeType::Map, "a subdevice: a map with \"name\", \"type\" and \"tags\"");
            Keys(s, {"name", "type", "period", "properties", "tags"});
            SubdeviceConfig sub;
            sub.name = NonEmpty(Required(s, "name", "the subdevice's name"), "name");
            sub.type =
                Text(Required(s, "type", "the subdevice's type text (\"Archive\" in it for an archive)"), "type");
            if (s["period"]) sub.periodMs = Int(s["period"], "period", 0, 86400000);
            if (s["properties"]) sub.properties = Properties(s["properties"]);
            if (s["tags"]) sub.tags = Tags(s["tags"], "subdevice " + sub.name);
            device.subdevices.push_back(std::move(sub));
        }
    }

    std::string source_;
};

}  // namespace

ChannelConfig ParseChannel(std::string_view text) {
    ChannelConfig c;
    c.text = std::string(text);
    const auto fail = [&](const std::string& what) -> ChannelConfig {
        throw ConfigError(fmt::format("channel \"{}\": {}", text, what));
    };
    if (text == "sim") return c;
    if (text.starts_with("tcp://")) {
        c.kind = ChannelConfig::Kind::Tcp;
        std::string_view rest = text.substr(6);
        const size_t colon = rest.rfind(':');
        if (colon == std::string_view::npos || colon == 0) return fail("expected tcp://host:port");
        c.host = std::string(rest.substr(0, colon));
        unsigned long port = 0;
        if (!ParseUnsigned(rest.substr(colon + 1), port) || port == 0 || port > 65535)
            return fail("expected a port number 1 to 65535 after the host");
        c.port = static_cast<uint16_t>(port);
        return c;
    }
    if (text.starts_with("serial://")) {
        c.kind = ChannelConfig::Kind::Serial;
        std::string_view rest = text.substr(9);
        const size_t query = rest.find('?');
        c.path = std::string(rest.substr(0, query));
        if (c.path.empty() || c.path[0] != '/') return fail("expected serial:///path/of/the/port");
        std::string_view params = query == std::string_view::npos ? std::string_view() : rest.substr(query + 1);
        while (!params.empty()) {
            const size_t amp = params.find('&');
            const std::string_view item = params.substr(0, amp);
            params = amp == std::string_view::npos ? std::string_view() : params.substr(amp + 1);
            const size_t eq = item.find('=');
            const std::string_view key = item.substr(0, eq);
            const std::string_view value = eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1);
            unsigned long n = 0;
            if (key == "baud") {
                if (!ParseUnsigned(value, n) || n < 50 || n > 4000000)
                    return fail("baud: expected a rate such as 9600");
                c.serial.baud = static_cast<unsigned>(n);
            } else if (key == "parity") {
                if (value == "none")
                    c.serial.parity = Parity::None;
                else if (value == "even")
                    c.serial.parity = Parity::Even;
                else if (value == "odd")
                    c.serial.parity = Parity::Odd;
                else
                    return fail("parity: expected none, even or odd");
            } else if (key == "stop") {
                if (value == "1")
                    c.serial.stop = StopBits::One;
                else if (value == "1.5")
                    c.serial.stop = StopBits::OnePointFive;
                else if (value == "2")
                    c.serial.stop = StopBits::Two;
                else
                    return fail("stop: expected 1, 1.5 or 2");
            } else if (key == "data") {
                if (!ParseUnsigned(value, n) || n < 5 || n > 8) return fail("data: expected 5 to 8 data bits");
                c.serial.dataBits = static_cast<unsigned>(n);
            } else {
                return fail(fmt::format("unknown setting \"{}\"; expected baud, parity, stop or data", key));
            }
        }
        return c;
    }
    return fail("unknown channel; expected \"sim\", \"tcp://host:port\" or \"serial:///dev/ttyUSB0?baud=9600\"");
}

std::string Describe(const SerialSettings& s) {
    const char parity = s.parity == Parity::None ? 'N' : s.parity == Parity::Even ? 'E' : 'O';
    const char* stop = s.stop == StopBits::One ? "1" : s.stop == StopBits::Two ? "2" : "1.5";
    return fmt::format("{} {}{}{}", s.baud, s.dataBits, parity, stop);
}

PollConfig LoadConfigText(const std::string& text, const std::string& source) {
    YAML::Node root;
    try {
        root = YAML::Load(text);
    } catch (const YAML::ParserException& e) {
        throw ConfigError(fmt::format("{}:{}:{}: {}", source, e.mark.line + 1, e.mark.column + 1, e.msg));
    }
    try {
        return Loader(source).Load(root);
    } catch (const YAML::Exception& e) {
        // yaml-cpp's own complaints (a scalar asked of a map, ...) still get a place.
        throw ConfigError(fmt::format("{}:{}:{}: {}", source, e.mark.line + 1, e.mark.column + 1, e.msg));
    }
}

PollConfig LoadConfigFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw ConfigError(fmt::format("{}: cannot open the file", path));
    std::ostringstream text;
    text << in.rdbuf();
    return LoadConfigText(text.str(), path);
}

}  // namespace tools
