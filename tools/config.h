// vktpoll's configuration file: the host's tree (devices, their tags, groups
// and subdevices with properties) plus how each device is reached and polled.
#ifndef TRV_TOOLS_CONFIG_H
#define TRV_TOOLS_CONFIG_H

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tools {

// A bad file, a bad entry or a bad command-line value: the text already names
// the file and line where there is one.
class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using PropertyList = std::vector<std::pair<std::string, std::string>>;

struct TagConfig {
    std::string name;
    PropertyList properties;
};

struct GroupConfig {
    std::string name;
    std::vector<TagConfig> tags;
};

struct SubdeviceConfig {
    std::string name;
    std::string type;
    std::optional<int> periodMs;  // the device's period when absent
    PropertyList properties;
    std::vector<TagConfig> tags;
};

enum class Parity { None, Odd, Even };
enum class StopBits { One, OnePointFive, Two };

struct SerialSettings {
    unsigned baud = 9600;
    Parity parity = Parity::None;
    StopBits stop = StopBits::One;
    unsigned dataBits = 8;
};

struct ChannelConfig {
    enum class Kind { Sim, Tcp, Serial };
    Kind kind = Kind::Sim;
    std::string text;  // as written, for messages
    std::string host;
    uint16_t port = 0;
    std::string path;
    SerialSettings serial;
};

// Parses "sim", "tcp://host:port" or "serial:///dev/ttyUSB0?baud=9600&parity=none&stop=1&data=8".
// Throws ConfigError with what was expected.
ChannelConfig ParseChannel(std::string_view text);
std::string Describe(const SerialSettings& s);  // "9600 8N1"

struct SimOption {
    std::string name;
    std::string value;
};

struct DeviceConfig {
    std::string name;
    std::string model;
    int retry = 3;
    int periodMs = 1000;
    int timeoutMs = 1000;  // answer time-out: first byte of the answer
    int gapMs = 50;        // silence that ends an answer
    ChannelConfig channel;
    std::vector<SimOption> sim;  // knobs of the in-process simulator
    PropertyList properties;
    std::vector<TagConfig> tags;
    std::vector<GroupConfig> groups;
    std::vector<SubdeviceConfig> subdevices;
};

// The station's broker and its durable queue (vktpoll serve).
struct MqttConfig {
    std::string host;
    uint16_t port = 1883;
    bool tls = false;         // mqtts://
    std::string clientId;     // empty: vktpoll-HOSTNAME
    std::string username;
    std::string passwordFile;  // the password itself is read when the station starts
    std::string caFile;
    std::string prefix = "vktpoll";
    int qos = 1;
    int keepaliveS = 30;
    std::string queuePath;  // empty: $STATE_DIRECTORY/queue.db, else ./vktpoll-queue.db
    int queueMax = 100000;  // entries on disk
};

struct PollConfig {
    std::string source;  // file name, for messages
    std::optional<int> cycles;
    std::string plugin;
    std::optional<MqttConfig> mqtt;
    std::vector<DeviceConfig> devices;
};

// The model texts the plugin dispatches on, byte for byte.
const std::vector<std::string>& KnownModels();

// Throw ConfigError("file:line: ...") for any bad entry; nothing is half-loaded.
PollConfig LoadConfigFile(const std::string& path);
PollConfig LoadConfigText(const std::string& text, const std::string& source);

}  // namespace tools

#endif
