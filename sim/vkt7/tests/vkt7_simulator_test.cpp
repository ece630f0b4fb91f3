// The VKT-7 simulator's own checks of requests, its archive span and data, and
// its fault knobs. What a driver sees of its answers is proven by the driver tests.
#include <gtest/gtest.h>

#include <tuple>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "vkt7/tests/vkt7_test_support.h"

using namespace vkt7test;
using sim::Vkt7Archive;
using sim::Vkt7Simulator;
namespace pt = boost::posix_time;

static Bytes Request(uint8_t address, uint8_t function, uint16_t reg, const Bytes& tail = {}) {
    Bytes f{0xFF, 0xFF, address, function, static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg & 0xFF), 0, 0};
    f.insert(f.end(), tail.begin(), tail.end());
    return WithCrc(f, 2);
}

static Bytes Exchange(Vkt7Simulator& meter, const Bytes& request) {
    Bytes rx(265);
    rx.resize(static_cast<size_t>(std::max(0, meter.Exchange(request, rx))));
    return rx;
}

class Vkt7Sim : public ::testing::Test {
protected:
    Vkt7Sim() { meter.clock().Set(At(2024, 3, 7, 12, 30)); }
    Vkt7Simulator meter;
    const Bytes software = Request(1, 0x03, 0x3FF9);
};


TEST_F(Vkt7Sim, IgnoresFramesItShouldNotAnswer) {
    Bytes badCrc = software, noPreamble = software;
    badCrc.back() ^= 1;
    noPreamble[0] = 0x00;
    EXPECT_TRUE(Exchange(meter, badCrc).empty());
    EXPECT_TRUE(Exchange(meter, noPreamble).empty());
    EXPECT_TRUE(Exchange(meter, Request(2, 0x03, 0x3FF9)).empty());  // another meter's address
    EXPECT_TRUE(Exchange(meter, Bytes{0xFF, 0xFF, 0x01}).empty());
    meter.SetAddress(2);
    EXPECT_EQ(Exchange(meter, Request(2, 0x03, 0x3FF9)).size(), 21u);
}

TEST_F(Vkt7Sim, ArchiveRecordsExistInsideTheSpanAndBeforeTheClock) {
    meter.SetArchiveSpan(48, 10, 3);
    const auto H = Vkt7Archive::Hour, D = Vkt7Archive::Day, M = Vkt7Archive::Month;
    const std::tuple<Vkt7Archive, pt::ptime, bool> records[] = {
        {H, At(2024, 3, 7, 11), true}, {H, At(2024, 3, 7, 12), false},  // not closed
        {H, At(2024, 3, 5, 12), true}, {H, At(2024, 3, 5, 11), false}, {D, At(2024, 3, 6), true},
        {D, At(2024, 3, 7), false}, {D, At(2024, 2, 25), false}, {M, At(2024, 2, 1), true},  // closed on 25.2
        {M, At(2024, 3, 1), false}, {M, At(2023, 12, 1), true}, {M, At(2023, 11, 1), false}};
    for (const auto& [type, t, exists] : records)
        EXPECT_EQ(meter.HasRecord(type, t), exists) << pt::to_simple_string(t);
    // A data read of a record outside the archive answers exception 3.
    Exchange(meter, Request(1, 0x10, 0x3FFD, {2, 0, 0}));
    Exchange(meter, Request(1, 0x10, 0x3FFF, {6, 0, 0, 0, 0x40, 2, 0}));
    Exchange(meter, Request(1, 0x10, 0x3FFB, {4, 7, 3, 24, 12}));
    EXPECT_EQ(Exchange(meter, Request(1, 0x03, 0x3FFE)), WithCrc({1, 0x83, 3, 0}));
}

TEST_F(Vkt7Sim, DataIsDeterministicAndPlausible) {
    Vkt7Simulator other;
    other.clock().Set(meter.clock().Now());
    for (Vkt7Archive type : {Vkt7Archive::Current, Vkt7Archive::Totals, Vkt7Archive::Hour})
        for (const auto& [e, size] : meter.ActiveList(type))
            EXPECT_EQ(meter.RawValue(type, e, At(2024, 3, 6, 5)), other.RawValue(type, e, At(2024, 3, 6, 5))) << int(e);
    const double t1 = meter.ExpectedValue(Vkt7Archive::Current, 0), t2 = meter.ExpectedValue(Vkt7Archive::Current, 1);
    EXPECT_TRUE(t1 >= 70.0 && t1 < 80.0 && t1 > t2) << t1 << " " << t2;  // supply and return temperatures
    EXPECT_NEAR(meter.ExpectedValue(Vkt7Archive::Current, 14), t1 - t2, 1e-9);
    EXPECT_EQ(meter.ExpectedValue(Vkt7Archive::Month, 17, At(2024, 2, 1)), 29 * 24.0);  // operating hours
    const double before = meter.ExpectedValue(Vkt7Archive::Totals, 12);
    meter.clock().Advance(pt::hours(10));
    EXPECT_GT(meter.ExpectedValue(Vkt7Archive::Totals, 12), before);  // totals grow with the clock
}

TEST_F(Vkt7Sim, ExceptionsOnChosenRegisters) {
    meter.SetException(0x3FF6, 3, 0x03, 1);
    EXPECT_EQ(Exchange(meter, Request(1, 0x03, 0x3FF6)), WithCrc({1, 0x83, 3, 0}));
    EXPECT_EQ(Exchange(meter, Request(1, 0x03, 0x3FF6)).size(), 17u);  // once only
    const Bytes date = Request(1, 0x10, 0x3FFB, {4, 1, 1, 24, 0});
    meter.SetException(0x3FFB, 4, 0x10);
    EXPECT_EQ(Exchange(meter, date), WithCrc({1, 0x90, 4, 0}));
    EXPECT_EQ(Exchange(meter, Request(1, 0x03, 0x3FFB)).size(), 13u);  // reads are not affected
    meter.SetException(0x3FFB, 0, 0x10);
    EXPECT_EQ(Exchange(meter, date).size(), 8u);
    EXPECT_EQ(Exchange(meter, Request(1, 0x03, 0x1234)), WithCrc({1, 0x83, 2, 0}));
    meter.ForgetList();
    EXPECT_EQ(Exchange(meter, Request(1, 0x03, 0x3FFE)), WithCrc({1, 0x83, 5, 0}));
}

// The other line faults are the base simulator's, tested with it.
TEST_F(Vkt7Sim, AWrongAddressComesInAWellFormedAnswer) {
    meter.faults().wrongAddress = true;
    const Bytes a = Exchange(meter, software);
    EXPECT_EQ(a[0], 2);
    EXPECT_TRUE(CheckCrc16(a.data(), a.size()));
}

TEST_F(Vkt7Sim, FaultKnobsByName) {
    std::string error;
    for (const auto& [name, value] : std::vector<std::pair<const char*, const char*>>{
             {"address", "7"}, {"exception", "read:0x3FF6:3"}, {"exception", "0x3FFE:5:2"},
             {"quality", "current:0:0x0C:5"}, {"ns", "hour:3:0x01"}, {"raw", "totals:3:FF FF FF FF"},
             {"no-archives", "true"}})
        EXPECT_TRUE(meter.SetOption(name, value, error)) << name << ": " << error;
    EXPECT_EQ(meter.address(), 7);
    EXPECT_EQ(meter.QualityOf(Vkt7Archive::Current, 0), std::make_pair(uint8_t{0x0C}, uint8_t{5}));
    EXPECT_EQ(meter.QualityOf(Vkt7Archive::Hour, 3), std::make_pair(uint8_t{0xC0}, uint8_t{1}));
    EXPECT_EQ(meter.ExpectedValue(Vkt7Archive::Totals, 3), -0.001);
    EXPECT_EQ(Exchange(meter, Request(7, 0x03, 0x3FF6)), WithCrc({7, 0x83, 3, 0}));
    for (const auto& [name, value] : std::vector<std::pair<const char*, const char*>>{
             {"address", "300"}, {"exception", "0x3FF6"}, {"quality", "sometimes:0:1"}, {"no-such-knob", "1"}})
        EXPECT_FALSE(meter.SetOption(name, value, error)) << name;
    EXPECT_NE(error.find("no-such-knob"), std::string::npos);
}
