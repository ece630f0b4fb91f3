#include "common/publish.h"

#include "common/platform.h"
#include "common/quality.h"

void PublishDouble(TagHandle tag, double value, Quality q) {
    if (tag != nullptr) HostSetTagValueDouble(tag, value, q, nullptr);
}

void PublishInt(TagHandle tag, int32_t value, Quality q) {
    if (tag != nullptr) HostSetTagValueInt(tag, value, q, nullptr);
}

void PublishBool(TagHandle tag, uint8_t value, Quality q) {
    if (tag != nullptr) HostSetTagValueBool(tag, value, q, nullptr);
}

void PublishTimeText(TagHandle tag, const CalendarTime& t) {
    if (tag == nullptr || !t.valid) return;
    char text[260];
    t.FormatTime(text, sizeof text);
    HostSetTagValueText(tag, text, QualityGood, nullptr);
}

void PublishTimeText(TagHandle tag, const CalendarTime& t, const char* text) {
    if (tag == nullptr || !t.valid) return;
    HostSetTagValueText(tag, text, QualityGood, nullptr);
}

void SetQuality(TagHandle tag, Quality q) { HostSetTagQuality(tag, q); }

bool MakeRecordTime(const CalendarTime& t, FILETIME& out) {
    if (!t.valid) return false;
    platform::SystemTime st{};
    st.wYear = static_cast<uint16_t>(t.year);
    st.wMonth = static_cast<uint16_t>(t.month);
    st.wDay = static_cast<uint16_t>(t.day);
    st.wHour = static_cast<uint16_t>(t.hour);
    FILETIME local{};
    if (!platform::SystemTimeToFileTime(st, local)) return false;
    FILETIME utc{};
    if (!platform::LocalFileTimeToFileTime(local, utc)) return false;
    platform::SystemTime back{};
    if (!platform::FileTimeToSystemTime(utc, back)) return false;
    return platform::SystemTimeToFileTime(back, out);
}

void CommitArchiveValue(DeviceHandle device, TagHandle tag) {
    const HostNotifyFn notify = HostGetNotify(device);
    TagHandle tags[1] = {tag};
    HostCommitTags(device, tags, 1);
    if (notify != nullptr) notify(device, tag);
}

RecordStamp MakeRecordStamp(const CalendarTime& t) {
    RecordStamp stamp;
    stamp.ok = MakeRecordTime(t, stamp.time);
    return stamp;
}

namespace {

template <class Publish>
void PublishArchive(DeviceHandle device, TagHandle tag, const RecordStamp& stamp, Publish publish) {
    if (device == nullptr || tag == nullptr) return;
    if (!stamp.ok) {
        HostLog(device, "Error record time");
        return;
    }
    publish(stamp.time);
    CommitArchiveValue(device, tag);
}

}  // namespace

void PublishArchiveDouble(DeviceHandle device, TagHandle tag, double value, const RecordStamp& stamp, Quality q) {
    PublishArchive(device, tag, stamp, [&](const FILETIME& time) { HostSetTagValueDouble(tag, value, q, &time); });
}

void PublishArchiveInt(DeviceHandle device, TagHandle tag, int32_t value, const RecordStamp& stamp, Quality q) {
    PublishArchive(device, tag, stamp, [&](const FILETIME& time) { HostSetTagValueInt(tag, value, q, &time); });
}

void PublishArchiveDouble(DeviceHandle device, TagHandle tag, double value, const CalendarTime& t, Quality q) {
    if (device == nullptr || tag == nullptr) return;
    PublishArchiveDouble(device, tag, value, MakeRecordStamp(t), q);
}

void PublishArchiveInt(DeviceHandle device, TagHandle tag, int32_t value, const CalendarTime& t, Quality q) {
    if (device == nullptr || tag == nullptr) return;
    PublishArchiveInt(device, tag, value, MakeRecordStamp(t), q);
}
