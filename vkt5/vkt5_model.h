// The VKT-5 driver's object model of one configured device: the meter, its
// zones (one request each) and archives, and the items read from them.
#ifndef TRV_VKT5_MODEL_H
#define TRV_VKT5_MODEL_H

#include <array>
#include <compare>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "common/calendar_time.h"
#include "common/publish.h"
#include "host/host_api.h"
#include "vkt5/vkt5_link.h"

namespace DriverVKT5 {

enum FirmwareClass : uint32_t {
    FirmwareSubversion0 = 0,   // version 6 or later, subversion 0
    FirmwareSubversionN = 1,   // version 6 or later, subversion above 0
    FirmwareUnsupported = 2,   // older, or not read yet
};

// The tag property "DataType".
enum DataType : int32_t {
    DataTypeFloat = 0,
    DataTypeDouble = 1,
    DataTypeUInt16 = 2,
    DataTypeUInt32 = 3,
};

// How an item's bytes become a value.
enum Decoding : int32_t {
    DecodingNone = -1,
    DecodingFloat = 0,    // 4-byte IEEE single, big-endian
    DecodingUInt16 = 1,   // 2-byte unsigned, big-endian
    DecodingUInt32 = 3,   // 4-byte unsigned, big-endian
    DecodingDouble = 10,  // 8-byte IEEE double, big-endian
};

int32_t DecodingOf(int32_t dataType);

// "TypeArchive" 1 is the hour archive; anything else is the day archive.
constexpr uint8_t kTypeArchiveHour = 1;
constexpr size_t kHeatSystems = 9;

struct ZoneKey {
    uint8_t total;
    uint8_t array;
    uint8_t heat;
    auto operator<=>(const ZoneKey&) const = default;
};

struct ArchiveKey {
    uint8_t typeArchive;
    uint8_t total;
    auto operator<=>(const ArchiveKey&) const = default;
};

struct MeterSettings {
    uint8_t read = 0;
    std::array<uint8_t, kHeatSystems> channelCount{};
    uint8_t reportType2 = 0;
    uint32_t firmwareClass = FirmwareUnsupported;
};

struct MeterClock {
    CalendarTime time;
    TagHandle tag = nullptr;  // "DateTime"
};

class Item {
public:
    Item(TagHandle tag_, int32_t address_, int32_t dataType) : address(address_), decoding(DecodingOf(dataType)), tag(tag_) {}
    virtual ~Item() = default;
    Item(const Item&) = delete;
    Item& operator=(const Item&) = delete;

    // data is the zone's data part with available bytes; a value that does not
    // lie wholly inside it is not published.
    void PublishCurrent(const uint8_t* data, int32_t available) const;

    int32_t address;
    int32_t decoding;
    TagHandle tag;
};

class ArchiveItem : public Item {
public:
    using Item::Item;
    void PublishArchive(const uint8_t* data, DeviceHandle device, const RecordStamp& stamp, Quality quality,
                        int32_t available) const;
};

class AreaZone {
public:
    AreaZone(uint32_t total, uint8_t array, uint8_t heat) : AreaZone(total, array, heat, false) {}
    virtual void AddItem(TagHandle tag, int32_t address, int32_t dataType);
    virtual ~AreaZone() = default;
    AreaZone(const AreaZone&) = delete;
    AreaZone& operator=(const AreaZone&) = delete;

    uint32_t total;
    uint8_t array;
    uint8_t param1 = 0;
    uint8_t param2 = 0;
    std::array<uint8_t, 2> length{};  // by firmware class 0 and 1
    uint8_t heat;
    uint8_t perChannel = 0;
    uint8_t reportBlock = 0;
    uint8_t channelUnit = 0;  // 16-bit words per channel block
    std::vector<std::unique_ptr<Item>> items;
    uint8_t archive;

protected:
    AreaZone(uint32_t total, uint8_t array, uint8_t heat, bool archive);
};

class AreaArchiveZone : public AreaZone {
public:
    AreaArchiveZone(uint32_t total, uint8_t array, uint8_t heat) : AreaZone(total, array, heat, true) {}
    void AddItem(TagHandle tag, int32_t address, int32_t dataType) override;
};

struct ArchiveGroup {
    ArchiveGroup(uint8_t typeArchive, int32_t depthHour, int32_t depthDay, uint8_t total, int32_t countRecord);

    ArchiveInterval kind;
    CalendarTime next;  // the next record wanted; not valid before the first read
    int32_t depth;
    uint8_t total;
    int32_t countRecord;
    std::map<ZoneKey, std::unique_ptr<AreaArchiveZone>> zones;
};

class Meter {
public:
    Meter(DeviceHandle device, uint8_t address, int32_t depthHour, int32_t depthDay, int32_t countRecord,
          uint32_t attempts);

    void AddValueItem(TagHandle tag, uint8_t total, uint8_t array, uint8_t heat, int32_t address, int32_t dataType);
    void AddArchiveItem(TagHandle tag, uint8_t total, uint8_t typeArchive, uint8_t array, uint8_t heat,
                        int32_t address, int32_t dataType);

    uint8_t address;
    int32_t depthHour;
    int32_t depthDay;
    Link link;
    MeterClock clock;
    MeterSettings settings;
    TagHandle failureTag = nullptr;
    std::map<ZoneKey, std::unique_ptr<AreaZone>> zones;
    int32_t countRecord;
    DeviceHandle device;
    std::map<ArchiveKey, ArchiveGroup> archives;
};

class Device {
public:
    Device(DeviceHandle device_, uint8_t address, int32_t depthHour, int32_t depthDay, int32_t countRecord,
           uint32_t attempts)
        : meter(device_, address, depthHour, depthDay, countRecord, attempts), device(device_) {}

    void Read();
    void Write(DeviceHandle handle);

    Meter meter;
    TagHandle availableTag = nullptr;
    TagHandle failureTag = nullptr;
    uint8_t available = 1;
    uint8_t unscheduledPending = 0;
    TagHandle unscheduledTag = nullptr;
    DeviceHandle device;
};

// Publishes a control tag's value and commits it; nothing for an unbound tag.
void PublishControl(DeviceHandle device, TagHandle tag, uint8_t value);

// Parses the "address" property as an unsigned decimal number: its low 8 bits,
// 255 for no text or for a text that holds no number (then ok is false).
uint8_t ParseAddress(const char* text, bool& ok);

// Driver operations.
Device* Vkt5Init(DeviceHandle device);
void Vkt5Read(DeviceHandle device);
void Vkt5ReadSubdevice(DeviceHandle device, DeviceHandle node);
void Vkt5Write(DeviceHandle device);
void Vkt5Close(DeviceHandle device);

// The read cycle.
void ReadMeter(Meter& meter);
bool ReadSettings(MeterSettings& settings, DeviceHandle device, Link& link, uint8_t address);
void ReadClock(MeterClock& clock, DeviceHandle device, Link& link, uint8_t address);
void ReadZone(const AreaZone& zone, Link& link, const MeterSettings& settings, uint8_t address);
void MarkZoneBad(const AreaZone& zone);

// Archives.
void ReadArchiveGroup(ArchiveGroup& group, Link& link, DeviceHandle device, const MeterSettings& settings,
                      uint8_t address, const CalendarTime& now);
bool ReadArchiveZone(const AreaArchiveZone& zone, Link& link, DeviceHandle device, const MeterSettings& settings,
                     uint8_t address, const RecordStamp& stamp);

}  // namespace DriverVKT5

#endif
