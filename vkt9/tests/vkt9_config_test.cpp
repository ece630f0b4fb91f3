#include <gtest/gtest.h>

#include "common/quality.h"
#include "vkt9/tests/vkt9_test_support.h"

using namespace vkt9test;
using namespace DriverVKT9;
using hostemu::EventKind;
using hostemu::Properties;
using Lines = std::vector<std::string>;

namespace {

TEST(Vkt9Config, ModbusNotationAndDeviceAddress) {
    struct Case { int32_t configured, functionBefore, function, reg; };
    for (const Case c : {Case{40010, 0, 3, 9}, Case{30001, 0, 4, 0}, Case{12, 0, 0, 12}, Case{30000, 0, 4, -1},
                         Case{40000, -1, 3, -1}, Case{49999, 0, 3, 9998}, Case{50000, -1, -1, 50000}}) {
        int32_t function = c.functionBefore, reg = 0;
        ConvertRegister(c.configured, function, reg);
        EXPECT_EQ(function, c.function) << c.configured;
        EXPECT_EQ(reg, c.reg) << c.configured;
    }
    struct AddressCase { const char* text; uint8_t address; bool logged; };
    for (const AddressCase c : {AddressCase{nullptr, 255, false}, AddressCase{"17", 17, false},
                                AddressCase{"300", 44, false}, AddressCase{"abc", 255, true}, AddressCase{"", 255, true}}) {
        HostFixture fx;
        if (c.text) fx.device.properties.Set("address", c.text);
        const Device* d = fx.Init();
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->protocol.address, c.address);
        Lines expected{"init, version 1.0", "No tags"};
        if (c.logged) expected.insert(expected.begin() + 1, "ERROR: address is not a number, 255 is used");
        EXPECT_EQ(fx.Logs(), expected);
    }
}

TEST(Vkt9Config, RequestBlocksMergeByGapAndCloseOnlyOnJoiningItems) {
    auto blocks = [](std::vector<RequestItem> items, int32_t gap) {
        std::vector<std::vector<int32_t>> out;
        for (const RequestBlock& b : BuildRequestBlocks(items, gap))
            out.push_back({static_cast<int32_t>(b.function), b.start, b.count, b.gap});
        return out;
    };
    using V = std::vector<std::vector<int32_t>>;
    EXPECT_EQ(blocks({{3, 10, 2, 0}, {3, 13, 1, 0}}, 0), (V{{3, 10, 4, 0}}));
    EXPECT_EQ(blocks({{3, 10, 2, 0}, {3, 14, 1, 0}}, 0), (V{{3, 10, 2, 0}, {3, 14, 1, 0}}));
    EXPECT_EQ(blocks({{3, 10, 2, 0}, {3, 20, 1, 0}}, 8), (V{{3, 10, 11, 8}}));
    // A status register inside a 4-register value keeps the value whole.
    EXPECT_EQ(blocks({{3, 10, 4, 0}, {3, 11, 1, 0}}, 0), (V{{3, 10, 4, 0}}));
    EXPECT_EQ(blocks({{3, 10, 1, 0}, {4, 11, 1, 0}}, 5), (V{{3, 10, 1, 5}, {4, 11, 1, 5}}));
    // LastInRequest closes only a block the item joined.
    EXPECT_EQ(blocks({{3, 10, 1, 1}, {3, 11, 1, 1}, {3, 12, 1, 0}, {3, 13, 1, 0}}, 0),
              (V{{3, 10, 2, 0}, {3, 12, 2, 0}}));
    EXPECT_EQ(blocks({{3, 10, 1, 0}, {3, 10, 2, 0}}, 0), (V{{3, 10, 1, 0}, {3, 10, 2, 0}}));
    // No answer may outgrow the receive buffer.
    EXPECT_EQ(blocks({{0, 0, 1, 0}, {0, 40000, 1, 0}}, 50000), (V{{0, 0, 1, 50000}, {0, 40000, 1, 50000}}));
    EXPECT_TRUE(blocks({}, 0).empty());
}

TEST(Vkt9Config, ValueTagsAreValidatedSortedAndTakenOutOfService) {
    HostFixture fx;
    fx.device.AddTag("Available");
    fx.device.AddTag("Failure");
    fx.device.AddTag("Other");
    fx.device.properties.Set("GetQuality", "false");
    auto& values = fx.device.AddSubdevice("values", "Current");
    auto& noStatus = values.AddTag("b", Properties{{"Address", "40011"}, {"DataType", "0"}, {"RegStatus", "40001"}});
    auto& input = values.AddTag("a", Properties{{"Address", "30001"}, {"DataType", "4"}});
    values.AddTag("noType", Properties{{"Address", "40001"}});
    values.AddTag("noAddress", Properties{{"DataType", "1"}});
    values.AddTag("type5", Properties{{"Address", "40003"}, {"DataType", "5"}});
    auto& plain = values.AddTag("c", Properties{{"Address", "12"}, {"DataType", "6"}, {"Koeff", "10"}});
    fx.device.AddSubdevice("second", "Current");
    const Device* d = fx.Init();
    ASSERT_NE(d, nullptr);
    const Protocol& p = d->protocol;
    ASSERT_EQ(p.valueItems.size(), 3u);
    EXPECT_EQ(p.valueItems[0].tag, &plain);
    EXPECT_EQ(p.valueItems[1].tag, &noStatus);
    EXPECT_EQ(p.valueItems[1].RegStatus, -1) << "GetQuality false";
    EXPECT_EQ(p.valueItems[2].tag, &input);
    EXPECT_FLOAT_EQ(p.valueItems[0].Koeff, 10.0f);
    ASSERT_EQ(p.requestBlocks.size(), 3u);
    EXPECT_EQ(p.requestBlocks[2].count, 4);
    EXPECT_EQ(fx.Logs(), (Lines{"init, version 1.0", "Error reading tag: unknown DataType"}));
    for (auto* tag : {&plain, &noStatus, &input}) EXPECT_EQ(tag->quality, QualityOutOfService);
    EXPECT_EQ(d->availableTag, fx.device.FindTag("Available"));
    EXPECT_EQ(d->unschedulerTag, nullptr);
    EXPECT_EQ(fx.device.EventsOf(EventKind::Publish).size(), 4u) << "control tags once per subdevice";
    EXPECT_EQ(fx.device.FindTag("Failure")->value.number, 0);
}

TEST(Vkt9Config, ArchiveSubdevicesAndTheirTags) {
    HostFixture fx;
    fx.device.AddTag("Available");
    auto addArchive = [&](const std::string& type, Properties props) -> hostemu::Node& {
        auto& node = fx.device.AddSubdevice("archive", "Archive" + type);
        node.properties = props;
        return node;
    };
    auto& hour = addArchive("Hour", {{"TypeArchive", "0"}, {"LengthByteAnswer", "24"}, {"LastIndexRegister", "40101"}});
    hour.AddTag("late", Properties{{"AddressByte", "8"}, {"DataType", "3"}, {"Koeff", "1"}});
    hour.AddTag("early", Properties{{"AddressByte", "4"}, {"DataType", "0"}, {"Koeff", "1"}});
    hour.AddTag("noKoeff", Properties{{"AddressByte", "12"}, {"DataType", "2"}});
    hour.AddTag("type7", Properties{{"AddressByte", "12"}, {"DataType", "7"}, {"Koeff", "1"}});
    addArchive("Bad", {{"TypeArchive", "1"}, {"LengthByteAnswer", "24"}, {"LastIndexRegister", "12"}});
    addArchive("Huge", {{"TypeArchive", "1"}, {"LengthByteAnswer", "65527"}, {"LastIndexRegister", "30001"}});
    addArchive("Seven", {{"TypeArchive", "7"}, {"LengthByteAnswer", "24"}, {"LastIndexRegister", "30001"}});
    for (int i = 0; i < 19; ++i)
        addArchive("Day", {{"TypeArchive", "1"}, {"LengthByteAnswer", "24"}, {"LastIndexRegister", "40111"}});
    const Device* d = fx.Init();
    ASSERT_NE(d, nullptr);
    const auto& archives = d->protocol.archives;
    ASSERT_EQ(archives.size(), 20u);
    EXPECT_EQ(archives[0].function, FunctionHolding);
    EXPECT_EQ(archives[0].register_, 100);
    ASSERT_EQ(archives[0].values.size(), 2u);
    EXPECT_EQ(archives[0].values[0].AddressByte, 4);
    EXPECT_EQ(archives[1].type, ArchiveTypeMonth);
    EXPECT_EQ(archives[1].ordinal, 1);
    EXPECT_EQ(archives[19].ordinal, 19);
    EXPECT_EQ(fx.Logs(), (Lines{"init, version 1.0", "Error reading archive tag", "Error reading archive tag: unknown DataType",
                                "Error reading archive subdevice",
                                "Error reading archive subdevice: LengthByteAnswer out of range",
                                "Error reading archive subdevice: more than 20 archives", "No tags"}));
    EXPECT_EQ(fx.device.EventsOf(EventKind::Publish).size(), 23u);
}

TEST(Vkt9Config, DeviceWithoutSubdevicesBindsNothing) {
    HostFixture fx;
    fx.device.AddTag("Available");
    const Device* d = fx.Init();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->availableTag, nullptr);
    EXPECT_TRUE(d->protocol.valueItems.empty());
    EXPECT_TRUE(fx.device.EventsOf(EventKind::Publish).empty());
    EXPECT_EQ(fx.Logs(), (Lines{"init, version 1.0", "No tags"}));
}

}  // namespace
