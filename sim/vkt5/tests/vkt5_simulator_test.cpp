#include <gtest/gtest.h>

#include "sim/vkt5/vkt5_simulator.h"
#include "vkt5/tests/vkt5_test_support.h"

namespace pt = boost::posix_time;

namespace {

// Sends the request (hex, CRC appended) and returns the whole answer in hex.
std::string Ask(sim::Vkt5Simulator& meter, std::string_view request) {
    auto frame = Hex(request);
    frame.resize(frame.size() + 2);
    frame = RepairCrc(frame);
    std::vector<uint8_t> rx(1024);
    const int32_t n = meter.Exchange(frame, rx);
    rx.resize(static_cast<size_t>(std::max(0, n)));
    return ToHex(rx);
}

// The answer without address, function, count byte and CRC.
std::vector<uint8_t> DataOf(const std::string& answer) {
    auto bytes = Hex(answer);
    return bytes.size() < 5 ? std::vector<uint8_t>{} : std::vector<uint8_t>(bytes.begin() + 3, bytes.end() - 2);
}

const pt::ptime kNoon(boost::gregorian::date(2024, 3, 7), pt::hours(12));

}  // namespace

TEST(Vkt5Simulator, SettingsClockAndArrays) {
    sim::Vkt5Simulator meter;
    EXPECT_EQ(Ask(meter, "01 03 0E 00 00 01"), "01 03 02 00 61 79 AC");
    EXPECT_EQ(Ask(meter, "02 03 0E 00 00 01"), "");  // another meter's address
    EXPECT_EQ(Ask(meter, "01 06 00 00 00 01"), ToHex(RepairCrc(Hex("01 86 01 00 00"))));  // unknown function
    const auto table = DataOf(Ask(meter, "01 03 0A 00 00 1C"));
    ASSERT_EQ(table.size(), 60u);
    EXPECT_EQ(table[0], 0);
    EXPECT_EQ(table[35], 2);
    EXPECT_EQ(table[59], 2);  // report type
    meter.SetFirmware(0x06);
    EXPECT_EQ(DataOf(Ask(meter, "01 03 0A 00 00 1C")).size(), 59u);
    EXPECT_EQ(DataOf(Ask(meter, "01 03 00 00 00 00")).size(), 16u + 3 * 12);  // 6.0: three channels in heat 0
    meter.SetFirmware(0x61);
    EXPECT_EQ(DataOf(Ask(meter, "01 03 0B 00 00 00")), Hex("07 E8 00 03 00 07 00 0C 00 00"));
    // Array 0 of heat 1 (two channels), then its data as set.
    meter.SetCurrentData(false, 0, 1, std::vector<uint8_t>(20, 0x42));
    const auto array0 = DataOf(Ask(meter, "01 03 00 1C 00 00"));
    ASSERT_EQ(array0.size(), 2u * 12 + 20);
    EXPECT_EQ(std::vector<uint8_t>(array0.begin() + 24, array0.end()), std::vector<uint8_t>(20, 0x42));
    EXPECT_EQ(DataOf(Ask(meter, "01 03 81 06 00 80")), meter.CurrentData(true, 1, 0));
    EXPECT_EQ(Ask(meter, "01 03 81 06 00 81"), ToHex(RepairCrc(Hex("01 83 02 00 00"))));  // wrong parameters
    EXPECT_EQ(Ask(meter, "01 03 02 00 00 00"), "01 03 00 20 F0");
}

TEST(Vkt5Simulator, RecordTimeSelectsArchiveRecords) {
    sim::Vkt5Simulator meter;
    meter.clock().Set(kNoon);
    meter.SetArchiveSpan(pt::hours(48));
    const std::string refused = ToHex(RepairCrc(Hex("01 90 02 00 00")));
    EXPECT_EQ(Ask(meter, "01 04 03 00 00 06"), ToHex(RepairCrc(Hex("01 84 02 00 00"))));  // nothing selected yet
    EXPECT_EQ(Ask(meter, "01 10 0B 00 00 04 08 07 E8 00 03 00 07 00 0B"), "01 10 0B 00 00 04 C3 EE");
    EXPECT_EQ(DataOf(Ask(meter, "01 04 03 00 00 06")), meter.ArchiveData(false, 3, 0, kNoon - pt::hours(1)));
    EXPECT_NE(meter.ArchiveData(false, 3, 0, kNoon - pt::hours(1)), meter.ArchiveData(false, 3, 0, kNoon));
    // Array 4 of heat 1 carries the report block with report type 2 on firmware 6.1.
    EXPECT_EQ(DataOf(Ask(meter, "01 04 04 01 00 0B")).size(), 6u + 2 * 18 + 12);
    EXPECT_EQ(Ask(meter, "01 10 0B 00 00 04 08 07 E8 00 03 00 07 00 0D"), refused);  // future
    EXPECT_EQ(Ask(meter, "01 10 0B 00 00 04 08 07 E8 00 03 00 05 00 0B"), refused);  // older than the span
    EXPECT_EQ(meter.recordTimesWritten().size(), 3u);
}

TEST(Vkt5Simulator, RefusalsFaultsAndOptions) {
    sim::Vkt5Simulator meter;
    std::string error;
    EXPECT_TRUE(meter.SetOption("refuse", "current:3", error));
    EXPECT_EQ(Ask(meter, "01 03 03 00 00 06"), ToHex(RepairCrc(Hex("01 83 02 00 00"))));
    EXPECT_EQ(DataOf(Ask(meter, "01 03 01 06 00 30")).size(), 96u);
    meter.Refuse({sim::Vkt5Request::RecordTime, -1, -1, 1});
    const std::string write = "01 10 0B 00 00 04 08 07 E8 00 03 00 07 00 0B";
    EXPECT_EQ(Ask(meter, write), ToHex(RepairCrc(Hex("01 90 02 00 00"))));
    EXPECT_EQ(Ask(meter, write), "01 10 0B 00 00 04 C3 EE");  // refused once only
    EXPECT_TRUE(meter.SetOption("refuse", "none", error));
    EXPECT_EQ(DataOf(Ask(meter, "01 03 03 00 00 06")).size(), 24u);
    EXPECT_TRUE(meter.SetOption("wrong-function", "true", error));
    EXPECT_EQ(Hex(Ask(meter, "01 03 0E 00 00 01"))[1], 0x04);
    EXPECT_TRUE(meter.SetOption("wrong-function", "false", error));
    EXPECT_TRUE(meter.SetOption("address", "0x2C", error));
    EXPECT_TRUE(meter.SetOption("firmware", "0x70", error));
    EXPECT_TRUE(meter.SetOption("channels", "1,1,1,1,9,9,9,9,9", error));
    EXPECT_TRUE(meter.SetOption("raw-clock", "2024,13,5,10,0", error));
    EXPECT_EQ(meter.FirmwareClass(), 0);
    EXPECT_EQ(meter.ChannelCount(1), 4);
    EXPECT_EQ(DataOf(Ask(meter, "2C 03 0B 00 00 00")), Hex("07 E8 00 0D 00 05 00 0A 00 00"));
    for (const auto& [name, value] : std::vector<std::pair<const char*, const char*>>{
             {"address", "256"}, {"firmware", "x"}, {"channels", "1,2"}, {"raw-clock", "2024,1"},
             {"refuse", "everything"}, {"refuse", "current:x"}, {"wrong-function", "maybe"}, {"no-such", "1"}}) {
        error.clear();
        EXPECT_FALSE(meter.SetOption(name, value, error)) << name << "=" << value;
        EXPECT_FALSE(error.empty());
    }
    EXPECT_EQ(meter.Options().size(), 17u);
}
