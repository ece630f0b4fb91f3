#include <gtest/gtest.h>

#include "sim/vkt5/vkt5_simulator.h"
#include "vkt5/tests/vkt5_test_support.h"

namespace pt = boost::posix_time;

namespace {

// Sends the request (hex, CRC appended) and returns the whole answer in hex.
std::string Ask(sim::Vkt5Simulator& meter, std::string_view request) {
    auto frame = Hex(request);
    frame.resize(frame.size() + 2);
    std::vector<uint8_t> rx(1024);
    rx.resize(static_cast<size_t>(std::max(0, meter.Exchange(RepairCrc(frame), rx))));
    return ToHex(rx);
}

size_t DataBytes(const std::string& answer) { return Hex(answer).size() - 5; }

std::string Error(const char* frame) { return ToHex(RepairCrc(Hex(frame))); }

const char* kWrite11 = "01 10 0B 00 00 04 08 07 E8 00 03 00 07 00 0B";  // 2024-03-07 11:00

}  // namespace

TEST(Vkt5Simulator, RecordTimeSelectsArchiveRecords) {
    sim::Vkt5Simulator meter;
    meter.clock().Set(pt::ptime(boost::gregorian::date(2024, 3, 7), pt::hours(12)));
    meter.SetArchiveSpan(pt::hours(48));
    EXPECT_EQ(Ask(meter, "01 04 03 00 00 06"), Error("01 84 02 00 00"));  // nothing selected yet
    EXPECT_EQ(Ask(meter, kWrite11), "01 10 0B 00 00 04 C3 EE");
    const pt::ptime at11(boost::gregorian::date(2024, 3, 7), pt::hours(11));
    EXPECT_EQ(Hex(Ask(meter, "01 04 03 00 00 06")), RepairCrc(Hex("01 04 18 " + ToHex(meter.ArchiveData(false, 3, 0, at11)) + " 00 00")));
    EXPECT_NE(meter.ArchiveData(false, 3, 0, at11), meter.ArchiveData(false, 3, 0, at11 + pt::hours(1)));
    EXPECT_EQ(DataBytes(Ask(meter, "01 04 04 01 00 0B")), 6u + 2 * 18 + 12);  // report block of report type 2
    EXPECT_EQ(Ask(meter, "01 10 0B 00 00 04 08 07 E8 00 03 00 07 00 0D"), Error("01 90 02 00 00"));  // future
    EXPECT_EQ(Ask(meter, "01 10 0B 00 00 04 08 07 E8 00 03 00 05 00 0B"), Error("01 90 02 00 00"));  // too old
    EXPECT_EQ(meter.recordTimesWritten().size(), 3u);
}

TEST(Vkt5Simulator, RefusalsFaultsAndOptions) {
    sim::Vkt5Simulator meter;
    EXPECT_EQ(Ask(meter, "02 03 0E 00 00 01"), "");  // another meter's address
    EXPECT_EQ(Ask(meter, "01 06 00 00 00 01"), Error("01 86 01 00 00"));
    EXPECT_EQ(Ask(meter, "01 03 81 06 00 81"), Error("01 83 02 00 00"));  // wrong array parameters
    std::string error;
    EXPECT_TRUE(meter.SetOption("refuse", "current:3", error));
    EXPECT_EQ(Ask(meter, "01 03 03 00 00 06"), Error("01 83 02 00 00"));
    EXPECT_EQ(DataBytes(Ask(meter, "01 03 01 06 00 30")), 96u);
    meter.Refuse({sim::Vkt5Request::RecordTime, -1, -1, 1});
    EXPECT_EQ(Ask(meter, kWrite11), Error("01 90 02 00 00"));
    EXPECT_EQ(Ask(meter, kWrite11), "01 10 0B 00 00 04 C3 EE");  // refused once only
    EXPECT_TRUE(meter.SetOption("refuse", "none", error));
    EXPECT_EQ(DataBytes(Ask(meter, "01 03 03 00 00 06")), 24u);
    EXPECT_TRUE(meter.SetOption("wrong-function", "true", error));
    EXPECT_EQ(Hex(Ask(meter, "01 03 0E 00 00 01"))[1], 0x04);
    for (auto [name, value] : {std::pair{"wrong-function", "false"}, {"address", "0x2C"}, {"firmware", "0x70"},
                               {"channels", "1,1,1,1,9,9,9,9,9"}, {"raw-clock", "2024,13,5,10,0"}})
        EXPECT_TRUE(meter.SetOption(name, value, error)) << name;
    EXPECT_EQ(std::make_tuple(meter.FirmwareClass(), meter.ChannelCount(1)), std::make_tuple(0, 4));
    EXPECT_EQ(Ask(meter, "2C 03 0B 00 00 00"), ToHex(RepairCrc(Hex("2C 03 0A 07 E8 00 0D 00 05 00 0A 00 00 00 00"))));
    for (auto [name, value] : {std::pair{"address", "256"}, {"firmware", "x"}, {"channels", "1,2"}, {"raw-clock", "2024,1"},
                               {"refuse", "everything"}, {"refuse", "current:x"}, {"wrong-function", "maybe"}, {"no-such", "1"}}) {
        error.clear();
        EXPECT_FALSE(meter.SetOption(name, value, error) || error.empty()) << name << "=" << value;
    }
}
