// The host operations over the emulator's tree. Every handle is checked for
// null; a misuse is recorded as a HostError event instead of crashing.
#include <cstring>

#include "hostemu/host_emulator.h"

using namespace hostemu;

namespace {

Node* AsNode(DeviceHandle h) { return static_cast<Node*>(h); }
Tag* AsTag(TagHandle h) { return static_cast<Tag*>(h); }
Properties* AsParams(ParamsHandle h) { return static_cast<Properties*>(h); }

Device* AsDevice(DeviceHandle h) {
    Node* node = AsNode(h);
    return node == nullptr ? nullptr : node->device;
}

Device* DeviceOfTag(Tag* tag) { return (tag == nullptr || tag->owner == nullptr) ? nullptr : tag->owner->device; }

void HostError(Device* device, Node* node, std::string text) {
    if (device == nullptr || !device->Listening()) return;
    Event e{EventKind::HostError};
    e.node = node;
    e.text = std::move(text);
    device->Record(std::move(e));
}

Tag* TagAt(Node* node, int32_t index) {
    if (node == nullptr || index < 0 || static_cast<size_t>(index) >= node->tags.size()) return nullptr;
    return node->tags[static_cast<size_t>(index)].get();
}

void RecordPublish(Tag* tag, Value value, Quality q, const FILETIME* time) {
    if (tag == nullptr) return;
    Device* device = DeviceOfTag(tag);
    tag->value = value;
    tag->quality = q;
    tag->hasQuality = true;
    if (time != nullptr)
        tag->time = (static_cast<uint64_t>(time->dwHighDateTime) << 32) | time->dwLowDateTime;
    else
        tag->time.reset();
    if (device == nullptr || !device->Listening()) return;
    Event e{EventKind::Publish};
    e.node = tag->owner;
    e.tag = tag;
    e.value = std::move(value);
    e.quality = q;
    e.time = tag->time;
    device->Record(std::move(e));
}

Value Number(ValueKind kind, double number) {
    Value v;
    v.kind = kind;
    v.number = number;
    return v;
}

int32_t HOST_CALL ExchangeThunk(DeviceHandle h, const uint8_t* tx, int32_t txLength, uint8_t* rx,
                                int32_t rxCapacity) {
    Device* device = AsDevice(h);
    if (device == nullptr || !device->channel) return -1;
    if (txLength < 0 || rxCapacity < 0 || (txLength > 0 && tx == nullptr) || (rxCapacity > 0 && rx == nullptr)) {
        HostError(device, device, "exchange with an invalid buffer");
        return -1;
    }
    std::span<const uint8_t> out(tx, static_cast<size_t>(txLength));
    std::span<uint8_t> in(rx, static_cast<size_t>(rxCapacity));
    int32_t result = device->channel(out, in);
    if (result > rxCapacity) result = rxCapacity;
    if (!device->Listening()) return result;
    Event e{EventKind::Exchange};
    e.node = device;
    e.number = result;
    e.tx.assign(out.begin(), out.end());
    if (result > 0) e.rx.assign(rx, rx + result);
    device->Record(std::move(e));
    return result;
}

void HOST_CALL NotifyThunk(DeviceHandle h, TagHandle tag) {
    Device* device = AsDevice(h);
    if (device == nullptr || !device->Listening()) return;
    Event e{EventKind::Notify};
    e.node = AsNode(h);
    e.tag = AsTag(tag);
    device->Record(std::move(e));
}

}  // namespace

extern "C" {

// ---- configuration ----

const char* HOST_CALL HostGetDeviceType(DeviceHandle node) {
    Node* n = AsNode(node);
    return n == nullptr ? "" : n->type.c_str();
}

ParamsHandle HOST_CALL HostGetDeviceParams(DeviceHandle device) {
    Node* n = AsNode(device);
    return n == nullptr ? nullptr : &n->properties;
}

ParamsHandle HOST_CALL HostGetSubdeviceParams(DeviceHandle node) {
    Node* n = AsNode(node);
    return n == nullptr ? nullptr : &n->properties;
}

ParamsHandle HOST_CALL HostGetTagParams(DeviceHandle node, int32_t index) {
    Tag* tag = TagAt(AsNode(node), index);
    return tag == nullptr ? nullptr : &tag->properties;
}

int32_t HOST_CALL HostParamGetInt(ParamsHandle params, const char* name, int32_t def) {
    Properties* p = AsParams(params);
    return (p == nullptr || name == nullptr) ? def : p->GetInt(name, def);
}

int32_t HOST_CALL HostParamGetBool(ParamsHandle params, const char* name, int32_t def) {
    Properties* p = AsParams(params);
    return (p == nullptr || name == nullptr) ? def : (p->GetBool(name, def != 0) ? 1 : 0);
}

double HOST_CALL HostParamGetFloat(ParamsHandle params, const char* name, double def) {
    Properties* p = AsParams(params);
    return (p == nullptr || name == nullptr) ? def : p->GetFloat(name, def);
}

const char* HOST_CALL HostParamGetString(ParamsHandle params, const char* name, const char* def) {
    Properties* p = AsParams(params);
    if (p == nullptr || name == nullptr) return def;
    const std::string* text = p->Find(name);
    return text == nullptr ? def : text->c_str();
}

int32_t HOST_CALL HostGetRetryCount(DeviceHandle device) {
    Device* d = AsDevice(device);
    return d == nullptr ? 0 : d->retryCount;
}

void* HOST_CALL HostGetDeviceInfo(DeviceHandle device) { return device; }

int32_t HOST_CALL HostGetTagCount(DeviceHandle node) {
    Node* n = AsNode(node);
    return n == nullptr ? 0 : static_cast<int32_t>(n->tags.size());
}

TagHandle HOST_CALL HostGetTag(DeviceHandle node, int32_t index) {
    Tag* tag = TagAt(AsNode(node), index);
    if (tag == nullptr) HostError(AsDevice(node), AsNode(node), "HostGetTag index out of range");
    return tag;
}

int32_t HOST_CALL HostGetTagTotal(DeviceHandle device) { return HostGetTagCount(device); }

const char* HOST_CALL HostGetTagName(TagHandle tag) {
    Tag* t = AsTag(tag);
    return t == nullptr ? "" : t->name.c_str();
}

uint32_t HOST_CALL HostGetSubdeviceCount(DeviceHandle device) {
    Node* n = AsNode(device);
    if (n == nullptr || n->kind != NodeKind::Device) return 0;
    return static_cast<uint32_t>(n->device->subdevices.size());
}

DeviceHandle HOST_CALL HostGetSubdevice(DeviceHandle device, uint32_t index) {
    Node* n = AsNode(device);
    if (n == nullptr || n->kind != NodeKind::Device || index >= n->device->subdevices.size()) {
        HostError(AsDevice(device), n, "HostGetSubdevice index out of range");
        return nullptr;
    }
    return n->device->subdevices[index].get();
}

DeviceHandle HOST_CALL HostFindGroup(DeviceHandle device, const char* name) {
    Node* n = AsNode(device);
    if (n == nullptr || name == nullptr || n->kind != NodeKind::Device) return nullptr;
    return n->device->FindGroup(name);
}

int32_t HOST_CALL HostGetGroupTagCount(DeviceHandle group) { return HostGetTagCount(group); }

TagHandle HOST_CALL HostGetGroupTag(DeviceHandle group, int32_t index) { return HostGetTag(group, index); }

// ---- plugin data ----

void* HOST_CALL HostAlloc(DeviceHandle node, uint32_t size) {
    Node* n = AsNode(node);
    if (n == nullptr) return nullptr;
    void* block = n->device->Allocate(n, size);
    if (!n->device->Listening()) return block;
    Event e{EventKind::Alloc};
    e.node = n;
    e.number = static_cast<int32_t>(size);
    n->device->Record(std::move(e));
    return block;
}

void HOST_CALL HostFree(DeviceHandle device, void* block) {
    Device* d = AsDevice(device);
    if (d == nullptr) return;
    if (!d->Release(block)) {
        HostError(d, d, "HostFree of a block this device does not own");
        return;
    }
    if (!d->Listening()) return;
    Event e{EventKind::Free};
    e.node = d;
    d->Record(std::move(e));
}

void HOST_CALL HostSetDeviceData(DeviceHandle device, void* data) {
    Device* d = AsDevice(device);
    if (d == nullptr) return;
    d->deviceData = data;
    if (!d->Listening()) return;
    Event e{EventKind::SetDeviceData};
    e.node = d;
    d->Record(std::move(e));
}

void* HOST_CALL HostGetDeviceData(DeviceHandle device) {
    Device* d = AsDevice(device);
    return d == nullptr ? nullptr : d->deviceData;
}

void HOST_CALL HostSetTagData(TagHandle tag, void* data) {
    Tag* t = AsTag(tag);
    if (t == nullptr) return;
    t->data = data;
    if (Device* d = DeviceOfTag(t); d != nullptr && d->Listening()) {
        Event e{EventKind::SetTagData};
        e.node = t->owner;
        e.tag = t;
        d->Record(std::move(e));
    }
}

void* HOST_CALL HostGetTagData(TagHandle tag) {
    Tag* t = AsTag(tag);
    return t == nullptr ? nullptr : t->data;
}

// ---- life cycle ----

int32_t HOST_CALL HostCreate(void* /*argument*/) { return 0; }

void HOST_CALL HostBeginInit(DeviceHandle device) {
    if (Device* d = AsDevice(device); d != nullptr && d->Listening()) d->Record(Event{EventKind::BeginInit, d});
}

void HOST_CALL HostEndInit(DeviceHandle device) {
    if (Device* d = AsDevice(device); d != nullptr && d->Listening()) d->Record(Event{EventKind::EndInit, d});
}

void HOST_CALL HostSetDeviceFlag(DeviceHandle device, int32_t flag) {
    Device* d = AsDevice(device);
    if (d == nullptr) return;
    d->flag = flag;
    if (!d->Listening()) return;
    Event e{EventKind::SetDeviceFlag, d};
    e.number = flag;
    d->Record(std::move(e));
}

// ---- requests ----

int32_t HOST_CALL HostIsReadDue(DeviceHandle node) {
    Node* n = AsNode(node);
    return (n != nullptr && n->readDue) ? 1 : 0;
}

int32_t HOST_CALL HostGetReadCount(DeviceHandle device) {
    Device* d = AsDevice(device);
    return d == nullptr ? 0 : static_cast<int32_t>(d->readList.size());
}

TagHandle HOST_CALL HostGetReadTag(DeviceHandle device, int32_t index) {
    Device* d = AsDevice(device);
    if (d == nullptr || index < 0 || static_cast<size_t>(index) >= d->readList.size()) {
        HostError(d, d, "HostGetReadTag index out of range");
        return nullptr;
    }
    return d->readList[static_cast<size_t>(index)];
}

int32_t HOST_CALL HostGetWriteCount(DeviceHandle device) {
    Device* d = AsDevice(device);
    return d == nullptr ? 0 : static_cast<int32_t>(d->writes.size());
}

TagHandle HOST_CALL HostGetWriteTag(DeviceHandle device, int32_t index) {
    Device* d = AsDevice(device);
    if (d == nullptr || index < 0 || static_cast<size_t>(index) >= d->writes.size()) {
        HostError(d, d, "HostGetWriteTag index out of range");
        return nullptr;
    }
    return d->writes[static_cast<size_t>(index)].tag;
}

int32_t HOST_CALL HostGetWriteValueBool(TagHandle tag) {
    Tag* t = AsTag(tag);
    Device* d = DeviceOfTag(t);
    if (d == nullptr) return 0;
    for (const auto& w : d->writes)
        if (w.tag == t) return w.value;
    HostError(d, t->owner, "HostGetWriteValueBool for a tag without a pending write");
    return 0;
}

void HOST_CALL HostCompleteWrite(TagHandle tag) {
    Tag* t = AsTag(tag);
    Device* d = DeviceOfTag(t);
    if (d == nullptr) return;
    for (auto& w : d->writes)
        if (w.tag == t) w.completed = true;
    if (!d->Listening()) return;
    Event e{EventKind::CompleteWrite, t->owner, t};
    d->Record(std::move(e));
}

void HOST_CALL HostRequestPoll(DeviceHandle device, int32_t flags) {
    Device* d = AsDevice(device);
    if (d == nullptr || !d->Listening()) return;
    Event e{EventKind::RequestPoll, d};
    e.number = flags;
    d->Record(std::move(e));
}

// ---- publishing ----

void HOST_CALL HostSetTagValueBool(TagHandle tag, uint8_t value, Quality q, const FILETIME* time) {
    RecordPublish(AsTag(tag), Number(ValueKind::Bool, value), q, time);
}

void HOST_CALL HostSetTagValueDouble(TagHandle tag, double value, Quality q, const FILETIME* time) {
    RecordPublish(AsTag(tag), Number(ValueKind::Double, value), q, time);
}

void HOST_CALL HostSetTagValueFloat(TagHandle tag, float value, Quality q, const FILETIME* time) {
    RecordPublish(AsTag(tag), Number(ValueKind::Float, value), q, time);
}

void HOST_CALL HostSetTagValueInt(TagHandle tag, int32_t value, Quality q, const FILETIME* time) {
    RecordPublish(AsTag(tag), Number(ValueKind::Int, value), q, time);
}

void HOST_CALL HostSetTagValueText(TagHandle tag, const char* value, Quality q, const FILETIME* time) {
    Value v;
    v.kind = ValueKind::Text;
    v.text = value == nullptr ? "" : value;
    RecordPublish(AsTag(tag), std::move(v), q, time);
}

void HOST_CALL HostSetTagValueUInt(TagHandle tag, uint32_t value, Quality q, const FILETIME* time) {
    RecordPublish(AsTag(tag), Number(ValueKind::UInt, value), q, time);
}

void HOST_CALL HostSetTagValueWord(TagHandle tag, uint16_t value, Quality q, const FILETIME* time) {
    RecordPublish(AsTag(tag), Number(ValueKind::Word, value), q, time);
}

void HOST_CALL HostSetTagQuality(TagHandle tag, Quality q) {
    Tag* t = AsTag(tag);
    if (t == nullptr) return;  // a real host would fault; the plugin must not rely on either
    t->quality = q;
    t->hasQuality = true;
    if (Device* d = DeviceOfTag(t); d != nullptr && d->Listening()) {
        Event e{EventKind::SetQuality, t->owner, t};
        e.quality = q;
        d->Record(std::move(e));
    }
}

void HOST_CALL HostCommitTags(DeviceHandle device, TagHandle* tags, int32_t count) {
    Device* d = AsDevice(device);
    if (d == nullptr || !d->Listening()) return;
    Event e{EventKind::Commit, AsNode(device)};
    e.number = count;
    for (int32_t i = 0; tags != nullptr && i < count; ++i) e.tags.push_back(AsTag(tags[i]));
    d->Record(std::move(e));
}

HostNotifyFn HOST_CALL HostGetNotify(DeviceHandle device) {
    Device* d = AsDevice(device);
    return (d != nullptr && d->notifyEnabled) ? &NotifyThunk : nullptr;
}

void HOST_CALL HostStoreHistory(DeviceHandle device, TagHandle tag) {
    Device* d = AsDevice(device);
    if (d == nullptr || !d->Listening()) return;
    Event e{EventKind::StoreHistory, AsNode(device), AsTag(tag)};
    d->Record(std::move(e));
}

// ---- channel and log ----

HostExchangeFn HOST_CALL HostGetExchange(DeviceHandle device) {
    Device* d = AsDevice(device);
    return (d != nullptr && d->channel) ? &ExchangeThunk : nullptr;
}

int32_t HOST_CALL HostIsBreakSet(DeviceHandle device) {
    Device* d = AsDevice(device);
    return (d != nullptr && d->breakFlag) ? 1 : 0;
}

void HOST_CALL HostLog(DeviceHandle node, const char* text) {
    Node* n = AsNode(node);
    if (n == nullptr || !n->device->Listening()) return;
    std::string line = text == nullptr ? "" : text;
    // Without recording nothing grows: long runs and benchmarks.
    if (n->device->recordEvents) n->log.push_back(line);
    Event e{EventKind::Log, n};
    e.text = std::move(line);
    n->device->Record(std::move(e));
}

}  // extern "C"
