// The VKT-7 meter's side of the protocol, its data and its fault knobs.
#include <gtest/gtest.h>

#include <cstring>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "common/crc16.h"
#include "sim/vkt7/vkt7_simulator.h"

using sim::Vkt7Archive;
using sim::Vkt7Simulator;
using Bytes = std::vector<uint8_t>;
namespace pt = boost::posix_time;
namespace gd = boost::gregorian;

namespace {

Bytes WithCrc(Bytes frame, size_t from) {
    const uint16_t crc = Crc16Modbus(frame.data() + from, frame.size() - from);
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

Bytes ReadRequest(uint8_t address, uint16_t reg) {
    return WithCrc({0xFF, 0xFF, address, 0x03, static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg & 0xFF), 0, 0}, 2);
}

Bytes WriteRequest(uint8_t address, uint16_t reg, uint8_t byteCount, const Bytes& data) {
    Bytes f{0xFF, 0xFF, address, 0x10, static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg & 0xFF), 0, 0, byteCount};
    f.insert(f.end(), data.begin(), data.end());
    return WithCrc(f, 2);
}

Bytes Exchange(Vkt7Simulator& meter, const Bytes& request, size_t capacity = 265) {
    Bytes rx(capacity);
    const int32_t n = meter.Exchange(request, rx);
    rx.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return rx;
}

bool CrcOk(const Bytes& answer) { return answer.size() >= 2 && CheckCrc16(answer.data(), answer.size()); }

pt::ptime At(int y, int mo, int d, int h = 0, int mi = 0) {
    return pt::ptime(gd::date(static_cast<unsigned short>(y), static_cast<unsigned short>(mo),
                              static_cast<unsigned short>(d)),
                     pt::hours(h) + pt::minutes(mi));
}

// Selects a type and writes a list of the given elements; returns the data answer.
Bytes ReadValues(Vkt7Simulator& meter, uint8_t type, const Bytes& elements, const Bytes* date = nullptr) {
    Exchange(meter, WriteRequest(1, 0x3FFD, 2, {type, 0}));
    Bytes list;
    for (uint8_t e : elements) {
        const Bytes r{e, 0, 0, 0x40, 4, 0};
        list.insert(list.end(), r.begin(), r.end());
    }
    Exchange(meter, WriteRequest(1, 0x3FFF, static_cast<uint8_t>(list.size()), list));
    if (date) Exchange(meter, WriteRequest(1, 0x3FFB, 4, *date));
    return Exchange(meter, ReadRequest(1, 0x3FFE));
}

class Vkt7Sim : public ::testing::Test {
protected:
    Vkt7Sim() { meter.clock().Set(At(2024, 3, 7, 12, 30)); }
    Vkt7Simulator meter;
};

}  // namespace

TEST_F(Vkt7Sim, AnswersTheSoftwareVersionRead) {
    const Bytes request{0xFF, 0xFF, 0x01, 0x03, 0x3F, 0xF9, 0x00, 0x00, 0x99, 0xEF};
    const Bytes a = Exchange(meter, request, 21);
    ASSERT_EQ(a.size(), 21u);
    EXPECT_TRUE(CrcOk(a));
    EXPECT_EQ(a[0], 1);
    EXPECT_EQ(a[1], 0x03);
    EXPECT_EQ(a[2], 16);
    EXPECT_EQ(a[3], 0x23);       // version 2.3
    EXPECT_EQ(a[a[2] + 1], 25);  // report day
    EXPECT_EQ(meter.requests(), 1u);
}

TEST_F(Vkt7Sim, IgnoresFramesItShouldNotAnswer) {
    Bytes badCrc = ReadRequest(1, 0x3FF9);
    badCrc.back() ^= 1;
    Bytes noPreamble = ReadRequest(1, 0x3FF9);
    noPreamble[0] = 0x00;
    EXPECT_TRUE(Exchange(meter, badCrc).empty());
    EXPECT_TRUE(Exchange(meter, noPreamble).empty());
    EXPECT_TRUE(Exchange(meter, ReadRequest(2, 0x3FF9)).empty());  // another meter's address
    EXPECT_TRUE(Exchange(meter, Bytes{0xFF, 0xFF, 0x01}).empty());
    meter.SetAddress(2);
    EXPECT_FALSE(Exchange(meter, ReadRequest(2, 0x3FF9)).empty());
}

TEST_F(Vkt7Sim, SessionOpenThenServerInformation) {
    const Bytes confirm = Exchange(meter, WriteRequest(1, 0x3FFF, 0xCC, {0x80, 0, 0, 0}));
    EXPECT_EQ(confirm, WithCrc({1, 0x10, 0x3F, 0xFF, 0, 0}, 0));
    EXPECT_TRUE(meter.sessionOpened());
    meter.SetServerVersion(1);
    meter.SetServerFlag(1);
    const Bytes a = Exchange(meter, ReadRequest(1, 0x3FFE));
    ASSERT_EQ(a.size(), 179u);
    EXPECT_TRUE(CrcOk(a));
    EXPECT_EQ(a[64], 1);
    EXPECT_EQ(a[65], 1);
    // The next data read is an ordinary one: no list yet, exception 5.
    EXPECT_EQ(Exchange(meter, ReadRequest(1, 0x3FFE)), WithCrc({1, 0x83, 5, 0}, 0));
}

TEST_F(Vkt7Sim, PropertiesInBothServerVersionFormats) {
    const Bytes request = [] {
        Bytes r;
        for (uint8_t e : {44, 45, 46, 47, 48, 53, 55, 56, 57, 59, 60, 61, 66, 70, 69, 76}) {
            const Bytes rec{e, 0, 0, 0x40, static_cast<uint8_t>(e < 57 ? 7 : 1), 0};
            r.insert(r.end(), rec.begin(), rec.end());
        }
        return r;
    }();
    Exchange(meter, WriteRequest(1, 0x3FFD, 2, {6, 0}));
    Exchange(meter, WriteRequest(1, 0x3FFF, 96, request));
    Bytes a = Exchange(meter, ReadRequest(1, 0x3FFE));
    ASSERT_EQ(a.size(), 101u);  // server version 0: eight 9-byte texts, eight 3-byte places
    EXPECT_EQ(a[2], 96);
    EXPECT_EQ(std::string(a.begin() + 3, a.begin() + 10), "C      ");
    EXPECT_EQ(a[3 + 72], 2);       // 57: two decimal places
    EXPECT_EQ(a[3 + 72 + 3], 3);   // 59
    EXPECT_EQ(a[3 + 72 + 15], 3);  // 70 comes before 69
    meter.SetServerVersion(1);
    meter.SetDecimalPlaces(76, 1);
    a = Exchange(meter, ReadRequest(1, 0x3FFE));
    ASSERT_TRUE(CrcOk(a));
    EXPECT_EQ(a[3], 1);  // length of "C", low byte first
    EXPECT_EQ(a[4], 0);
    EXPECT_EQ(a[5], 'C');
    EXPECT_EQ(a[a.size() - 5], 1);  // 76's places, then quality and NS
    EXPECT_EQ(a[a.size() - 4], 0xC0);
}

TEST_F(Vkt7Sim, BoundsAndClock) {
    meter.SetArchiveSpan(48, 365, 36);
    Bytes a = Exchange(meter, ReadRequest(1, 0x3FF6));
    ASSERT_EQ(a.size(), 17u);
    EXPECT_EQ(Bytes(a.begin() + 3, a.begin() + 7), (Bytes{5, 3, 24, 12}));  // hour archive start
    EXPECT_EQ(Bytes(a.begin() + 7, a.begin() + 11), (Bytes{7, 3, 24, 12}));  // now
    a = Exchange(meter, ReadRequest(1, 0x3FFB));
    ASSERT_EQ(a.size(), 13u);
    EXPECT_EQ(Bytes(a.begin() + 3, a.begin() + 9), (Bytes{7, 3, 24, 12, 30, 0}));
    meter.SetNoArchives(true);
    EXPECT_EQ(Exchange(meter, ReadRequest(1, 0x3FF6)), WithCrc({1, 0x83, 3, 0}, 0));
}

TEST_F(Vkt7Sim, ActiveListValuesQualityAndNs) {
    Exchange(meter, WriteRequest(1, 0x3FFD, 2, {4, 0}));
    const Bytes list = Exchange(meter, ReadRequest(1, 0x3FFC));
    ASSERT_TRUE(CrcOk(list));
    ASSERT_EQ((list[2]) % 6, 0);
    EXPECT_EQ(Bytes(list.begin() + 3, list.begin() + 9), (Bytes{0, 0, 0, 0x40, 2, 0}));  // t1: two bytes
    meter.SetQuality(Vkt7Archive::Current, 1, 0x0C, 0x05);
    // The list as written (2, 19, 1), the answer in ascending element number.
    const Bytes a = ReadValues(meter, 4, {2, 19, 1});
    ASSERT_TRUE(CrcOk(a));
    ASSERT_EQ(a[2], (2 + 2) + (2 + 2) + (4 + 2));
    const Bytes t2 = meter.RawValue(Vkt7Archive::Current, 1);
    EXPECT_EQ(Bytes(a.begin() + 3, a.begin() + 5), t2);
    EXPECT_EQ(a[5], 0x0C);
    EXPECT_EQ(a[6], 0x05);
    EXPECT_EQ(a[9], 0xC0);
    float g1 = 0;
    std::memcpy(&g1, &a[11], 4);
    EXPECT_EQ(static_cast<double>(g1), meter.ExpectedValue(Vkt7Archive::Current, 19));
}

TEST_F(Vkt7Sim, ArchiveRecordsExistInsideTheSpanAndBeforeTheClock) {
    meter.SetArchiveSpan(48, 10, 3);
    EXPECT_TRUE(meter.HasRecord(Vkt7Archive::Hour, At(2024, 3, 7, 11)));
    EXPECT_FALSE(meter.HasRecord(Vkt7Archive::Hour, At(2024, 3, 7, 12)));  // not closed
    EXPECT_TRUE(meter.HasRecord(Vkt7Archive::Hour, At(2024, 3, 5, 12)));
    EXPECT_FALSE(meter.HasRecord(Vkt7Archive::Hour, At(2024, 3, 5, 11)));
    EXPECT_TRUE(meter.HasRecord(Vkt7Archive::Day, At(2024, 3, 6)));
    EXPECT_FALSE(meter.HasRecord(Vkt7Archive::Day, At(2024, 3, 7)));
    EXPECT_FALSE(meter.HasRecord(Vkt7Archive::Day, At(2024, 2, 25)));
    EXPECT_TRUE(meter.HasRecord(Vkt7Archive::Month, At(2024, 2, 1)));   // closed on 25 February
    EXPECT_FALSE(meter.HasRecord(Vkt7Archive::Month, At(2024, 3, 1)));  // closes on 25 March
    EXPECT_TRUE(meter.HasRecord(Vkt7Archive::Month, At(2023, 12, 1)));
    EXPECT_FALSE(meter.HasRecord(Vkt7Archive::Month, At(2023, 11, 1)));

    const Bytes inside{6, 3, 24, 10};
    Bytes a = ReadValues(meter, 0, {0, 3}, &inside);
    ASSERT_TRUE(CrcOk(a));
    EXPECT_EQ(a[1], 0x03);
    EXPECT_EQ(Bytes(a.begin() + 3, a.begin() + 5), meter.RawValue(Vkt7Archive::Hour, 0, At(2024, 3, 6, 10)));
    const Bytes future{7, 3, 24, 12};
    EXPECT_EQ(ReadValues(meter, 0, {0}, &future), WithCrc({1, 0x83, 3, 0}, 0));
    const Bytes month{30, 2, 24, 23};  // a report day past the month's end still names February
    a = ReadValues(meter, 2, {0}, &month);
    EXPECT_EQ(a[1], 0x03);
}

TEST_F(Vkt7Sim, DataIsDeterministicAndPlausible) {
    Vkt7Simulator other;
    other.clock().Set(meter.clock().Now());
    for (Vkt7Archive type : {Vkt7Archive::Current, Vkt7Archive::Totals, Vkt7Archive::Hour}) {
        for (const auto& [e, size] : meter.ActiveList(type)) {
            EXPECT_EQ(meter.RawValue(type, e, At(2024, 3, 6, 5)), other.RawValue(type, e, At(2024, 3, 6, 5)));
            EXPECT_EQ(meter.RawValue(type, e, At(2024, 3, 6, 5)).size(), size);
        }
    }
    const double t1 = meter.ExpectedValue(Vkt7Archive::Current, 0);
    const double t2 = meter.ExpectedValue(Vkt7Archive::Current, 1);
    EXPECT_GE(t1, 70.0);
    EXPECT_LT(t1, 80.0);
    EXPECT_GT(t1, t2);
    EXPECT_NEAR(meter.ExpectedValue(Vkt7Archive::Current, 14), t1 - t2, 1e-9);
    const double v1 = meter.ExpectedValue(Vkt7Archive::Hour, 3, At(2024, 3, 6, 5));
    EXPECT_GT(v1, 1.0);
    EXPECT_LT(v1, 3.0);
    EXPECT_NEAR(meter.ExpectedValue(Vkt7Archive::Day, 17, At(2024, 3, 6)), 24.0, 0);
    EXPECT_NEAR(meter.ExpectedValue(Vkt7Archive::Month, 17, At(2024, 2, 1)), 29 * 24.0, 0);
    EXPECT_GT(meter.ExpectedValue(Vkt7Archive::Totals, 3), 12000.0);
    // Totals grow with the clock.
    const double before = meter.ExpectedValue(Vkt7Archive::Totals, 12);
    meter.clock().Advance(pt::hours(10));
    EXPECT_GT(meter.ExpectedValue(Vkt7Archive::Totals, 12), before);
}

TEST_F(Vkt7Sim, ValuesSetByTheTest) {
    meter.SetValue(Vkt7Archive::Current, 0, 72.5);
    EXPECT_EQ(meter.RawValue(Vkt7Archive::Current, 0), (Bytes{0x52, 0x1C}));  // 7250
    EXPECT_EQ(meter.ExpectedValue(Vkt7Archive::Current, 0), 72.5);
    meter.SetRecordValue(Vkt7Archive::Hour, 3, At(2024, 3, 6, 5, 40), 1.234);
    EXPECT_EQ(meter.ExpectedValue(Vkt7Archive::Hour, 3, At(2024, 3, 6, 5)), 1.234);
    meter.SetActive(Vkt7Archive::Current, 0, 3);
    meter.SetRawValue(Vkt7Archive::Current, 0, {0xFF, 0xFF, 0xFF});
    EXPECT_DOUBLE_EQ(meter.ExpectedValue(Vkt7Archive::Current, 0), 167772.15);
    meter.SetValue(Vkt7Archive::Current, 77, 1);
    EXPECT_EQ(meter.RawValue(Vkt7Archive::Current, 77), Bytes{'*'});
    meter.ClearValues();
    EXPECT_NE(meter.RawValue(Vkt7Archive::Current, 77).size(), 0u);
}

TEST_F(Vkt7Sim, ExceptionsOnChosenRegisters) {
    meter.SetException(0x3FF6, 3, 0x03, 1);
    EXPECT_EQ(Exchange(meter, ReadRequest(1, 0x3FF6)), WithCrc({1, 0x83, 3, 0}, 0));
    EXPECT_EQ(Exchange(meter, ReadRequest(1, 0x3FF6)).size(), 17u);  // once only
    meter.SetException(0x3FFB, 4, 0x10);
    EXPECT_EQ(Exchange(meter, WriteRequest(1, 0x3FFB, 4, {1, 1, 24, 0})), WithCrc({1, 0x90, 4, 0}, 0));
    EXPECT_EQ(Exchange(meter, ReadRequest(1, 0x3FFB)).size(), 13u);  // reads are not affected
    meter.SetException(0x3FFB, 0, 0x10);
    EXPECT_EQ(Exchange(meter, WriteRequest(1, 0x3FFB, 4, {1, 1, 24, 0})).size(), 8u);
    EXPECT_EQ(Exchange(meter, ReadRequest(1, 0x1234)), WithCrc({1, 0x83, 2, 0}, 0));
    meter.ForgetList();
    EXPECT_EQ(Exchange(meter, ReadRequest(1, 0x3FFE)), WithCrc({1, 0x83, 5, 0}, 0));
}

TEST_F(Vkt7Sim, LineFaults) {
    const Bytes request = ReadRequest(1, 0x3FF9);
    meter.faults().truncateBy = 3;
    EXPECT_EQ(Exchange(meter, request).size(), 18u);
    meter.faults().truncateBy = 0;
    meter.faults().extraBytes = 2;
    EXPECT_EQ(Exchange(meter, request).size(), 23u);
    meter.faults().extraBytes = 0;
    meter.faults().corruptCrc = true;
    EXPECT_FALSE(CrcOk(Exchange(meter, request)));
    meter.faults().corruptCrc = false;
    meter.faults().wrongAddress = true;
    Bytes a = Exchange(meter, request);
    EXPECT_EQ(a[0], 2);
    EXPECT_TRUE(CrcOk(a));  // the CRC is repaired: only the address is wrong
    meter.faults().wrongAddress = false;
    meter.faults().silence = true;
    EXPECT_TRUE(Exchange(meter, request).empty());
    meter.faults().silence = false;
    meter.faults().channelResult = -3;
    Bytes rx(265);
    EXPECT_EQ(meter.Exchange(request, rx), -3);
}

TEST_F(Vkt7Sim, OptionsByName) {
    std::string error;
    EXPECT_TRUE(meter.SetOption("address", "7", error)) << error;
    EXPECT_EQ(meter.address(), 7);
    EXPECT_TRUE(meter.SetOption("server-version", "1", error));
    EXPECT_EQ(meter.serverVersion(), 1);
    EXPECT_TRUE(meter.SetOption("report-day", "20", error));
    EXPECT_EQ(meter.reportDay(), 20);
    EXPECT_TRUE(meter.SetOption("software-version", "3.1", error));
    EXPECT_TRUE(meter.SetOption("exception", "read:0x3FF6:3", error)) << error;
    EXPECT_TRUE(meter.SetOption("exception", "0x3FFE:5:2", error)) << error;
    EXPECT_TRUE(meter.SetOption("quality", "current:0:0x0C:5", error)) << error;
    EXPECT_EQ(meter.QualityOf(Vkt7Archive::Current, 0), std::make_pair(uint8_t{0x0C}, uint8_t{5}));
    EXPECT_TRUE(meter.SetOption("ns", "hour:3:0x01", error)) << error;
    EXPECT_EQ(meter.QualityOf(Vkt7Archive::Hour, 3), std::make_pair(uint8_t{0xC0}, uint8_t{1}));
    EXPECT_TRUE(meter.SetOption("value", "4:0:65.25", error)) << error;
    EXPECT_EQ(meter.ExpectedValue(Vkt7Archive::Current, 0), 65.25);
    EXPECT_TRUE(meter.SetOption("raw", "totals:3:FF FF FF FF", error)) << error;
    EXPECT_EQ(meter.ExpectedValue(Vkt7Archive::Totals, 3), -0.001);
    EXPECT_TRUE(meter.SetOption("active", "current:44:4", error)) << error;
    EXPECT_TRUE(meter.SetOption("inactive", "current:44", error)) << error;
    EXPECT_TRUE(meter.SetOption("decimals", "57:1", error)) << error;
    EXPECT_EQ(meter.DecimalPlaces(57), 1);
    EXPECT_TRUE(meter.SetOption("hour-span", "100", error)) << error;
    EXPECT_TRUE(meter.SetOption("no-archives", "true", error)) << error;
    EXPECT_TRUE(meter.SetOption("forget-list", "true", error)) << error;
    EXPECT_TRUE(meter.SetOption("clear-exceptions", "", error)) << error;
    EXPECT_TRUE(meter.SetOption("silence", "true", error)) << error;  // the base's knobs still work
    EXPECT_TRUE(meter.SetOption("clock", "2024-01-01 00:00:00", error)) << error;

    EXPECT_FALSE(meter.SetOption("address", "300", error));
    EXPECT_NE(error.find("address"), std::string::npos);
    EXPECT_FALSE(meter.SetOption("exception", "0x3FF6", error));
    EXPECT_FALSE(meter.SetOption("quality", "sometimes:0:1", error));
    EXPECT_FALSE(meter.SetOption("value", "4:0:warm", error));
    EXPECT_FALSE(meter.SetOption("no-such-knob", "1", error));
    EXPECT_NE(error.find("no-such-knob"), std::string::npos);

    bool listed = false;
    for (const auto& [name, help] : meter.Options()) listed |= name == "exception";
    EXPECT_TRUE(listed);
}
