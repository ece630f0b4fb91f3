#include <gtest/gtest.h>

#include "common/driver_support.h"
#include "hostemu/host_emulator.h"

using namespace hostemu;

TEST(DriverLog, SilentWhileTheHostAsksToStop) {
    Host host;
    Device& device = host.AddDevice("d", "VKT7");
    DriverLog(device.handle(), "one\n");
    device.breakFlag = true;
    DriverLog(device.handle(), "dropped");
    device.breakFlag = false;
    DriverLog(nullptr, "nowhere");
    Node& sub = device.AddSubdevice("s", "Archive");
    DriverLog(sub.handle(), "to the subdevice");
    EXPECT_EQ(device.LogLines(), (std::vector<std::string>{"one\n", "to the subdevice"}));
    EXPECT_EQ(sub.log, (std::vector<std::string>{"to the subdevice"}));

    EXPECT_FALSE(IsBreakSet(nullptr));
    EXPECT_FALSE(IsBreakSet(device.handle()));
    device.breakFlag = true;
    EXPECT_TRUE(IsBreakSet(device.handle()));
}

TEST(ExchangeWithDevice, NeverReachesTheChannelWhenItMustNot) {
    Host host;
    Device& device = host.AddDevice("d", "VKT7");
    int calls = 0;
    const uint8_t tx[3] = {1, 2, 3};
    uint8_t rx[8] = {};

    // No channel function.
    EXPECT_EQ(ExchangeWithDevice(device.handle(), tx, 3, rx, 8), -1);

    device.channel = [&](std::span<const uint8_t> out, std::span<uint8_t> in) {
        ++calls;
        EXPECT_EQ(out.size(), 3u);
        EXPECT_EQ(in.size(), 8u);
        in[0] = 0xAA;
        in[1] = 0xBB;
        return 2;
    };
    EXPECT_EQ(ExchangeWithDevice(nullptr, tx, 3, rx, 8), -1);
    device.breakFlag = true;
    EXPECT_EQ(ExchangeWithDevice(device.handle(), tx, 3, rx, 8), -1);
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(device.EventsOf(EventKind::Exchange).empty());

    device.breakFlag = false;
    EXPECT_EQ(ExchangeWithDevice(device.handle(), tx, 3, rx, 8), 2);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(rx[0], 0xAA);
    auto exchanges = device.EventsOf(EventKind::Exchange);
    ASSERT_EQ(exchanges.size(), 1u);
    EXPECT_EQ(exchanges[0]->tx, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(exchanges[0]->rx, (std::vector<uint8_t>{0xAA, 0xBB}));

    // Silence and channel failures come back unchanged.
    device.channel = [](std::span<const uint8_t>, std::span<uint8_t>) { return -5; };
    EXPECT_EQ(ExchangeWithDevice(device.handle(), tx, 3, rx, 8), -5);
    device.channel = [](std::span<const uint8_t>, std::span<uint8_t>) { return 0; };
    EXPECT_EQ(ExchangeWithDevice(device.handle(), nullptr, 0, rx, 8), 0);
}
