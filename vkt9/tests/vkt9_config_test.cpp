#include <gtest/gtest.h>

#include "common/quality.h"
#include "vkt9/tests/vkt9_test_support.h"

using namespace vkt9test;
using namespace DriverVKT9;

namespace {

TEST(Vkt9Config, ModbusNotationAndDeviceAddress) {
    struct Case { int32_t configured, functionBefore, function, reg; };
    for (const Case c : {Case{40010, 0, 3, 9}, Case{30001, 0, 4, 0}, Case{12, 0, 0, 12}, Case{30000, 0, 4, -1},
                         Case{40000, -1, 3, -1}, Case{49999, 0, 3, 9998}, Case{50000, -1, -1, 50000}}) {
        int32_t function = c.functionBefore, reg = 0;
        ConvertRegister(c.configured, function, reg);
        EXPECT_EQ(std::pair(function, reg), std::pair(c.function, c.reg)) << c.configured;
    }
    // A device without subdevices: no values, no archives, no control tag bound.
    for (const auto& [text, address] : {std::pair<const char*, int>{nullptr, 255}, {"17", 17}, {"300", 44}, {"abc", 255}, {"", 255}}) {
        HostFixture fx;
        fx.device.properties = {};
        if (text) fx.device.properties.Set("address", text);
        fx.device.AddTag("Available");
        const Device* d = fx.Init();
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->protocol.address, address);
        EXPECT_EQ(d->availableTag, nullptr);
        EXPECT_TRUE(fx.device.EventsOf(EventKind::Publish).empty());
        Lines expected{"init, version 1.0", "No tags"};
        if (address == 255) expected.insert(expected.begin() + 1, "ERROR: address is not a number, 255 is used");
        EXPECT_EQ(fx.Logs(), expected);
    }
}

TEST(Vkt9Config, RequestBlocksMergeByGapAndNeverShrink) {
    using V = std::vector<std::vector<int32_t>>;
    auto blocks = [](std::vector<RequestItem> items, int32_t gap) {
        V out;
        for (const RequestBlock& b : BuildRequestBlocks(items, gap)) out.push_back({static_cast<int32_t>(b.function), b.start, b.count, b.gap});
        return out;
    };
    EXPECT_EQ(blocks({{3, 10, 2, 0}, {3, 13, 1, 0}}, 0), (V{{3, 10, 4, 0}}));
    EXPECT_EQ(blocks({{3, 10, 2, 0}, {3, 14, 1, 0}}, 0), (V{{3, 10, 2, 0}, {3, 14, 1, 0}}));
    EXPECT_EQ(blocks({{3, 10, 2, 0}, {3, 20, 1, 0}}, 8), (V{{3, 10, 11, 8}}));
    EXPECT_EQ(blocks({{3, 10, 4, 0}, {3, 11, 1, 0}}, 0), (V{{3, 10, 4, 0}})) << "a status inside a value";
    EXPECT_EQ(blocks({{3, 10, 1, 0}, {4, 11, 1, 0}}, 5), (V{{3, 10, 1, 5}, {4, 11, 1, 5}}));
    EXPECT_EQ(blocks({{3, 10, 1, 1}, {3, 11, 1, 1}, {3, 12, 1, 0}, {3, 13, 1, 0}}, 0), (V{{3, 10, 2, 0}, {3, 12, 2, 0}}));
    EXPECT_EQ(blocks({{3, 10, 1, 0}, {3, 10, 2, 0}}, 0), (V{{3, 10, 1, 0}, {3, 10, 2, 0}}));
    EXPECT_EQ(blocks({{0, 0, 1, 0}, {0, 40000, 1, 0}}, 50000), (V{{0, 0, 1, 50000}, {0, 40000, 1, 50000}}))
        << "no answer may outgrow the receive buffer";
}

TEST(Vkt9Config, ValueTagsAreValidatedSortedAndTakenOutOfService) {
    HostFixture fx;
    fx.device.AddTag("Available");
    fx.device.properties.Set("GetQuality", "false");
    auto& values = fx.device.AddSubdevice("values", "Current");
    auto& holding = values.AddTag("b", {{"Address", "40011"}, {"DataType", "0"}, {"RegStatus", "40001"}});
    auto& input = values.AddTag("a", {{"Address", "30001"}, {"DataType", "4"}});
    values.AddTag("noType", {{"Address", "40001"}});
    values.AddTag("noAddress", {{"DataType", "1"}});
    values.AddTag("type5", {{"Address", "40003"}, {"DataType", "5"}});
    auto& plain = values.AddTag("c", {{"Address", "12"}, {"DataType", "6"}, {"Koeff", "10"}});
    fx.device.AddSubdevice("second", "Current");
    const Device* d = fx.Init();
    ASSERT_NE(d, nullptr);
    const auto& items = d->protocol.valueItems;
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ((std::vector<void*>{items[0].tag, items[1].tag, items[2].tag}), (std::vector<void*>{&plain, &holding, &input}));
    EXPECT_EQ(items[1].RegStatus, -1) << "GetQuality false";
    EXPECT_EQ(items[0].Koeff, 10.0f);
    ASSERT_EQ(d->protocol.requestBlocks.size(), 3u);
    EXPECT_EQ(d->protocol.requestBlocks[2].count, 4);
    EXPECT_EQ(fx.Logs(), (Lines{"init, version 1.0", "Error reading tag: unknown DataType"}));
    for (auto* tag : {&plain, &holding, &input}) EXPECT_EQ(tag->quality, QualityOutOfService);
    EXPECT_EQ(d->availableTag, fx.device.FindTag("Available"));
    EXPECT_EQ(d->unschedulerTag, nullptr);
    EXPECT_EQ(fx.device.EventsOf(EventKind::Publish).size(), 2u) << "the control tag once per subdevice";
}

TEST(Vkt9Config, ArchiveSubdevicesAndTheirTags) {
    HostFixture fx;
    auto add = [&](const char* type, const char* length, const char* reg) -> hostemu::Node& {
        auto& node = fx.device.AddSubdevice("", std::string("Archive") + type);
        node.properties = {{"TypeArchive", type}, {"LengthByteAnswer", length}, {"LastIndexRegister", reg}};
        return node;
    };
    auto& hour = add("0", "24", "40101");
    hour.AddTag("late", {{"AddressByte", "8"}, {"DataType", "3"}, {"Koeff", "1"}});
    hour.AddTag("early", {{"AddressByte", "4"}, {"DataType", "0"}, {"Koeff", "1"}});
    hour.AddTag("noKoeff", {{"AddressByte", "12"}, {"DataType", "2"}});
    hour.AddTag("type7", {{"AddressByte", "12"}, {"DataType", "7"}, {"Koeff", "1"}});
    add("1", "24", "12");
    add("1", "65527", "30001");
    for (int i = 0; i < 20; ++i) add("1", "24", "40111");
    const Device* d = fx.Init();
    ASSERT_NE(d, nullptr);
    const auto& archives = d->protocol.archives;
    ASSERT_EQ(archives.size(), 20u);
    EXPECT_EQ(archives[0].function, FunctionHolding);
    EXPECT_EQ(archives[0].register_, 100);
    ASSERT_EQ(archives[0].values.size(), 2u);
    EXPECT_EQ(archives[0].values[0].AddressByte, 4);
    EXPECT_EQ(archives[19].ordinal, 19);
    EXPECT_EQ(fx.Logs(), (Lines{"init, version 1.0", "Error reading archive tag", "Error reading archive tag: unknown DataType",
                                "Error reading archive subdevice", "Error reading archive subdevice: LengthByteAnswer out of range",
                                "Error reading archive subdevice: more than 20 archives", "No tags"}));
}

}  // namespace
