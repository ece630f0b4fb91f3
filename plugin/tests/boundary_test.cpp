// The shipped library, loaded with dlopen into this process (which defines the
// host operations through the emulator) and driven through its exports only.
#include <gtest/gtest.h>

#include "hostemu/host_emulator.h"

using namespace hostemu;

namespace {

class PluginBoundary : public ::testing::Test {
protected:
    LoadedPlugin plugin{TRV_PLUGIN_PATH};
};

}  // namespace

TEST_F(PluginBoundary, LoadsAndResolvesTheSevenEntryPoints) {
    ASSERT_TRUE(plugin.ok()) << plugin.error();
    LoadedPlugin missing{"/nonexistent/trvplugin-teplokom.so"};
    EXPECT_FALSE(missing.ok());
    EXPECT_FALSE(missing.error().empty());
}

TEST_F(PluginBoundary, CreateRunAndSlaveProcessing) {
    ASSERT_TRUE(plugin.ok()) << plugin.error();
    Host host(plugin.entry());
    Device& device = host.AddDevice("d", "VKT7");
    EXPECT_EQ(host.Create(&device), 0);  // the host's own result, passed through
    EXPECT_EQ(plugin.entry().run(), 0);
    EXPECT_EQ(plugin.entry().slaveProcessing(device.handle()), 0);
    EXPECT_TRUE(device.events.empty());
}

TEST_F(PluginBoundary, InitReadWriteCloseForEveryModelThroughTheExports) {
    ASSERT_TRUE(plugin.ok()) << plugin.error();
    Host host(plugin.entry());
    for (const char* model : {"VKT9Old", "VKT9New", "VKT5", "VKT7", ""}) {
        Device& device = host.AddDevice(std::string("meter ") + model, model);
        Tag& available = device.AddTag("Available");
        device.AddTag("Failure");
        device.AddSubdevice("values", "Current").AddTag("t", Properties{{"Address", "40001"}, {"DataType", "0"}});
        device.channel = [](std::span<const uint8_t>, std::span<uint8_t>) { return 0; };
        EXPECT_EQ(host.Init(device), 0) << model;
        const auto lines = device.LogLines();
        ASSERT_FALSE(lines.empty()) << model;
        EXPECT_EQ(lines.front(), "plugin :init") << model;
        ASSERT_EQ(device.EventsOf(EventKind::BeginInit).size(), 1u) << model;
        ASSERT_EQ(device.EventsOf(EventKind::EndInit).size(), 1u) << model;
        EXPECT_EQ(device.events.front().kind, EventKind::Log) << model;
        EXPECT_EQ(device.events[1].kind, EventKind::BeginInit) << model;

        EXPECT_EQ(host.Read(device), 0) << model;
        EXPECT_EQ(host.Write(device), 0) << model;
        // A client's Available 0 stops the polling, 1 resumes it (VKT-9 skips one
        // cycle after the failed one); the write is completed either way.
        for (int32_t value : {0, 1}) {
            device.QueueWrite(available, value);
            EXPECT_EQ(host.Write(device), 0) << model;
            EXPECT_TRUE(device.writes.front().completed) << model << " " << value;
            device.ClearEvents();
            EXPECT_EQ(host.Read(device) | host.Read(device), 0) << model;
            EXPECT_EQ(device.EventsOf(EventKind::Exchange).empty(), value == 0) << model << " " << value;
        }
        EXPECT_EQ(host.Close(device), 0) << model;
        EXPECT_TRUE(device.EventsOf(EventKind::HostError).empty()) << model;
        // Every tag record the plugin attached is gone after CLOSE.
        for (const auto& tag : device.tags) {
            if (tag->data != nullptr) {
                EXPECT_FALSE(device.IsLive(tag->data)) << model << " " << tag->name;
            }
        }
    }
}
