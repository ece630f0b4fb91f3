#include "hostemu/host_emulator.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace hostemu {

// ---- Properties ----

Properties& Properties::Set(const std::string& name, std::string value) {
    values_[name] = std::move(value);
    return *this;
}

Properties& Properties::Set(const std::string& name, double value) {
    char text[64];
    auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    return Set(name, std::string(text, ec == std::errc() ? end : text));
}

const std::string* Properties::Find(std::string_view name) const {
    auto it = values_.find(name);
    return it == values_.end() ? nullptr : &it->second;
}

int32_t Properties::GetInt(std::string_view name, int32_t def) const {
    const std::string* text = Find(name);
    if (text == nullptr) return def;
    int32_t value = 0;
    const char* first = text->data();
    const char* last = first + text->size();
    if (first != last && *first == '+') ++first;
    auto [end, ec] = std::from_chars(first, last, value);
    return (ec == std::errc() && end == last) ? value : def;
}

bool Properties::GetBool(std::string_view name, bool def) const {
    const std::string* text = Find(name);
    if (text == nullptr) return def;
    if (*text == "true" || *text == "True" || *text == "1") return true;
    if (*text == "false" || *text == "False" || *text == "0") return false;
    return def;
}

double Properties::GetFloat(std::string_view name, double def) const {
    const std::string* text = Find(name);
    if (text == nullptr || text->empty()) return def;
    char* end = nullptr;
    const double value = std::strtod(text->c_str(), &end);
    return (end != nullptr && *end == '\0') ? value : def;
}

// ---- Node ----

Node::Node(NodeKind kind_, Device* device_, std::string name_, std::string type_)
    : kind(kind_), device(device_), name(std::move(name_)), type(std::move(type_)) {}

Tag& Node::AddTag(const std::string& tagName, Properties tagProperties) {
    auto tag = std::make_unique<Tag>();
    tag->name = tagName;
    tag->properties = std::move(tagProperties);
    tag->owner = this;
    tags.push_back(std::move(tag));
    return *tags.back();
}

Tag* Node::FindTag(std::string_view tagName) const {
    for (const auto& tag : tags)
        if (tag->name == tagName) return tag.get();
    return nullptr;
}

// ---- Device ----

Device::Device(Host* host_, std::string name_, std::string model)
    : Node(NodeKind::Device, this, std::move(name_), std::move(model)), host(host_) {}

Device::~Device() = default;

Node& Device::AddGroup(const std::string& groupName) {
    groups.push_back(std::make_unique<Node>(NodeKind::Group, this, groupName, std::string()));
    return *groups.back();
}

Node& Device::AddSubdevice(const std::string& subName, const std::string& typeText) {
    subdevices.push_back(std::make_unique<Node>(NodeKind::Subdevice, this, subName, typeText));
    return *subdevices.back();
}

Node* Device::FindGroup(std::string_view groupName) const {
    for (const auto& group : groups)
        if (group->name == groupName) return group.get();
    return nullptr;
}

std::vector<Tag*> Device::AllTags() const {
    std::vector<Tag*> all;
    for (const auto& tag : tags) all.push_back(tag.get());
    for (const auto& group : groups)
        for (const auto& tag : group->tags) all.push_back(tag.get());
    for (const auto& sub : subdevices)
        for (const auto& tag : sub->tags) all.push_back(tag.get());
    return all;
}

void Device::QueueWrite(Tag& tag, int32_t value) {
    for (auto& w : writes) {
        if (w.tag == &tag && !w.completed) {
            w.value = value;
            return;
        }
    }
    writes.push_back({&tag, value, false});
}

void Device::SweepWrites() {
    std::erase_if(writes, [](const PendingWrite& w) { return w.completed; });
}

std::vector<const Event*> Device::EventsOf(EventKind kind_) const {
    std::vector<const Event*> out;
    for (const auto& e : events)
        if (e.kind == kind_) out.push_back(&e);
    return out;
}

std::vector<std::string> Device::LogLines() const {
    std::vector<std::string> out;
    for (const auto& e : events)
        if (e.kind == EventKind::Log) out.push_back(e.text);
    return out;
}

void* Device::Allocate(Node* node, uint32_t size) {
    // Exactly the size asked for, so that the sanitizers see any overrun.
    auto bytes = std::make_unique<uint8_t[]>(size == 0 ? 1 : size);
    void* block = bytes.get();
    allocations_.emplace(block, Allocation{node, size, std::move(bytes)});
    return block;
}

size_t Device::AllocatedBytes() const {
    size_t total = 0;
    for (const auto& [block, allocation] : allocations_) total += allocation.size;
    return total;
}

bool Device::Release(void* block) { return allocations_.erase(block) != 0; }

void Device::Record(Event event) {
    if (host != nullptr && host->observer) host->observer(*this, event);
    if (recordEvents) events.push_back(std::move(event));
}

// ---- Host ----

Device& Host::AddDevice(const std::string& name, const std::string& model) {
    devices_.push_back(std::make_unique<Device>(this, name, model));
    return *devices_.back();
}

int32_t Host::Create(void* argument) { return plugin_.create ? plugin_.create(argument) : 0; }

int32_t Host::Init(Device& device) {
    device.SweepWrites();
    return plugin_.init ? plugin_.init(device.handle()) : 0;
}

int32_t Host::Read(Device& device) {
    device.SweepWrites();
    return plugin_.read ? plugin_.read(device.handle()) : 0;
}

int32_t Host::Write(Device& device) {
    device.SweepWrites();
    return plugin_.write ? plugin_.write(device.handle()) : 0;
}

int32_t Host::Close(Device& device) {
    device.SweepWrites();
    return plugin_.close ? plugin_.close(device.handle()) : 0;
}

std::string QualityName(Quality q) {
    switch (q) {
        case 192: return "good";
        case 80: return "uncertain: sensor not accurate";
        case 64: return "uncertain";
        case 32: return "bad: waiting for initial data";
        case 28: return "bad: out of service";
        case 24: return "bad: comm failure";
        case 20: return "bad: last known";
        case 16: return "bad: sensor failure";
        case 12: return "bad: device failure";
        case 8: return "bad: not connected";
        case 4: return "bad: config error";
        case 0: return "bad";
        default: break;
    }
    const char* major = (q & 0xC0) == 0xC0 ? "good" : (q & 0xC0) == 0x40 ? "uncertain" : "bad";
    return std::string(major) + " (" + std::to_string(q) + ")";
}

void LoadedPlugin::ResolveEntryPoints(const std::function<void*(const char*)>& lookup) {
    auto resolve = [&](auto& slot, const char* name) {
        void* symbol = lookup(name);
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

}  // namespace hostemu
