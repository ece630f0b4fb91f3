#include <cstdio>

#include "common/device_object.h"
#include "common/driver_support.h"
#include "common/publish.h"
#include "common/quality.h"
#include "common/text_appender.h"
#include "vkt5/vkt5_arrays.h"
#include "vkt5/vkt5_model.h"

namespace DriverVKT5 {

namespace {

// Register blocks of the settings and clock requests.
constexpr uint8_t kRegisterChannels = 0x0A;
constexpr uint8_t kRegisterClock = 0x0B;
constexpr uint8_t kRegisterVersion = 0x0E;
constexpr int32_t kVersionLength = 2;
constexpr int32_t kChannelTableLength = 60;
constexpr int32_t kClockLength = 10;
constexpr uint32_t kRequestLength = 6;
constexpr int32_t kChannelEntryLength = 7;
constexpr uint8_t kReportType2 = 2;

void WriteRequest(Link& link, uint8_t address, uint8_t reg, uint8_t count) {
    link.tx[0] = address;
    link.tx[1] = FunctionReadHolding;
    link.tx[2] = reg;
    link.tx[3] = 0x00;
    link.tx[4] = 0x00;
    link.tx[5] = count;
}

uint16_t Word(const Link& link, size_t offset) {
    return static_cast<uint16_t>((link.rx[offset] << 8) | link.rx[offset + 1]);
}

const char* TotalName(uint32_t total) { return total == 1 ? "total" : "current"; }

}  // namespace

void Item::PublishCurrent(const uint8_t* data, int32_t available) const {
    DecodedValue v;
    if (!DecodeValue(data, available, address, decoding, v)) return;
    if (v.integer)
        PublishInt(tag, v.intValue, QualityGood);
    else
        PublishDouble(tag, v.doubleValue, QualityGood);
}

bool ReadSettings(MeterSettings& settings, DeviceHandle device, Link& link, uint8_t address) {
    if (settings.read) return true;
    DriverLog(device, "Read settings device");
    WriteRequest(link, address, kRegisterVersion, 1);
    if (link.Exchange(kRequestLength, kVersionLength, false) != ExchangeOk) return false;
    const uint8_t v = link.rx[4];
    int version = v >> 4;
    int subversion = v & 0x0F;
    if (version == 0) {
        version = subversion;
        subversion = 0;
    }
    char line[64];
    std::snprintf(line, sizeof line, "Version %d subversion %d", version, subversion);
    DriverLog(device, line);
    uint32_t firmwareClass = FirmwareUnsupported;
    if (version >= 6) firmwareClass = subversion == 0 ? FirmwareSubversion0 : FirmwareSubversionN;
    settings.firmwareClass = firmwareClass;
    if (firmwareClass == FirmwareUnsupported) {
        DriverLog(device, "This version of firmware not supported");
        return false;
    }
    // Version 6.0 sends the table without its last byte.
    const int32_t n = (version <= 6 && subversion == 0) ? kChannelTableLength - 1 : kChannelTableLength;
    WriteRequest(link, address, kRegisterChannels, 0x1C);
    if (link.Exchange(kRequestLength, n, false) != ExchangeOk) return false;
    for (int32_t i = 3; i < n; i += kChannelEntryLength) {
        const uint8_t heat = link.rx[static_cast<size_t>(i)];
        if (heat < kHeatSystems) ++settings.channelCount[heat];
    }
    settings.reportType2 = 0;
    if (firmwareClass == FirmwareSubversionN) {
        // The 60th data byte.
        settings.reportType2 = link.rx[3 + kChannelTableLength - 1] == kReportType2 ? 1 : 0;
        DriverLog(device, settings.reportType2 ? "Report type 2" : "Report type 1");
    }
    settings.read = 1;
    return true;
}

void ReadClock(MeterClock& clock, DeviceHandle device, Link& link, uint8_t address) {
    DriverLog(device, "Read time of counter");
    WriteRequest(link, address, kRegisterClock, 0);
    const ExchangeResult r = link.Exchange(kRequestLength, kClockLength, false);
    if (r == ExchangeOk) {
        clock.time = CalendarTime(Word(link, 3) - 2000, Word(link, 5), Word(link, 7), Word(link, 9), Word(link, 11), 0);
        // Formatted once for the log line and the tag.
        char line[96];
        TextAppender appender(line, sizeof line);
        appender.Text("Current time ");
        const char* text = line + appender.length();
        clock.time.FormatTime(line + appender.length(), sizeof line - appender.length());
        DriverLog(device, line);
        if (clock.tag != nullptr) PublishTimeText(clock.tag, clock.time, text);
    } else if (r == ExchangeRefused && clock.tag != nullptr) {
        SetQuality(clock.tag, QualityUncertain);
    }
}

void ReadZone(const AreaZone& zone, Link& link, const MeterSettings& settings, uint8_t address) {
    int32_t dataOffset = 0;
    int32_t dataLength = 0;
    const ExchangeResult r = BuildZoneRequest(zone, link, settings, address, dataOffset, dataLength);
    if (r == ExchangeOk) {
        const int32_t available = dataLength - (dataOffset - 3);
        for (const auto& item : zone.items) item->PublishCurrent(&link.rx[static_cast<size_t>(dataOffset)], available);
    } else if (r == ExchangeRefused) {
        for (const auto& item : zone.items) SetQuality(item->tag, QualityUncertain);
    }
}

void MarkZoneBad(const AreaZone& zone) {
    for (const auto& item : zone.items) SetQuality(item->tag, QualityBad);
}

void ReadMeter(Meter& meter) {
    Link& link = meter.link;
    if (ReadSettings(meter.settings, meter.device, link, meter.address)) {
        ReadClock(meter.clock, meter.device, link, meter.address);
        char line[64];
        for (const auto& [key, zone] : meter.zones) {
            if (link.IsFailed()) break;
            DriverLog(meter.device, TextAppender(line, sizeof line).Text("Read array ").Int(zone->array).Text(" heat ")
                                        .Int(zone->heat).Char(' ').Text(TotalName(zone->total)).c_str());
            ReadZone(*zone, link, meter.settings, meter.address);
        }
        // Without the meter's present time there is no first record and no age limit;
        // with no record wanted per cycle there is nothing to skip either.
        if (!link.IsFailed() && !meter.archives.empty() && meter.countRecord > 0 && !meter.clock.time.valid) {
            DriverLog(meter.device, "Time of counter not valid, archives not read");
        } else {
            for (auto& [key, group] : meter.archives) {
                if (link.IsFailed()) break;
                ReadArchiveGroup(group, link, meter.device, meter.settings, meter.address, meter.clock.time);
            }
        }
    }
    if (link.IsFailed()) {
        if (meter.clock.tag != nullptr) SetQuality(meter.clock.tag, QualityBad);
        for (const auto& [key, zone] : meter.zones) MarkZoneBad(*zone);
        PublishBool(meter.failureTag, 1, QualityGood);
    } else {
        PublishBool(meter.failureTag, 0, QualityGood);
    }
}

void Device::Read() {
    if (!available) return;
    if (unscheduledPending) PublishControl(device, unscheduledTag, 1);
    ReadMeter(meter);
    if (unscheduledPending) {
        unscheduledPending = 0;
        PublishControl(device, unscheduledTag, 0);
    }
}

void Vkt5Read(DeviceHandle device) {
    if (auto* d = static_cast<Device*>(GetDeviceObject(device))) d->Read();
}

}  // namespace DriverVKT5
