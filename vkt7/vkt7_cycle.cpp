#include "vkt7/vkt7_cycle.h"

#include <cstring>
#include <ctime>
#include <new>

#include "common/calendar_time.h"
#include "common/driver_support.h"
#include "common/platform.h"
#include "common/publish.h"
#include "common/quality.h"
#include "common/text_appender.h"

using namespace vkt7;

namespace {

constexpr int32_t kTimeout = 1000;
constexpr int32_t kDefaultTagAddr = 1000;
constexpr int32_t kDefaultAttempts = 10;

struct GroupInfo {
    const char* name;
    uint8_t archiveType;
};

// Groups "1" to "5" and their archive types.
constexpr GroupInfo kGroups[5] = {{"1", kTypeCurrent}, {"2", kTypeTotals}, {"3", kTypeHour},
                                  {"4", kTypeDay},     {"5", kTypeMonth}};

Vkt7DeviceBlock* BlockOf(DeviceHandle device) { return static_cast<Vkt7DeviceBlock*>(HostGetDeviceData(device)); }

// The driver object: from the ordinary heap, zero-filled before construction.
VKT7* CreateDriver(Vkt7DeviceBlock* block, int32_t attempts, DeviceHandle device) {
    void* memory = ::operator new(sizeof(VKT7), std::nothrow);
    if (memory == nullptr) return nullptr;
    std::memset(memory, 0, sizeof(VKT7));
    return new (memory) VKT7(kTimeout, kBufferSize, block->sendBuffer, block->receiveBuffer, attempts, device);
}

void DestroyDriver(VKT7* driver) {
    driver->~VKT7();
    ::operator delete(static_cast<void*>(driver));
}

void CommitOne(DeviceHandle device, TagHandle tag) {
    TagHandle tags[1] = {tag};
    HostCommitTags(device, tags, 1);
}

bool Stopped(DeviceHandle device, const Vkt7DeviceBlock* block) {
    return HostIsBreakSet(device) != 0 || block->ScanEnabled == 0;
}

// Time stamps: local calendar time (fields out of range roll over).
int64_t LocalSeconds(int32_t year, int32_t month, int32_t day, int32_t hour) {
    std::tm t{};
    t.tm_year = 100 + year;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_isdst = -1;
    return platform::LocalCalendarToSeconds(t);
}

// No-answer handling: false when a break or a disabled scan ends the cycle.
bool ReportNoAnswer(DeviceHandle device, Vkt7DeviceBlock* block) {
    DriverLog(device, "Driver_VKT7. No answer. Set all current and total to bad\n");
    block->driver->ResetSession();
    for (const char* name : {"1", "2"}) {
        DeviceHandle group = HostFindGroup(device, name);
        if (group == nullptr) continue;
        const int32_t n = HostGetGroupTagCount(group);
        for (int32_t i = 0; i < n; ++i) {
            if (Stopped(device, block)) return false;
            HostSetTagQuality(HostGetGroupTag(group, i), QualityBad);
        }
    }
    const TagHandle dateTime = block->dateTimeTag;
    if (dateTime != nullptr) HostSetTagQuality(dateTime, QualityBad);
    return true;
}

// The element holding a group tag's value, null when there is none. Tags are
// matched to values by the element their own record names, not by position, so
// that a tag the element table refused does not shift the later tags of its group.
const VKT7Element* TagElement(const VKT7& driver, uint8_t type, TagHandle tag) {
    const auto* record = static_cast<const Vkt7TagRecord*>(HostGetTagData(tag));
    if (record == nullptr) return nullptr;
    return driver.WantedElement(static_cast<uint8_t>(record->addr & 0xFF), type);
}

// DriverLog for the per-tag lines, inlined: the cycle's device is never null.
inline void TagLog(DeviceHandle device, const char* text) {
    if (HostIsBreakSet(device) == 0) HostLog(device, text);
}

// Two characters at a time: the lower-case hex digits of each byte value (the
// quality) and the decimal digits of 0 to 99 (the tag's index).
template <int N>
struct Pairs {
    char text[N][2];
};
constexpr Pairs<256> MakeHexPairs() {
    Pairs<256> pairs{};
    for (int i = 0; i < 256; ++i) {
        pairs.text[i][0] = "0123456789abcdef"[i >> 4];
        pairs.text[i][1] = "0123456789abcdef"[i & 0x0F];
    }
    return pairs;
}
constexpr Pairs<100> MakeDecimalPairs() {
    Pairs<100> pairs{};
    for (int i = 0; i < 100; ++i) {
        pairs.text[i][0] = static_cast<char>('0' + i / 10);
        pairs.text[i][1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}
constexpr Pairs<256> kHexPairs = MakeHexPairs();
constexpr Pairs<100> kDecimalPairs = MakeDecimalPairs();

// "Driver_VKT7. Write to Dev <group> param No <index> Q = 0x<quality>\n", one per
// published tag: the group's part is written once, the rest per tag. The longest
// line (ten-digit index) is 57 characters with its newline: nothing is ever cut.
class WriteLine {
public:
    WriteLine(const WriteLine&) = delete;  // tail_ points into text_
    WriteLine& operator=(const WriteLine&) = delete;
    // The groups are "1" to "5": their number is one digit.
    explicit WriteLine(int32_t group) {
        static constexpr char kHead[] = "Driver_VKT7. Write to Dev ";
        static constexpr char kParam[] = " param No ";
        char* p = text_;
        std::memcpy(p, kHead, sizeof kHead - 1);
        p += sizeof kHead - 1;
        *p++ = static_cast<char>('0' + group);
        std::memcpy(p, kParam, sizeof kParam - 1);
        p += sizeof kParam - 1;
        tail_ = p;
    }
    const char* For(int32_t index, uint8_t quality) {
        char* p = tail_;
        const uint32_t value = static_cast<uint32_t>(index);
        if (value < 10) {  // groups are short: one or two digits without a loop
            *p++ = static_cast<char>('0' + value);
        } else if (value < 100) {
            std::memcpy(p, kDecimalPairs.text[value], 2);
            p += 2;
        } else {
            char digits[10];
            int n = 0;
            uint32_t rest = value;
            do {
                digits[n++] = static_cast<char>('0' + rest % 10);
                rest /= 10;
            } while (rest != 0 && n < 10);
            while (n > 0) *p++ = digits[--n];
        }
        std::memcpy(p, " Q = 0x", 7);
        std::memcpy(p + 7, kHexPairs.text[quality], 2);
        p[9] = '\n';
        p[10] = '\0';
        return text_;
    }

private:
    char text_[64];
    char* tail_ = text_;  // after the group's part
};

}  // namespace

FILETIME Vkt7FileTime(int64_t seconds) {
    const int64_t ticks = seconds * static_cast<int64_t>(platform::kTicksPerSecond) +
                          static_cast<int64_t>(platform::kUnixEpochTicks);
    return platform::MakeFileTime(static_cast<uint64_t>(ticks));
}

int32_t Vkt7Init(DeviceHandle device) {
    auto* block = static_cast<Vkt7DeviceBlock*>(HostAlloc(device, sizeof(Vkt7DeviceBlock)));
    (void)HostGetDeviceInfo(device);
    ParamsHandle params = HostGetDeviceParams(device);
    if (block == nullptr) {
        DriverLog(device, "Driver_VKT7. Device block allocation error\n");
        return 0;
    }
    std::memset(block, 0, sizeof(Vkt7DeviceBlock));
    HostSetDeviceData(device, block);

    const int32_t addr = HostParamGetInt(params, "addr", 0);
    int32_t attempts = HostGetRetryCount(device);
    if (attempts < 1) attempts = kDefaultAttempts;
    const int32_t depthHour = HostParamGetInt(params, "DepthHour", 20);
    const int32_t depthDay = HostParamGetInt(params, "DepthDay", 20);
    const int32_t depthMonth = HostParamGetInt(params, "DepthMonth", 5);
    const int32_t countRecord = HostParamGetInt(params, "CountRecord", 5);

    VKT7* driver = CreateDriver(block, attempts, device);
    if (driver == nullptr) {
        // No tag is bound: the host's READ marks the requested ones uncertain.
        DriverLog(device, "Driver_VKT7. Driver object allocation error\n");
        return 0;
    }
    block->driver = driver;
    if ((addr & 0xFF) != 0) driver->address = static_cast<uint8_t>(addr & 0xFF);
    // Both settings send the 0xFF 0xFF preamble: the offset is 0 either way.
    if (HostParamGetBool(params, "use232", 1) != 0) driver->sendOffset = 0;
    driver->VKT7_SetArchiveParams(depthHour, depthDay, depthMonth, countRecord);
    block->ScanEnabled = 1;

    for (const GroupInfo& info : kGroups) {
        DeviceHandle group = HostFindGroup(device, info.name);
        if (group == nullptr) continue;
        const int32_t n = HostGetGroupTagCount(group);
        for (int32_t i = 0; i < n; ++i) {
            TagHandle tag = HostGetGroupTag(group, i);
            ParamsHandle tagParams = HostGetTagParams(group, i);
            const int32_t tagAddr = HostParamGetInt(tagParams, "addr", kDefaultTagAddr);
            auto* record = static_cast<Vkt7TagRecord*>(HostAlloc(group, sizeof(Vkt7TagRecord)));
            if (record == nullptr) continue;
            record->archiveType = info.archiveType;
            record->addr = tagAddr;
            HostSetTagData(tag, record);
            // -4 for an element of 83 or more (the default 1000 gives 232): ignored.
            (void)driver->VKT7_AddElement(static_cast<uint8_t>(tagAddr & 0xFF), info.archiveType);
        }
    }

    const int32_t n = HostGetTagCount(device);
    for (int32_t i = 0; i < n; ++i) {
        TagHandle tag = HostGetTag(device, i);
        const char* name = HostGetTagName(tag);
        if (name != nullptr && std::strcmp(name, "Available") == 0) {
            block->availableTag = tag;
            HostSetTagValueBool(tag, 1, QualityGood, nullptr);
            CommitOne(device, tag);
        } else if (name != nullptr && std::strcmp(name, "Failure") == 0) {
            block->failureTag = tag;
            HostSetTagValueBool(tag, 0, QualityGood, nullptr);
            CommitOne(device, tag);
        } else if (name != nullptr && std::strcmp(name, "DateTime") == 0) {
            block->dateTimeTag = tag;
        }
        auto* record = static_cast<Vkt7TagRecord*>(HostAlloc(device, sizeof(Vkt7TagRecord)));
        if (record == nullptr) continue;
        record->archiveType = kTypeNone;
        record->addr = HostParamGetInt(HostGetTagParams(device, i), "addr", kDefaultTagAddr);
        HostSetTagData(tag, record);
    }
    return 0;
}

bool Vkt7ReadCycle(DeviceHandle device) {
    Vkt7DeviceBlock* block = BlockOf(device);
    if (block == nullptr || block->driver == nullptr) return false;
    VKT7& driver = *block->driver;
    bool result = true;
    if (Stopped(device, block)) return false;

    const TagHandle dateTimeTag = block->dateTimeTag;
    int32_t rc = driver.VKT7_ReadDeviceTime(dateTimeTag != nullptr);
    if (dateTimeTag != nullptr && rc == kOk) {
        const uint8_t* c = driver.meterClock;
        const CalendarTime t(c[2], c[1], c[0], c[3], c[4], c[5]);
        PublishTimeText(dateTimeTag, t);
    }

    for (int32_t g = 1; g <= 5; ++g) {
        rc = kOk;
        if (Stopped(device, block)) return false;
        DeviceHandle group = HostFindGroup(device, kGroups[g - 1].name);
        if (group == nullptr) continue;
        const int32_t records = g == 1 ? 1 : driver.CountRecord;
        WriteLine writeLine(g);
        for (int32_t r = 0; r < records; ++r) {
            if (Stopped(device, block)) break;
            int32_t h = 0, d = 0, m = 0, y = 0;
            switch (g) {
                case 1: rc = driver.VKT7_ReadCurrent(); break;
                case 2: rc = driver.VKT7_ReadTotals(); break;
                case 3:
                    rc = driver.VKT7_ReadHourArchive(h, d, m, y);
                    h += 1;
                    if (h > 23) {
                        h = 0;
                        d += 1;
                    }
                    break;
                case 4:
                    rc = driver.VKT7_ReadDayArchive(h, d, m, y);
                    d += 1;
                    h = 0;
                    break;
                default:
                    rc = driver.VKT7_ReadMonthArchive(h, d, m, y);
                    h = 0;
                    d = 1;
                    m += 1;
                    break;
            }
            if (rc == kNothingToRead) break;
            if (rc != kOk) {
                if (!ReportNoAnswer(device, block)) return false;
                break;
            }
            const int64_t seconds = g >= 3 ? LocalSeconds(y, m, d, h) : platform::CurrentSeconds();
            const FILETIME stamp = Vkt7FileTime(seconds);

            const int32_t n = HostGetGroupTagCount(group);
            const uint8_t selected = driver.SelectedArchive;  // the host's calls below never change it
            for (int32_t i = 0; i < n; ++i) {
                bool fail = true;
                if (Stopped(device, block)) return false;
                TagHandle tag = HostGetGroupTag(group, i);
                if (const VKT7Element* el = TagElement(driver, selected, tag)) {
                    // The element's value as VKT7_GetElementValue gives it, without the copy.
                    // All of it read before the host's calls, which would make the compiler read it again.
                    const uint8_t quality = el->quality;
                    const uint8_t type = el->type;
                    uint8_t value[sizeof el->value];
                    std::memcpy(value, el->value, sizeof value);
                    TagLog(device, writeLine.For(i, quality));
                    switch (type) {
                        case kValueNumber: {
                            double number;
                            std::memcpy(&number, value, sizeof number);
                            HostSetTagValueDouble(tag, number, quality, &stamp);
                            fail = false;
                            break;
                        }
                        case kValueBool:
                            HostSetTagValueBool(tag, value[0] != 0 ? 1 : 0, quality, &stamp);
                            fail = false;
                            break;
                        case kValueInteger: {
                            int32_t integer;
                            std::memcpy(&integer, value, sizeof integer);
                            HostSetTagValueInt(tag, integer, quality, &stamp);
                            fail = false;
                            break;
                        }
                        default: break;  // type 3: nothing
                    }
                    if (!fail && g >= 3) HostStoreHistory(device, tag);
                } else {
                    HostSetTagValueDouble(tag, 0.0, QualitySensorFailure, &stamp);
                    char line[64];
                    DriverLog(device, TextAppender(line, sizeof line)
                                          .Text("Driver_VKT7. Sensor failure - unable to get param No ").Int(i)
                                          .Char('\n').c_str());
                }
                const TagHandle failureTag = block->failureTag;
                if (failureTag != nullptr) {
                    HostSetTagValueBool(failureTag, fail ? 1 : 0, QualityGood, nullptr);
                    CommitOne(device, failureTag);
                }
            }
        }
        if (rc != kOk && rc != kNothingToRead) {
            DriverLog(device, "Driver_VKT7. No answer. Reporting bad and retry\n");
            result = false;
            break;  // the remaining groups wait for the next cycle
        }
    }

    if (driver.BreakFlag == 1) {
        DriverLog(device, "Driver_VKT7. Driver returned break flag\n");
        driver.BreakFlag = 0;
    }
    return result;
}

int32_t Vkt7Write(DeviceHandle device) {
    Vkt7DeviceBlock* block = BlockOf(device);
    if (block == nullptr) return 0;
    const int32_t n = HostGetWriteCount(device);
    for (int32_t i = 0; i < n; ++i) {
        TagHandle tag = HostGetWriteTag(device, i);
        const char* name = HostGetTagName(tag);
        if (name == nullptr || std::strcmp(name, "Available") != 0) continue;  // neither performed nor completed
        block->ScanEnabled = static_cast<uint8_t>(HostGetWriteValueBool(tag));  // echoed as the byte holds it
        HostCompleteWrite(tag);
        HostSetTagValueBool(tag, block->ScanEnabled, QualityGood, nullptr);
        HostLog(device, block->ScanEnabled != 0 ? "Driver_VKT7. Driver scan available" : "Driver_VKT7. Driver scan disabled");
        return 0;
    }
    return 0;
}

void Vkt7Close(DeviceHandle device) {
    Vkt7DeviceBlock* block = BlockOf(device);
    if (block == nullptr) return;
    VKT7* driver = block->driver;
    if (driver != nullptr) DestroyDriver(driver);
    block->driver = nullptr;
}
