#include <limits>

#include "common/driver_support.h"
#include "common/publish.h"
#include "common/quality.h"
#include "common/text_appender.h"
#include "vkt5/vkt5_arrays.h"
#include "vkt5/vkt5_model.h"

namespace DriverVKT5 {

namespace {

constexpr uint8_t kRegisterRecordTime = 0x0B;
constexpr uint32_t kRecordTimeRequestLength = 15;
constexpr int32_t kRecordTimeAnswerData = 3;
// A record is read once the meter's clock is this many minutes past its start.
constexpr int kRecordAgeMinutes = 5;

void PutWord(Link& link, size_t offset, int32_t value) {
    link.tx[offset] = static_cast<uint8_t>((value >> 8) & 0xFF);
    link.tx[offset + 1] = static_cast<uint8_t>(value & 0xFF);
}

ExchangeResult WriteRecordTime(Link& link, uint8_t address, const CalendarTime& t) {
    link.tx[0] = address;
    link.tx[1] = FunctionWriteMultiple;
    link.tx[2] = kRegisterRecordTime;
    link.tx[3] = 0x00;
    link.tx[4] = 0x00;
    link.tx[5] = 0x04;  // registers
    link.tx[6] = 0x08;  // bytes
    PutWord(link, 7, t.year);
    PutWord(link, 9, t.month);
    PutWord(link, 11, t.day);
    PutWord(link, 13, t.hour);
    return link.Exchange(kRecordTimeRequestLength, kRecordTimeAnswerData, true);
}

const char* KindName(ArchiveInterval kind) { return kind == ArchiveHour ? "Hour" : "Day"; }

}  // namespace

void ArchiveItem::PublishArchive(const uint8_t* data, DeviceHandle device, const RecordStamp& stamp, Quality quality,
                                 int32_t available) const {
    DecodedValue v;
    if (!DecodeValue(data, available, address, decoding, v)) return;
    if (v.integer)
        PublishArchiveInt(device, tag, v.intValue, stamp, quality);
    else
        PublishArchiveDouble(device, tag, v.doubleValue, stamp, quality);
}

bool ReadArchiveZone(const AreaArchiveZone& zone, Link& link, DeviceHandle device, const MeterSettings& settings,
                     uint8_t address, const RecordStamp& stamp) {
    int32_t dataOffset = 0;
    int32_t dataLength = 0;
    const ExchangeResult r = BuildZoneRequest(zone, link, settings, address, dataOffset, dataLength);
    if (r == ExchangeRefused) return true;
    if (r != ExchangeOk) return false;
    const int32_t available = dataLength - dataOffset + 3;
    for (const auto& item : zone.items)
        static_cast<const ArchiveItem&>(*item).PublishArchive(&link.rx[static_cast<size_t>(dataOffset)], device, stamp,
                                                              QualityGood, available);
    return true;
}

void ReadArchiveGroup(ArchiveGroup& group, Link& link, DeviceHandle device, const MeterSettings& settings,
                      uint8_t address, const CalendarTime& now) {
    if (!group.next.valid) {
        group.next = now;
        group.next.TruncateToInterval(group.kind);
        // The most negative depth has no positive counterpart; one less lands as far off the calendar.
        group.next.StepIntervals(group.depth == std::numeric_limits<int32_t>::min() ? std::numeric_limits<int32_t>::max()
                                                                                     : -group.depth,
                                 group.kind);
    }
    CalendarTime limit = now;
    limit.AddMinutes(-kRecordAgeMinutes);
    bool logged = false;
    char line[128];
    for (int32_t count = 0;; ++count) {
        if (count >= group.countRecord) return;
        if (!group.next.valid) {
            DriverLog(device, "Archive start time not valid, archive not read");
            return;
        }
        if (static_cast<uint32_t>(limit.epochSeconds) < static_cast<uint32_t>(group.next.epochSeconds)) return;
        if (!logged) {
            DriverLog(device, TextAppender(line, sizeof line).Text("Read ").Text(KindName(group.kind))
                                  .Text(" archive type ").Text(group.total ? "Total" : "Current").c_str());
            logged = true;
        }
        TextAppender record(line, sizeof line);
        record.Text("Write time archive record ");
        group.next.FormatTime(line + record.length(), sizeof line - record.length());
        DriverLog(device, line);
        const ExchangeResult r = WriteRecordTime(link, address, group.next);
        if (r == ExchangeFailed) return;
        if (r == ExchangeOk) {
            // One stamp for every value of the record.
            const RecordStamp stamp = MakeRecordStamp(group.next);
            for (const auto& [key, zone] : group.zones) {
                DriverLog(device, TextAppender(line, sizeof line).Text("Read archive array ").Int(zone->array)
                                      .Text(" heat ").Int(zone->heat).Char(' ')
                                      .Text(zone->total == 1 ? "total" : "current").c_str());
                if (!ReadArchiveZone(*zone, link, device, settings, address, stamp)) {
                    DriverLog(device, "Error read archive array. Stop read");
                    return;
                }
            }
        } else {
            DriverLog(device, "Error write record");
        }
        group.next.StepIntervals(1, group.kind);
        // A step past what the calendar holds leaves no next record.
        if (!group.next.valid) return;
    }
}

}  // namespace DriverVKT5
