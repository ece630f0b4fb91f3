// Publishing one tag value to the host, with a quality and, for archive
// records, the record's time as a UTC stamp.
#ifndef TRV_COMMON_PUBLISH_H
#define TRV_COMMON_PUBLISH_H

#include <cstdint>

#include "common/calendar_time.h"
#include "host/host_api.h"

// Current values: no time stamp; a null tag publishes nothing.
void PublishDouble(TagHandle tag, double value, Quality q);
void PublishInt(TagHandle tag, int32_t value, Quality q);
void PublishBool(TagHandle tag, uint8_t value, Quality q);
// Publishes t as text with quality 192; nothing when the tag is null or t is not valid.
void PublishTimeText(TagHandle tag, const CalendarTime& t);
// The same with t already formatted by the caller.
void PublishTimeText(TagHandle tag, const CalendarTime& t, const char* text);
// No null test: the host sees exactly what the driver asked for.
void SetQuality(TagHandle tag, Quality q);

// Archive values: stamped with the record time, committed, then the host's
// notify function (if any) is called. An unusable time logs "Error record time"
// and publishes nothing.
void PublishArchiveDouble(DeviceHandle device, TagHandle tag, double value, const CalendarTime& t, Quality q);
void PublishArchiveInt(DeviceHandle device, TagHandle tag, int32_t value, const CalendarTime& t, Quality q);

// A record's UTC stamp, made once and used for every value of the record.
struct RecordStamp {
    FILETIME time{};
    bool ok = false;  // false: "Error record time" for each value, nothing published
};
RecordStamp MakeRecordStamp(const CalendarTime& t);
void PublishArchiveDouble(DeviceHandle device, TagHandle tag, double value, const RecordStamp& stamp, Quality q);
void PublishArchiveInt(DeviceHandle device, TagHandle tag, int32_t value, const RecordStamp& stamp, Quality q);

// Commits one archive value the caller has just published and notifies the host.
void CommitArchiveValue(DeviceHandle device, TagHandle tag);

// The record's whole hour of meter-local time as a UTC FILETIME, converted with
// the machine's present zone offset. False when t is not valid or not convertible.
bool MakeRecordTime(const CalendarTime& t, FILETIME& out);

#endif
