// The frame through its seam: fake drivers that write what they are asked to
// do into the device's log, so the emulator records the order of everything.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "hostemu/host_emulator.h"
#include "plugin/frame.h"

using namespace hostemu;

namespace {

// A fake driver named by Name that logs each call it gets.
template <const char* Name>
struct FakeDriver {
    static void Note(DeviceHandle d, const std::string& what) { HostLog(d, (std::string(Name) + what).c_str()); }
    static constexpr DriverOps Ops(DriverScheduling scheduling, bool subdevices) {
        return {scheduling,
                [](DeviceHandle d) { Note(d, " init"); },
                [](DeviceHandle d) { Note(d, " read"); },
                subdevices ? +[](DeviceHandle d, DeviceHandle node) { Note(d, " read " + static_cast<Node*>(node)->name); }
                           : nullptr,
                [](DeviceHandle d) { Note(d, " write"); },
                [](DeviceHandle d) { Note(d, " close"); }};
    }
};
constexpr char kNine[] = "vkt9", kFive[] = "vkt5", kSeven[] = "vkt7";
const DriverOps kVkt9 = FakeDriver<kNine>::Ops(DriverScheduling::DeviceAndSubdevices, true);
const DriverOps kVkt5 = FakeDriver<kFive>::Ops(DriverScheduling::DeviceAndSubdevices, true);
const DriverOps kVkt7 = FakeDriver<kSeven>::Ops(DriverScheduling::WholeDevice, false);
const DriverTable kDrivers{&kVkt9, &kVkt5, &kVkt7};

const DriverOps kThrowing{DriverScheduling::WholeDevice,
                          [](DeviceHandle) { throw std::runtime_error("init failed"); },
                          [](DeviceHandle) { throw 42; },
                          nullptr,
                          [](DeviceHandle) { throw std::bad_alloc(); },
                          [](DeviceHandle) { throw std::runtime_error("close failed"); }};
const DriverTable kThrowingDrivers{&kThrowing, &kThrowing, &kThrowing};

// Log lines and init brackets, in order, as one list of words.
std::vector<std::string> Trace(const Device& device) {
    std::vector<std::string> out;
    for (const auto& e : device.events) {
        if (e.kind == EventKind::Log) out.push_back(e.text);
        if (e.kind == EventKind::BeginInit) out.push_back("<begin>");
        if (e.kind == EventKind::EndInit) out.push_back("<end>");
    }
    return out;
}

std::string DriverName(const char* model) {
    const DriverOps* ops = SelectDriver(kDrivers, model);
    return ops == &kVkt9 ? "vkt9" : ops == &kVkt5 ? "vkt5" : ops == &kVkt7 ? "vkt7" : "none";
}

}  // namespace

TEST(FrameDispatch, ExactModelTextsChooseTheDriverAndEverythingElseIsVkt7) {
    EXPECT_EQ(DriverName("VKT9Old"), "vkt9");
    EXPECT_EQ(DriverName("VKT9New"), "vkt9");
    EXPECT_EQ(DriverName("VKT5"), "vkt5");
    for (const char* other : {"vkt5", "VKT5 ", "VKT-5", "", "VKT9", "vkt9new", "VKT7", " VKT5"})
        EXPECT_EQ(DriverName(other), "vkt7") << '"' << other << '"';
    EXPECT_EQ(DriverName(nullptr), "vkt7");

    // A driver that is not built in is skipped, not replaced by another.
    const DriverTable onlyVkt7{nullptr, nullptr, &kVkt7};
    EXPECT_EQ(SelectDriver(onlyVkt7, "VKT5"), nullptr);
}

TEST(FrameDispatch, EveryCallAsksForTheModelTextAgain) {
    Host host;
    Device& device = host.AddDevice("d", "VKT5");
    FrameInit(kDrivers, device.handle());
    device.type = "VKT9New";  // the configuration changed between calls
    FrameRead(kDrivers, device.handle());
    device.type = "anything";
    FrameWrite(kDrivers, device.handle());
    EXPECT_EQ(Trace(device), (std::vector<std::string>{"plugin :init", "<begin>", "vkt5 init", "<end>", "vkt9 read",
                                                       "vkt7 write"}));
}

TEST(FrameInit, LogsThenBracketsTheDriverInitForEveryModel) {
    for (const char* model : {"VKT9Old", "VKT5", "", "VKT7"}) {
        Host host;
        Device& device = host.AddDevice("d", model);
        EXPECT_EQ(FrameInit(kDrivers, device.handle()), 0);
        const std::string init = DriverName(model) + " init";
        EXPECT_EQ(Trace(device), (std::vector<std::string>{"plugin :init", "<begin>", init, "<end>"})) << model;
    }
    // Without a driver the brackets still close.
    Host host;
    Device& device = host.AddDevice("d", "VKT5");
    FrameInit(DriverTable{nullptr, nullptr, nullptr}, device.handle());
    EXPECT_EQ(Trace(device), (std::vector<std::string>{"plugin :init", "<begin>", "<end>"}));
}

TEST(FrameRead, DeviceAndSubdevicesAreReadWhenDueInIndexOrder) {
    for (const char* model : {"VKT9New", "VKT5"}) {
        const std::string name = DriverName(model);
        Host host;
        Device& device = host.AddDevice("d", model);
        device.AddSubdevice("s0", "Archive").readDue = true;
        device.AddSubdevice("s1", "Values").readDue = false;
        device.AddSubdevice("s2", "Archive").readDue = true;

        device.readDue = false;
        FrameRead(kDrivers, device.handle());
        EXPECT_EQ(Trace(device), (std::vector<std::string>{name + " read s0", name + " read s2"})) << model;

        device.ClearEvents();
        device.readDue = true;
        for (auto& sub : device.subdevices) sub->readDue = false;
        FrameRead(kDrivers, device.handle());
        EXPECT_EQ(Trace(device), (std::vector<std::string>{name + " read"})) << model;

        device.ClearEvents();
        device.subdevices[1]->readDue = true;
        FrameRead(kDrivers, device.handle());
        EXPECT_EQ(Trace(device), (std::vector<std::string>{name + " read", name + " read s1"})) << model;
    }
}

TEST(FrameRead, Vkt7MarksListedTagsWithoutRecordUncertainThenRunsTheCycle) {
    Host host;
    Device& device = host.AddDevice("d", "");
    Tag& bound = device.AddTag("Available");
    Tag& unbound = device.AddTag("Stray");
    Node& group = device.AddGroup("1");
    Tag& groupUnbound = group.AddTag("t1");
    uint8_t record[5] = {};
    bound.data = record;
    device.readList = {&bound, &unbound, &groupUnbound};
    device.readDue = false;  // the VKT-7 read does not ask

    EXPECT_EQ(FrameRead(kDrivers, device.handle()), 0);
    auto qualities = device.EventsOf(EventKind::SetQuality);
    ASSERT_EQ(qualities.size(), 2u);
    EXPECT_EQ(qualities[0]->tag, &unbound);
    EXPECT_EQ(qualities[1]->tag, &groupUnbound);
    for (const auto* q : qualities) EXPECT_EQ(q->quality, 64u);
    EXPECT_EQ(Trace(device), (std::vector<std::string>{"vkt7 read"}));
    // The marks come before the cycle.
    EXPECT_EQ(device.events.back().kind, EventKind::Log);
}

TEST(FrameWriteAndClose, WriteReachesTheDriverAndCloseFreesOwnTagRecords) {
    Host host;
    Device& device = host.AddDevice("d", "VKT5");
    Tag& a = device.AddTag("a");
    device.AddTag("b");  // no record
    Tag& c = device.AddTag("c");
    Node& group = device.AddGroup("1");
    Tag& g = group.AddTag("g");
    a.data = HostAlloc(device.handle(), 5);
    c.data = HostAlloc(device.handle(), 5);
    g.data = HostAlloc(group.handle(), 5);  // taken for the group: not the frame's to free
    ASSERT_EQ(device.LiveAllocations(), 3u);

    EXPECT_EQ(FrameWrite(kDrivers, device.handle()), 0);
    EXPECT_EQ(FrameClose(kDrivers, device.handle()), 0);
    EXPECT_EQ(Trace(device), (std::vector<std::string>{"vkt5 write", "vkt5 close"}));
    EXPECT_EQ(device.EventsOf(EventKind::Free).size(), 2u);
    EXPECT_EQ(device.LiveAllocations(), 1u);
    EXPECT_TRUE(device.EventsOf(EventKind::HostError).empty());
}

TEST(FrameGuard, NoExceptionLeavesAnEntryPoint) {
    Host host;
    Device& device = host.AddDevice("d", "VKT7");
    device.readDue = true;
    EXPECT_EQ(GuardedInit(kThrowingDrivers, device.handle()), 0);
    EXPECT_EQ(GuardedRead(kThrowingDrivers, device.handle()), 0);
    EXPECT_EQ(GuardedWrite(kThrowingDrivers, device.handle()), 0);
    EXPECT_EQ(GuardedClose(kThrowingDrivers, device.handle()), 0);
    const auto lines = device.LogLines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "plugin :init");
    EXPECT_EQ(lines[1], "plugin: unexpected error: init failed");
    EXPECT_EQ(lines[2], "plugin: unexpected error");
    EXPECT_NE(lines[3].find("plugin: unexpected error: "), std::string::npos);
    EXPECT_EQ(lines[4], "plugin: unexpected error: close failed");
}
