#include <cstring>
#include <string_view>

#include "common/driver_support.h"
#include "common/publish.h"
#include "common/quality.h"
#include "common/text_appender.h"
#include "vkt9/vkt9_bytes.h"
#include "vkt9/vkt9_device.h"

namespace DriverVKT9 {

namespace {
constexpr unsigned kIndexRequestLength = 6;
constexpr unsigned kIndexDataLength = 6;
constexpr unsigned kRecordRequestLength = 7;
constexpr uint8_t kRecordSubfunction = 0x38;
constexpr uint8_t kRecordCount = 0x01;
// Record position p lies at rx[p + 7]; the date takes positions 0 to 3.
constexpr size_t kRecordStart = 7;
constexpr int32_t kFirstValuePosition = 4;

// "Get Index=" and the index, as TextAppender writes them: logged for every archive
// every cycle, so the digits are written without the general appender. The index is
// not negative, and the line fits any buffer of 21 bytes or more.
const char* IndexLine(char* out, uint32_t index) {
    static constexpr char kText[] = "Get Index=";
    std::memcpy(out, kText, sizeof kText - 1);
    size_t digits = 1;
    for (uint32_t bound = 10; digits < 10 && index >= bound; bound *= 10) ++digits;
    // Written from the last digit back.
    char* at = out + (sizeof kText - 1) + digits;
    *at = '\0';
    do {
        *--at = static_cast<char>('0' + index % 10);
        index /= 10;
    } while (index != 0);
    return out;
}
}  // namespace

int32_t Protocol::DepthOf(const Archive& archive) const {
    switch (archive.type) {
        case ArchiveTypeHour: return DepthHour;
        case ArchiveTypeDay: return DepthDay;
        default: return DepthMonth;
    }
}

int32_t Protocol::StepIndex(int32_t index, int64_t offset, const Archive& archive) {
    // Wraps once: an index or a depth reaching beyond the ring is not folded
    // back further. 64-bit so that no configured depth overflows.
    const int64_t top = archive.ringTop;
    const int64_t n = int64_t{index} + offset;
    if (n >= 0) return static_cast<int32_t>(n > top ? n - top - 1 : n);
    const int64_t m = top + n + 1;
    return static_cast<int32_t>(m > top ? m - top - 1 : m);
}

int32_t Protocol::ReadArchiveIndex(Archive& archive) {
    tx[0] = address;
    tx[1] = static_cast<uint8_t>(archive.function);
    tx[2] = static_cast<uint8_t>(archive.register_ >> 8);
    tx[3] = static_cast<uint8_t>(archive.register_);
    tx[4] = 0x00;
    tx[5] = 0x03;
    if (Exchange(kIndexRequestLength, kIndexDataLength, false, &archive.indexRequest) != ExchangeOk) return -1;
    archive.ringTop = Big16(&rx[3]);
    archive.second = Big16(&rx[5]);
    return Big16(&rx[7]);
}

bool Protocol::ReadArchiveRecord(Archive& archive, int32_t index) {
    tx[0] = address;
    tx[1] = FunctionRecord;
    tx[2] = static_cast<uint8_t>(archive.type);
    tx[3] = kRecordSubfunction;
    tx[4] = static_cast<uint8_t>(index);
    tx[5] = static_cast<uint8_t>(index >> 8);
    tx[6] = kRecordCount;
    const int r = Exchange(kRecordRequestLength, static_cast<unsigned>(archive.LengthByteAnswer) + 5, true);
    if (r == ExchangeFailed) {
        DriverLog(device, "Error while reading the archive");
        return false;
    }
    if (r == ExchangeErrorAnswer) {
        DriverLog(device, "Record not found");
        return true;
    }
    // A short answer is decoded as the receive buffer stands.
    CalendarTime time(rx[7], rx[8], rx[9], rx[10], 0, 0);
    if (!time.valid) {
        DriverLog(device, "Record not found");
        return true;
    }
    const auto interval = static_cast<ArchiveInterval>(archive.type);
    time.StepIntervals(1, interval);
    time.TruncateToInterval(interval);
    DecodeArchiveRecord(archive, rx.data(), rx.size(), time);
    return true;
}

void Protocol::DecodeArchiveRecord(Archive& archive, const uint8_t* answer, size_t size, const CalendarTime& time) {
    archive.recordTime = time;
    archive.recordDecoded = 1;
    // Bytes are taken as the buffer holds them, CRC and older answers included; only a
    // value reaching past the buffer's end (a record near the longest) keeps what it held.
    const int64_t walkEnd = int64_t{archive.LengthByteAnswer} + kRecordStart;
    auto value = archive.values.begin();
    int64_t position = kFirstValuePosition;
    while (position < walkEnd) {
        while (value != archive.values.end() && value->AddressByte < position) ++value;
        if (value == archive.values.end()) break;
        if (value->AddressByte != position) {
            position = value->AddressByte;
            continue;
        }
        const int32_t bytes = RecordBytes(value->DataType);
        const size_t first = kRecordStart + static_cast<size_t>(position);
        if (bytes > 0 && first + static_cast<size_t>(bytes) <= size) {
            DecodedValue v;
            DecodeValue<Little16, Little32>(value->DataType, value->Koeff, answer + first, v);
            value->floatValue = v.floatValue;
            value->intValue = v.intValue;
            value->doubleValue = v.doubleValue;
        }
        position += bytes > 0 ? bytes : 1;
        ++value;
    }
}

bool Protocol::NextArchiveRecord(Archive& archive, bool first) {
    int32_t depth = DepthOf(archive);
    int32_t next = lastIndex[static_cast<size_t>(archive.ordinal)];
    if (first) {
        currentIndex = ReadArchiveIndex(archive);
        if (depth > archive.ringTop) depth = archive.ringTop;
        if (currentIndex < 0) {
            DriverLog(device, "Error getting the index");
            return false;
        }
        static_assert(sizeof logText >= 21, "room for the index line");
        DriverLog(device, IndexLine(logText, static_cast<uint32_t>(currentIndex)));
        if (next == NotConfigured) next = StepIndex(currentIndex, -int64_t{depth}, archive);
        if (next == currentIndex) {
            DriverLog(device, "No new records in the archive");
            return false;
        }
    }
    if (next == currentIndex) return false;
    DriverLog(device, TextAppender(logText, sizeof logText).Text("Read record ").Int(next).Char(' ').c_str());
    if (ReadArchiveRecord(archive, next)) {
        lastIndex[static_cast<size_t>(archive.ordinal)] = StepIndex(next, 1, archive);
        return true;
    }
    DriverLog(device, "Error reading archive");
    return false;
}

namespace {

void PublishArchiveValue(const Device& d, const ArchiveValue& value, const FILETIME& stamp) {
    switch (value.DataType) {
        case DataFloat:
        case DataScaledInt16:
        case DataScaledUInt16: HostSetTagValueFloat(value.tag, value.floatValue, QualityGood, &stamp); break;
        case DataWord: HostSetTagValueWord(value.tag, static_cast<uint16_t>(value.intValue), QualityGood, &stamp); break;
        case DataUInt32: HostSetTagValueUInt(value.tag, static_cast<uint32_t>(value.intValue), QualityGood, &stamp); break;
        case DataIntPlusFloat: HostSetTagValueDouble(value.tag, value.doubleValue, QualityGood, &stamp); break;
        default: break;
    }
    TagHandle tag = value.tag;
    HostCommitTags(d.device, &tag, 1);
    if (d.notify != nullptr) d.notify(d.device, tag);
}

// strstr(text, "Archive") != nullptr, and the text's length when it holds: asked of every
// subdevice every cycle, where the library's search costs more than these few bytes.
// The comparisons stop at the text's end: its NUL differs from every letter.
bool FindArchive(const char* text, size_t& length) {
    for (const char* at = text; *at != '\0'; ++at) {
        if (at[0] == 'A' && at[1] == 'r' && at[2] == 'c' && at[3] == 'h' && at[4] == 'i' && at[5] == 'v' &&
            at[6] == 'e') {
            const char* end = at + 7;
            while (*end != '\0') ++end;
            length = static_cast<size_t>(end - text);
            return true;
        }
    }
    return false;
}

// "read subdevice <type> start" in text; a type text too long for the buffer is cut.
template <size_t N>
const char* SubdeviceLine(char (&text)[N], const char* type, size_t length) {
    static constexpr char kHead[] = "read subdevice ";
    static constexpr char kTail[] = " start";
    constexpr size_t kHeadLength = sizeof kHead - 1;
    if (length + kHeadLength + sizeof kTail > N)
        return TextAppender(text, N).Text(kHead).Text(std::string_view(type, length)).Text(kTail).c_str();
    // The whole line fits: the pieces are copied as they are.
    std::memcpy(text, kHead, kHeadLength);
    std::memcpy(text + kHeadLength, type, length);
    std::memcpy(text + kHeadLength + length, kTail, sizeof kTail);
    return text;
}

void PublishUnscheduled(Device& d, uint8_t value) {
    if (d.unschedulerTag == nullptr) return;
    HostSetTagValueBool(d.unschedulerTag, value, QualityGood, nullptr);
    HostCommitTags(d.device, &d.unschedulerTag, 1);
}

}  // namespace

void Vkt9ReadSubdevice(DeviceHandle device, DeviceHandle node) {
    Device* d = DeviceOf(device);
    if (d == nullptr || d->device != device || !d->available) return;
    if (d->unscheduled) PublishUnscheduled(*d, 1);
    const char* typeText = HostGetDeviceType(node);
    if (typeText == nullptr) typeText = "";
    size_t typeLength = 0;
    if (!FindArchive(typeText, typeLength)) return;
    HostLog(node, SubdeviceLine(d->text, typeText, typeLength));

    Protocol& p = d->protocol;
    const int32_t typeArchive = HostParamGetInt(HostGetSubdeviceParams(node), "TypeArchive", NotConfigured);
    Archive* archive = nullptr;
    for (Archive& a : p.archives) {
        if (a.type == typeArchive) {
            archive = &a;
            break;
        }
    }
    if (archive == nullptr) {
        HostLog(node, "Error find Subdevice in collection");
        return;
    }
    // Every read starts afresh; only the ring positions carry over.
    archive->ResetReadState();
    bool first = true;
    for (int32_t k = 0; k < p.CountRecord && !HostIsBreakSet(device); ++k) {
        if (!p.NextArchiveRecord(*archive, first)) break;
        first = false;
        FILETIME stamp{};
        if (!MakeRecordTime(archive->recordTime, stamp)) continue;
        for (const ArchiveValue& value : archive->values) PublishArchiveValue(*d, value, stamp);
    }
    if (d->unscheduled) {
        d->unscheduled = 0;
        PublishUnscheduled(*d, 0);
    }
}

}  // namespace DriverVKT9
