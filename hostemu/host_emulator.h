// A portable host: the configuration tree, the channel, the request lists and a
// record of everything the plugin does through the host operations.
//
// Handles given to the plugin are addresses of the objects below: a
// DeviceHandle is a Node*, a TagHandle a Tag*, a ParamsHandle a Properties*.
#ifndef TRV_HOSTEMU_HOST_EMULATOR_H
#define TRV_HOSTEMU_HOST_EMULATOR_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/host_api.h"

namespace hostemu {

// Property texts as the configuration holds them; the typed getters parse them.
class Properties {
public:
    Properties() = default;
    Properties(std::initializer_list<std::pair<const std::string, std::string>> init) : values_(init) {}

    Properties& Set(const std::string& name, std::string value);
    Properties& Set(const std::string& name, const char* value) { return Set(name, std::string(value)); }
    Properties& Set(const std::string& name, int64_t value) { return Set(name, std::to_string(value)); }
    Properties& Set(const std::string& name, int value) { return Set(name, std::to_string(value)); }
    Properties& Set(const std::string& name, double value);
    void Erase(const std::string& name) { values_.erase(name); }

    const std::string* Find(std::string_view name) const;
    // Absent or unparsable: def.
    int32_t GetInt(std::string_view name, int32_t def) const;
    bool GetBool(std::string_view name, bool def) const;
    double GetFloat(std::string_view name, double def) const;
    const std::map<std::string, std::string, std::less<>>& All() const { return values_; }

private:
    std::map<std::string, std::string, std::less<>> values_;
};

class Node;
class Device;
class Host;

enum class ValueKind { None, Bool, Double, Float, Int, Text, UInt, Word };

struct Value {
    ValueKind kind = ValueKind::None;
    double number = 0;  // every numeric kind, exactly representable
    std::string text;   // Text only
};

struct Tag {
    std::string name;
    Properties properties;
    Node* owner = nullptr;
    void* data = nullptr;  // HostSetTagData
    // Last publication.
    Value value;
    Quality quality = 0;
    bool hasQuality = false;
    std::optional<uint64_t> time;  // FILETIME ticks of the last publication, if stamped
};

enum class NodeKind { Device, Subdevice, Group };

class Node {
public:
    Node(NodeKind kind, Device* device, std::string name, std::string type);
    virtual ~Node() = default;
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    NodeKind kind;
    Device* device;    // the device this node belongs to (itself for a device)
    std::string name;  // group name; informational for devices and subdevices
    std::string type;  // model text (device) or type text (subdevice)
    Properties properties;
    std::vector<std::unique_ptr<Tag>> tags;
    bool readDue = true;  // HostIsReadDue
    std::vector<std::string> log;

    Tag& AddTag(const std::string& tagName, Properties tagProperties = {});
    Tag* FindTag(std::string_view tagName) const;
    DeviceHandle handle() { return static_cast<DeviceHandle>(this); }
};

enum class EventKind {
    Log,
    BeginInit,
    EndInit,
    SetDeviceFlag,
    SetDeviceData,
    SetTagData,
    Alloc,
    Free,
    Publish,
    SetQuality,
    Commit,
    Notify,
    StoreHistory,
    Exchange,
    CompleteWrite,
    RequestPoll,
    HostError,  // the plugin misused an operation (unknown block, bad index...)
};

struct Event {
    explicit Event(EventKind k, Node* n = nullptr, Tag* t = nullptr) : kind(k), node(n), tag(t) {}

    EventKind kind;
    Node* node = nullptr;
    Tag* tag = nullptr;
    Value value;                    // Publish
    Quality quality = 0;            // Publish, SetQuality
    std::optional<uint64_t> time;   // Publish: FILETIME ticks when stamped
    std::string text;               // Log, HostError
    int32_t number = 0;             // SetDeviceFlag, RequestPoll, Alloc size, Exchange result, Commit count
    std::vector<uint8_t> tx, rx;    // Exchange
    std::vector<Tag*> tags;         // Commit
};

// Sends tx, fills rx with at most rx.size() bytes; returns the count, 0 for
// silence, negative for a channel failure.
using Channel = std::function<int32_t(std::span<const uint8_t> tx, std::span<uint8_t> rx)>;

struct PendingWrite {
    Tag* tag;
    int32_t value;
    bool completed;
};

class Device : public Node {
public:
    Device(Host* host, std::string name, std::string model);
    ~Device() override;

    Host* host;
    int32_t retryCount = 3;
    Channel channel;            // empty: HostGetExchange gives null
    bool breakFlag = false;     // HostIsBreakSet
    bool notifyEnabled = true;  // HostGetNotify gives a function
    void* deviceData = nullptr;
    std::vector<Tag*> readList;  // HostGetReadCount / HostGetReadTag
    std::vector<PendingWrite> writes;
    bool recordEvents = true;  // false: no events and no node log lines are kept
    std::vector<Event> events;
    std::vector<std::unique_ptr<Node>> groups;
    std::vector<std::unique_ptr<Node>> subdevices;
    int32_t flag = 0;  // last HostSetDeviceFlag

    Node& AddGroup(const std::string& groupName);
    Node& AddSubdevice(const std::string& subName, const std::string& typeText);
    Node* FindGroup(std::string_view groupName) const;
    // Every tag of the device, its groups and subdevices, in that order.
    std::vector<Tag*> AllTags() const;

    // A client write; a second write to the same tag replaces the pending value.
    void QueueWrite(Tag& tag, int32_t value);
    // Drops the writes the plugin completed: the host does it between calls.
    void SweepWrites();

    // Events of one kind, in order.
    std::vector<const Event*> EventsOf(EventKind kind) const;
    // All log lines of this device's nodes, in the order written.
    std::vector<std::string> LogLines() const;
    void ClearEvents() { events.clear(); }

    // Blocks from HostAlloc still owned by this device's nodes.
    size_t LiveAllocations() const { return allocations_.size(); }
    bool IsLive(const void* block) const { return allocations_.count(const_cast<void*>(block)) != 0; }
    // Bytes of those blocks, as the plugin asked for them.
    size_t AllocatedBytes() const;

    // Used by the host operations.
    void* Allocate(Node* node, uint32_t size);
    bool Release(void* block);
    void Record(Event event);
    // Whether an event would be kept or observed: when not, none is built.
    bool Listening() const;

private:
    struct Allocation {
        Node* node;
        uint32_t size;
        std::unique_ptr<uint8_t[]> bytes;
    };
    std::map<void*, Allocation> allocations_;
};

// The seven entry points of a plugin, from a loaded library or linked in.
struct PluginEntryPoints {
    int32_t(HOST_CALL* create)(void*) = nullptr;
    int32_t(HOST_CALL* init)(DeviceHandle) = nullptr;
    int32_t(HOST_CALL* run)(void) = nullptr;
    int32_t(HOST_CALL* read)(DeviceHandle) = nullptr;
    int32_t(HOST_CALL* slaveProcessing)(DeviceHandle) = nullptr;
    int32_t(HOST_CALL* write)(DeviceHandle) = nullptr;
    int32_t(HOST_CALL* close)(DeviceHandle) = nullptr;

    bool Complete() const { return create && init && run && read && slaveProcessing && write && close; }
};

// Loads a plugin library (dlopen; LoadLibrary on Windows) and resolves its entry points. The host
// operations must already be visible in the process (this library exports them).
class LoadedPlugin {
public:
    explicit LoadedPlugin(const std::string& path);
    ~LoadedPlugin();
    LoadedPlugin(const LoadedPlugin&) = delete;
    LoadedPlugin& operator=(const LoadedPlugin&) = delete;

    bool ok() const { return handle_ != nullptr && entry_.Complete(); }
    const std::string& error() const { return error_; }
    const PluginEntryPoints& entry() const { return entry_; }

private:
    // Fills every entry point through the platform's symbol lookup, naming the missing ones.
    void ResolveEntryPoints(const std::function<void*(const char*)>& lookup);

    void* handle_ = nullptr;
    PluginEntryPoints entry_;
    std::string error_;
};

class Host {
public:
    Host() = default;
    explicit Host(PluginEntryPoints plugin) : plugin_(plugin) {}
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    Device& AddDevice(const std::string& name, const std::string& model);
    const std::vector<std::unique_ptr<Device>>& devices() const { return devices_; }

    void SetPlugin(PluginEntryPoints plugin) { plugin_ = plugin; }
    // Sees every event as it is recorded, for every device (live output).
    std::function<void(const Device&, const Event&)> observer;

    // The host's calls into the plugin; the pending writes are swept before each.
    int32_t Create(void* argument = nullptr);
    int32_t Init(Device& device);
    int32_t Read(Device& device);
    int32_t Write(Device& device);
    int32_t Close(Device& device);

private:
    PluginEntryPoints plugin_;
    std::vector<std::unique_ptr<Device>> devices_;
};

inline bool Device::Listening() const { return recordEvents || (host != nullptr && host->observer); }

// Text of an OPC quality word ("good", "uncertain", "bad: out of service", ...).
std::string QualityName(Quality q);

}  // namespace hostemu

#endif
