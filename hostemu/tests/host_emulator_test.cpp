// The emulator is what every driver test trusts, so its host operations are
// checked against the behaviour the plugin may rely on.
#include <gtest/gtest.h>

#include <cstring>

#include "hostemu/host_emulator.h"

using namespace hostemu;

TEST(HostEmulatorConfiguration, PropertiesAreExactTypedAndDefaulted) {
    Host host;
    Device& device = host.AddDevice("d", "VKT9New");
    device.properties.Set("address", 17).Set("flag", "true").Set("ratio", 2.5).Set("text", "abc").Set("bad", "12x");
    ParamsHandle p = HostGetDeviceParams(device.handle());
    EXPECT_EQ(HostParamGetInt(p, "address", -1), 17);
    EXPECT_EQ(HostParamGetInt(p, "Address", -1), -1);  // names are case-sensitive
    EXPECT_EQ(HostParamGetInt(p, "bad", -1), -1);
    EXPECT_EQ(HostParamGetBool(p, "flag", 0), 1);
    EXPECT_EQ(HostParamGetBool(p, "missing", 1), 1);
    EXPECT_DOUBLE_EQ(HostParamGetFloat(p, "ratio", 0), 2.5);
    EXPECT_STREQ(HostParamGetString(p, "text", "def"), "abc");
    EXPECT_STREQ(HostParamGetString(p, "missing", "def"), "def");
    EXPECT_EQ(HostParamGetString(p, "missing", nullptr), nullptr);
    EXPECT_STREQ(HostGetDeviceType(device.handle()), "VKT9New");

    Node& sub = device.AddSubdevice("s", "Archive hours");
    sub.properties.Set("TypeArchive", 0);
    sub.AddTag("v", Properties{{"Register", "30001"}});
    EXPECT_STREQ(HostGetDeviceType(sub.handle()), "Archive hours");
    EXPECT_EQ(HostParamGetInt(HostGetSubdeviceParams(sub.handle()), "TypeArchive", -1), 0);
    EXPECT_EQ(HostParamGetInt(HostGetTagParams(sub.handle(), 0), "Register", -1), 30001);
    EXPECT_EQ(HostGetTagParams(sub.handle(), 1), nullptr);
}

TEST(HostEmulatorConfiguration, TreeNavigation) {
    Host host;
    Device& device = host.AddDevice("d", "");
    device.AddTag("Available");
    device.AddTag("Failure");
    Node& group = device.AddGroup("1");
    group.AddTag("g0");
    device.AddSubdevice("s0", "x");
    EXPECT_EQ(HostGetTagCount(device.handle()), 2);
    EXPECT_EQ(HostGetTagTotal(device.handle()), 2);
    EXPECT_STREQ(HostGetTagName(HostGetTag(device.handle(), 1)), "Failure");
    EXPECT_EQ(HostFindGroup(device.handle(), "1"), group.handle());
    EXPECT_EQ(HostFindGroup(device.handle(), "2"), nullptr);
    EXPECT_EQ(HostFindGroup(device.handle(), "1 "), nullptr);
    EXPECT_EQ(HostGetGroupTagCount(group.handle()), 1);
    EXPECT_STREQ(HostGetTagName(HostGetGroupTag(group.handle(), 0)), "g0");
    EXPECT_EQ(HostGetSubdeviceCount(device.handle()), 1u);
    EXPECT_EQ(HostGetSubdevice(device.handle(), 0), device.subdevices[0]->handle());

    // Out-of-range indexes give null and are recorded as the plugin's mistake.
    EXPECT_EQ(HostGetTag(device.handle(), 2), nullptr);
    EXPECT_EQ(HostGetSubdevice(device.handle(), 1), nullptr);
    EXPECT_EQ(device.EventsOf(EventKind::HostError).size(), 2u);
}

TEST(HostEmulatorData, AllocationsAreZeroFilledOwnedAndFreedOnce) {
    Host host;
    Device& device = host.AddDevice("d", "");
    auto* block = static_cast<uint8_t*>(HostAlloc(device.handle(), 547));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 547; ++i) ASSERT_EQ(block[i], 0) << i;
    EXPECT_EQ(HostGetDeviceData(device.handle()), nullptr);
    HostSetDeviceData(device.handle(), block);
    EXPECT_EQ(HostGetDeviceData(device.handle()), block);
    Tag& tag = device.AddTag("t");
    EXPECT_EQ(HostGetTagData(&tag), nullptr);
    HostSetTagData(&tag, block);
    EXPECT_EQ(HostGetTagData(&tag), block);

    EXPECT_TRUE(device.IsLive(block));
    HostFree(device.handle(), block);
    EXPECT_FALSE(device.IsLive(block));
    EXPECT_TRUE(device.EventsOf(EventKind::HostError).empty());
    HostFree(device.handle(), block);  // twice
    int local = 0;
    HostFree(device.handle(), &local);  // never allocated
    EXPECT_EQ(device.EventsOf(EventKind::HostError).size(), 2u);
}

TEST(HostEmulatorRequests, WriteListHoldsForOneCallAndValuesAreIntegers) {
    Host host;
    Device& device = host.AddDevice("d", "");
    Tag& available = device.AddTag("Available");
    Tag& other = device.AddTag("UnschedulerRequest");
    device.QueueWrite(available, 2);
    device.QueueWrite(other, 1);
    device.QueueWrite(available, 0);  // the later write replaces the pending value
    device.SweepWrites();
    ASSERT_EQ(HostGetWriteCount(device.handle()), 2);
    EXPECT_EQ(HostGetWriteValueBool(&available), 0);
    HostCompleteWrite(&available);
    // Within the same call the list does not shift.
    ASSERT_EQ(HostGetWriteCount(device.handle()), 2);
    EXPECT_EQ(HostGetWriteTag(device.handle(), 1), &other);
    device.SweepWrites();  // next call
    ASSERT_EQ(HostGetWriteCount(device.handle()), 1);
    EXPECT_EQ(HostGetWriteTag(device.handle(), 0), &other);
    EXPECT_EQ(HostGetWriteValueBool(&other), 1);

    device.readList = {&available};
    EXPECT_EQ(HostGetReadCount(device.handle()), 1);
    EXPECT_EQ(HostGetReadTag(device.handle(), 0), &available);
    EXPECT_EQ(HostGetReadTag(device.handle(), 1), nullptr);

    device.AddSubdevice("s", "x").readDue = false;
    EXPECT_EQ(HostIsReadDue(device.handle()), 1);
    EXPECT_EQ(HostIsReadDue(device.subdevices[0]->handle()), 0);
    HostRequestPoll(device.handle(), 0);
    EXPECT_EQ(device.EventsOf(EventKind::RequestPoll).size(), 1u);
}

TEST(HostEmulatorChannel, ExchangeNotifyAndBreak) {
    Host host;
    Device& device = host.AddDevice("d", "");
    EXPECT_EQ(HostGetExchange(device.handle()), nullptr);
    device.channel = [](std::span<const uint8_t> tx, std::span<uint8_t> rx) {
        std::memcpy(rx.data(), tx.data(), std::min(tx.size(), rx.size()));
        return static_cast<int32_t>(tx.size() + 10);  // claims more than fits
    };
    HostExchangeFn exchange = HostGetExchange(device.handle());
    ASSERT_NE(exchange, nullptr);
    const uint8_t tx[4] = {1, 2, 3, 4};
    uint8_t rx[4] = {};
    EXPECT_EQ(exchange(device.handle(), tx, 4, rx, 4), 4);  // never more than the receive limit
    EXPECT_EQ(exchange(device.handle(), tx, -1, rx, 4), -1);
    EXPECT_EQ(device.EventsOf(EventKind::HostError).size(), 1u);

    HostNotifyFn notify = HostGetNotify(device.handle());
    ASSERT_NE(notify, nullptr);
    Tag& tag = device.AddTag("t");
    notify(device.handle(), &tag);
    EXPECT_EQ(device.EventsOf(EventKind::Notify).size(), 1u);
    device.notifyEnabled = false;
    EXPECT_EQ(HostGetNotify(device.handle()), nullptr);

    EXPECT_EQ(HostIsBreakSet(device.handle()), 0);
    device.breakFlag = true;
    EXPECT_EQ(HostIsBreakSet(device.handle()), 1);
    EXPECT_EQ(HostCreate(nullptr), 0);
}

TEST(HostEmulatorRecord, PublicationsKeepValueQualityAndStamp) {
    Host host;
    Device& device = host.AddDevice("d", "");
    Tag& tag = device.AddTag("t");
    std::vector<EventKind> seen;
    host.observer = [&](const Device&, const Event& e) { seen.push_back(e.kind); };
    FILETIME stamp{5, 1};
    HostSetTagValueWord(&tag, 65535, 192, &stamp);
    EXPECT_EQ(tag.value.kind, ValueKind::Word);
    EXPECT_EQ(tag.value.number, 65535);
    EXPECT_EQ(tag.time, (uint64_t{1} << 32) | 5);
    HostSetTagValueUInt(&tag, 4000000000u, 16, nullptr);
    EXPECT_EQ(tag.value.number, 4000000000.0);
    EXPECT_FALSE(tag.time.has_value());
    HostSetTagValueFloat(&tag, 0.5f, 0, nullptr);
    HostSetTagValueText(&tag, "x", 192, nullptr);
    EXPECT_EQ(tag.value.text, "x");
    TagHandle tags[1] = {&tag};
    HostCommitTags(device.handle(), tags, 1);
    HostStoreHistory(device.handle(), &tag);
    HostLog(device.handle(), "line\n");
    EXPECT_EQ(seen, (std::vector<EventKind>{EventKind::Publish, EventKind::Publish, EventKind::Publish,
                                            EventKind::Publish, EventKind::Commit, EventKind::StoreHistory,
                                            EventKind::Log}));
    device.recordEvents = false;
    HostLog(device.handle(), "not kept");
    EXPECT_EQ(device.events.size(), seen.size() - 1);
    EXPECT_EQ(QualityName(192), "good");
    EXPECT_EQ(QualityName(28), "bad: out of service");
}
