#include "vkt7/vkt7_values.h"

#include <bit>
#include <cstring>

#include "common/platform.h"
#include "common/text_appender.h"

using namespace vkt7;

namespace vkt7 {

void NormaliseMonth(ArchivePos& p) {
    if (p.month > 12) {
        p.month = 1;
        p.year = static_cast<uint8_t>(p.year + 1);
    }
}

void NormaliseDay(ArchivePos& p) {
    if (p.day <= 28) return;
    bool next = false;
    if (p.month == 2) {
        const bool leap = p.year % 4 == 0;
        next = leap ? p.day > 29 : p.day > 28;
    } else if (p.month == 4 || p.month == 6 || p.month == 9 || p.month == 11) {
        next = p.day > 30;
    }
    if (p.day > 31) next = true;
    if (!next) return;
    p.day = 1;
    p.month = static_cast<uint8_t>(p.month + 1);
    NormaliseMonth(p);
}

}  // namespace vkt7

namespace {

// Elements 19 to 21 and 41 to 43, as bits: one test per value.
constexpr uint64_t kFloatElements = (uint64_t{7} << 19) | (uint64_t{7} << 41);

bool IsFloatElement(int32_t e) { return static_cast<uint32_t>(e) < 64 && ((kFloatElements >> e) & 1u) != 0; }

}  // namespace

VKT7::VKT7(int32_t timeout_, int32_t maxAnswerLength_, uint8_t* sendBuffer_, uint8_t* receiveBuffer_,
           int32_t attempts_, DeviceHandle device_)
    : VKT7(timeout_, maxAnswerLength_, sendBuffer_, receiveBuffer_, attempts_, device_, Vkt7HostPort(device_)) {}

VKT7::VKT7(int32_t timeout_, int32_t maxAnswerLength_, uint8_t* sendBuffer_, uint8_t* receiveBuffer_,
           int32_t attempts_, DeviceHandle device_, Vkt7Port port)
    : timeout(timeout_),
      // The receive buffer holds kBufferSize bytes, whatever the caller says.
      maxAnswerLength(maxAnswerLength_ < 0 || maxAnswerLength_ > kBufferSize ? kBufferSize : maxAnswerLength_),
      sendBuffer(sendBuffer_),
      receiveBuffer(receiveBuffer_),
      attempts(attempts_),
      device(device_),
      port_(port) {
    InitTable();
    Now = SecondsPosition(platform::CurrentSeconds());
    if (sendBuffer == nullptr || receiveBuffer == nullptr) {
        Log("VKT7 Ctor: Send or Receive buffer allocation error!\n");
        return;
    }
    sendBuffer[0] = 0xFF;
    sendBuffer[1] = 0xFF;
}

VKT7::~VKT7() = default;

int32_t VKT7::VKT7_ReadValues(uint8_t type) {
    int32_t result = kOk;
    if (!SessionOpen) result = VKT7_StartSession();
    if (result == kOk) {
        bool changed = false;
        result = VKT7_SelectArchive(type, changed);
        if (result == kOk && changed) result = VKT7_BuildElementList();
    }
    if (SelectedArchive < 3 && result == kOk) {
        ArchivePos p = SelectedArchive == kTypeHour ? HourPos : SelectedArchive == kTypeDay ? DayPos : MonthPos;
        if (SelectedArchive != kTypeHour) p.hour = 23;
        if (SelectedArchive == kTypeMonth) p.day = ReportDay;
        const uint8_t date[4] = {p.day, p.month, p.year, p.hour};
        result = VKT7_Write(kRegClock, 0, date, 4, 4);
    }
    if (result == kOk) result = VKT7_Read(kRegData, 0, static_cast<int32_t>(ExpectedLength));
    if (result == 5 && SelectedArchive < 3) {
        // The meter has forgotten the list.
        result = VKT7_BuildElementList();
        if (result == kOk) result = VKT7_Read(kRegData, 0, static_cast<int32_t>(ExpectedLength));
    }
    if (result == kOk) result = DecodeValues();
    return result;
}

// Inlined into the decoding loop: one call per value was a fifth of its cost.
// The element's fields come in as values read before anything is stored, so that
// no store into the element makes the compiler read them again.
[[gnu::always_inline]] inline void VKT7::DecodeValue(int32_t e, uint8_t type, uint32_t size, uint32_t divisor,
                                                     const uint8_t* bytes) {
    uint8_t* value = elements[e].value;
    if (type == kValueNumber) {
        const double scale = divisor == 0 ? 1.0 : static_cast<double>(divisor);
        double number = 0;
        if (IsFloatElement(e)) {
            float single = 0;
            std::memcpy(&single, bytes, sizeof single);
            number = static_cast<double>(single) / scale;
        } else {
            // Four bytes read at once, those above the value's size (at most four)
            // cleared: the value's quality bytes follow it inside the buffer.
            uint32_t u = 0;
            std::memcpy(&u, bytes, sizeof u);
            if (size < 4) u &= (1u << (8 * size)) - 1u;
            if (size <= 2)
                number = static_cast<int16_t>(static_cast<uint16_t>(u)) / scale;
            else
                number = static_cast<int32_t>(u) / scale;
        }
        std::memcpy(value, &number, sizeof number);
    } else if (type == kValueBool) {
        const bool on = ((e == 77 || e == 78) && size == 1) ? bytes[0] == '*' : bytes[0] != 0;
        std::memset(value, 0, sizeof elements[e].value);
        value[0] = on ? 1 : 0;
    } else if (type == kValueUnsigned) {
        std::memset(value, 0, sizeof elements[e].value);
        std::memcpy(value, bytes, 4);  // little-endian on every target
    }
    // type 2: the value stays as it was
}

int32_t VKT7::DecodeValues() {
    const uint8_t type = SelectedArchive;
    if (type >= kArchiveTypeCount) return kBadAnswer;
    // An answer shorter than the list is decoded as the buffer stands. At most 42
    // present elements of at most 4 bytes, each followed by its two quality bytes,
    // and a value read as four bytes: every byte read lies below 3 + 42 x 6.
    const uint8_t* at = receiveBuffer + 3;
    // The wanted bits as two words (element e: bit e % 64 of word e / 64).
    static_assert(std::endian::native == std::endian::little, "wanted bits read as little-endian words");
    static_assert(sizeof wantedBits[0] > 8 && sizeof wantedBits[0] <= 16);
    uint64_t words[2] = {0, 0};
    std::memcpy(&words[0], wantedBits[type], 8);
    std::memcpy(&words[1], wantedBits[type] + 8, sizeof wantedBits[type] - 8);
    for (int32_t w = 0; w < 2; ++w) {
        for (uint64_t bits = words[w]; bits != 0; bits &= bits - 1) {
            const int32_t e = w * 64 + std::countr_zero(bits);
            VKT7Element& el = elements[e];
            if ((el.flags[type] & kFlagPresent) == 0) {
                Logf("### Tag with addr %d(0x%02x) has COMM_FAILURE quality (BAD DATA)\n", e, e);
                el.quality = kQualityCommFailure;
                continue;
            }
            const uint32_t size = el.size;
            const uint8_t valueType = el.type;
            const uint32_t divisor = el.divisor;
            const uint8_t* bytes = at;
            const uint8_t q = bytes[size];
            const uint8_t ns = bytes[size + 1];
            at += size + 2;
            if (ns == 0x00 || ns == 0xFF) {
                if (q == kQualityDeviceFailure) {
                    el.quality = kQualitySensorCal;
                    Logf("### Tag with addr %d(0x%02x) received SENSOR_CAL quality (DEVICE_FAILURE from VKT)\n", e, e);
                    continue;
                }
                el.quality = q == kQualitySensorCal ? kQualityGood : q;
            } else if (q == kQualityDeviceFailure) {
                el.quality = kQualitySensorCal;
                Logf("### Tag with addr %d(0x%02x) has SENSOR_CAL quality + NS 0x%02x (DEVICE_FAILURE from VKT)\n", e,
                     e, ns);
                continue;
            } else {
                el.quality = kQualitySensorFailure;
                Logf("### Tag with addr %d(0x%02x) has SENSOR_FAILURE quality + NS 0x%02x (0x%02x from VKT)\n", e, e,
                     ns, q);
            }
            DecodeValue(e, valueType, size, divisor, bytes);
        }
    }
    return kOk;
}

int32_t VKT7::VKT7_GetValue(uint8_t n, uint8_t& quality, uint8_t& type, double& number, int32_t& integer) const {
    const uint8_t t = SelectedArchive;
    if (t >= kTypeNone || n >= requestCount[t]) return kWrongAnswer;
    Vkt7Value v;
    Fill(requestList[t][n], v);
    quality = v.quality;
    type = v.type;
    number = v.number;
    integer = v.integer;
    return kOk;
}

bool VKT7::VKT7_IsBeforeNow(const ArchivePos& p) const {
    if (p.year != Now.year) return p.year < Now.year;
    if (p.month != Now.month) return p.month < Now.month;
    if (p.day != Now.day) return p.day < Now.day;
    return p.hour < Now.hour;
}

int32_t VKT7::ReadArchive(ArchivePos& pos, uint8_t type, int32_t& hour, int32_t& day, int32_t& month,
                          int32_t& year) {
    hour = pos.hour;
    day = pos.day;
    month = pos.month;
    year = pos.year;
    if (!VKT7_IsBeforeNow(pos)) return kNothingToRead;
    const int32_t result = VKT7_ReadValues(type);
    if (result != kOk && result != 3) return result;  // the position stays
    switch (type) {
        case kTypeHour:
            pos.hour = static_cast<uint8_t>(pos.hour + 1);
            if (pos.hour > 23) {
                pos.hour = 0;
                pos.day = static_cast<uint8_t>(pos.day + 1);
                NormaliseDay(pos);
            }
            break;
        case kTypeDay:
            pos.day = static_cast<uint8_t>(pos.day + 1);
            NormaliseDay(pos);
            break;
        default: {
            pos.month = static_cast<uint8_t>(pos.month + 1);
            NormaliseMonth(pos);
            char line[64];
            Log(TextAppender(line, sizeof line).Text("Month archive after check ").Unsigned(pos.day).Char('.')
                    .Unsigned(pos.month).Char('.').Unsigned(pos.year).Char(' ').Unsigned(pos.hour).Text(":00\n").c_str());
            break;
        }
    }
    // Exception 3: no record for that date.
    return result == 3 ? kNothingToRead : kOk;
}

int32_t VKT7::VKT7_ReadHourArchive(int32_t& hour, int32_t& day, int32_t& month, int32_t& year) {
    return ReadArchive(HourPos, kTypeHour, hour, day, month, year);
}

int32_t VKT7::VKT7_ReadDayArchive(int32_t& hour, int32_t& day, int32_t& month, int32_t& year) {
    return ReadArchive(DayPos, kTypeDay, hour, day, month, year);
}

int32_t VKT7::VKT7_ReadMonthArchive(int32_t& hour, int32_t& day, int32_t& month, int32_t& year) {
    return ReadArchive(MonthPos, kTypeMonth, hour, day, month, year);
}
