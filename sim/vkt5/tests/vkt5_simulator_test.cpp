// The simulator's own request checks and option knobs; what it answers to good
// requests is proven by the driver's tests, which poll it.
#include <gtest/gtest.h>

#include "vkt5/tests/vkt5_test_support.h"

namespace {

// Sends the request (hex, CRC appended) and returns the whole answer in hex.
std::string Ask(sim::Vkt5Simulator& meter, std::string_view request) {
    auto frame = Hex(request);
    frame.resize(frame.size() + 2);
    std::vector<uint8_t> rx(1024);
    rx.resize(static_cast<size_t>(std::max(0, meter.Exchange(RepairCrc(frame), rx))));
    return ToHex(rx);
}

std::string Error(const char* frame) { return ToHex(RepairCrc(Hex(frame))); }

}  // namespace

TEST(Vkt5Simulator, RequestChecksRefusalsAndOptions) {
    sim::Vkt5Simulator meter;
    meter.clock().Set(At(7, 12));
    meter.SetArchiveSpan(boost::posix_time::hours(48));
    const std::vector<std::pair<const char*, const char*>> refused = {
        {"02 03 0E 00 00 01", nullptr},           // another meter's address: silence
        {"01 06 00 00 00 01", "01 86 01 00 00"},  // unknown function
        {"01 03 81 06 00 81", "01 83 02 00 00"},  // wrong array parameters
        {"01 04 03 00 00 06", "01 84 02 00 00"},  // no record selected yet
        {"01 10 0B 00 00 04 08 07 E8 00 03 00 07 00 0D", "01 90 02 00 00"},  // a record in the future
        {"01 10 0B 00 00 04 08 07 E8 00 03 00 05 00 0B", "01 90 02 00 00"}}; // older than the span
    for (const auto& [request, answer] : refused) EXPECT_EQ(Ask(meter, request), answer ? Error(answer) : "") << request;
    const char* write11 = "01 10 0B 00 00 04 08 07 E8 00 03 00 07 00 0B";
    meter.Refuse({sim::Vkt5Request::RecordTime, -1, -1, 1});
    EXPECT_EQ(Ask(meter, write11), Error("01 90 02 00 00"));
    EXPECT_EQ(Ask(meter, write11), "01 10 0B 00 00 04 C3 EE");  // refused once only
    std::string error;
    EXPECT_TRUE(meter.SetOption("refuse", "current:3", error));
    EXPECT_EQ(Ask(meter, "01 03 03 00 00 06"), Error("01 83 02 00 00"));
    EXPECT_EQ(Hex(Ask(meter, "01 03 01 06 00 30")).size(), 96u + 5);
    EXPECT_TRUE(meter.SetOption("refuse", "none", error));
    EXPECT_EQ(Hex(Ask(meter, "01 03 03 00 00 06")).size(), 24u + 5);
    EXPECT_TRUE(meter.SetOption("wrong-function", "true", error));
    EXPECT_EQ(Hex(Ask(meter, "01 03 0E 00 00 01"))[1], 0x04);
    for (auto [name, value] : {std::pair{"wrong-function", "false"}, {"address", "0x2C"}, {"firmware", "0x70"},
                               {"channels", "1,1,1,1,9,9,9,9,9"}, {"raw-clock", "2024,13,5,10,0"}})
        EXPECT_TRUE(meter.SetOption(name, value, error)) << name;
    EXPECT_EQ(std::make_tuple(meter.FirmwareClass(), meter.ChannelCount(1)), std::make_tuple(0, 4));
    EXPECT_EQ(Ask(meter, "2C 03 0B 00 00 00"), Error("2C 03 0A 07 E8 00 0D 00 05 00 0A 00 00 00 00"));
    for (auto [name, value] : {std::pair{"address", "256"}, {"firmware", "x"}, {"channels", "1,2"}, {"raw-clock", "2024,1"},
                               {"refuse", "everything"}, {"refuse", "current:x"}, {"wrong-function", "maybe"}, {"no-such", "1"}}) {
        error.clear();
        EXPECT_FALSE(meter.SetOption(name, value, error) || error.empty()) << name << "=" << value;
    }
}
