// Shared by the VKT-9 tests: hex frames, CRC repair, UTC stamps, a scripted
// line, and the configured meter most tests poll.
#ifndef TRV_VKT9_TEST_SUPPORT_H
#define TRV_VKT9_TEST_SUPPORT_H

#include <ctime>
#include <deque>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "common/crc16.h"
#include "hostemu/host_emulator.h"
#include "sim/vkt9/vkt9_simulator.h"
#include "vkt9/vkt9_device.h"

namespace vkt9test {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
using Kind = sim::Vkt9Simulator::ArchiveKind;
using hostemu::EventKind;

inline Bytes Hex(const std::string& text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 3) out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

// Makes the last two bytes the right CRC again after a test broke another byte.
inline Bytes RepairCrc(Bytes frame) {
    if (frame.size() >= 2) AppendCrc16(frame.data(), frame.size() - 2);
    return frame;
}

// FILETIME ticks of a UTC calendar hour.
inline uint64_t UtcTicks(int year, int month, int day, int hour) {
    namespace pt = boost::posix_time;
    using boost::gregorian::date;
    const pt::ptime t(date(static_cast<unsigned short>(year), static_cast<unsigned short>(month),
                           static_cast<unsigned short>(day)), pt::hours(hour));
    return static_cast<uint64_t>((t - pt::ptime(date(1601, 1, 1))).total_seconds()) * 10000000ull;
}

// Answers each request with the next scripted answer; an empty one, or none left, is silence.
struct ScriptedLine {
    std::deque<Bytes> answers;
    std::vector<Bytes> requests;
    int32_t operator()(std::span<const uint8_t> tx, std::span<uint8_t> rx) {
        requests.emplace_back(tx.begin(), tx.end());
        answers.emplace_back();
        const Bytes a = answers.front();
        answers.pop_front();
        return static_cast<int32_t>(std::copy_n(a.begin(), std::min(a.size(), rx.size()), rx.begin()) - rx.begin());
    }
};

// Control tags; subdevices "values" (statuses at 40006 and 30004), "ArchiveHour"
// (ring 0..99, current index 0) and "ArchiveDay" (ring 0..4, current index 0).
inline void ConfigureMeter(hostemu::Device& device, sim::Vkt9Simulator& meter) {
    device.properties = {{"address", "1"}, {"DepthHour", "3"}, {"DepthDay", "2"}, {"CountRecord", "10"}};
    device.channel = [&meter](auto tx, auto rx) { return meter.Exchange(tx, rx); };
    for (const char* name : {"Failure", "Available", "UnschedulerRequest"}) device.AddTag(name);
    auto& values = device.AddSubdevice("values", "Current");
    values.AddTag("t1", {{"Address", "40001"}, {"DataType", "0"}, {"RegStatus", "40006"}, {"StatusNorm", "0"}});
    values.AddTag("p", {{"Address", "40005"}, {"DataType", "2"}, {"Koeff", "100"}, {"RegStatus", "40006"}, {"StatusNorm", "1"}, {"StatusContract", "0"}});
    for (auto [name, reg, type] : {std::tuple{"heat", "40007", "3"}, {"mass", "40009", "4"}, {"mode", "40013", "1"}})
        values.AddTag(name, {{"Address", reg}, {"DataType", type}});
    values.AddTag("flow", {{"Address", "30001"}, {"DataType", "0"}, {"RegStatus", "30004"}, {"StatusNorm", "5"}});
    values.AddTag("vflow", {{"Address", "30003"}, {"DataType", "6"}, {"Koeff", "100"}, {"RegStatus", "30004"}});
    for (auto [kind, reg, top] : {std::tuple{Kind::Hour, "40101", 99}, std::tuple{Kind::Day, "40111", 4}}) {
        auto& node = device.AddSubdevice("", kind == Kind::Hour ? "ArchiveHour" : "ArchiveDay");
        node.properties = {{"TypeArchive", std::to_string(kind)}, {"LengthByteAnswer", "24"}, {"LastIndexRegister", reg}};
        for (auto [name, at, type] : {std::tuple{"heat", "4", "0"}, {"volume", "8", "3"}, {"mass", "16", "4"}})
            node.AddTag(name, {{"AddressByte", at}, {"DataType", type}, {"Koeff", "1"}});
        meter.SetRingTop(kind, static_cast<uint16_t>(top));
        meter.SetCurrentIndex(kind, 0);
    }
}

// Publications of one tag, in order.
inline std::vector<const hostemu::Event*> Published(const hostemu::Device& device, const hostemu::Tag* tag) {
    std::vector<const hostemu::Event*> out = device.EventsOf(EventKind::Publish);
    std::erase_if(out, [tag](const hostemu::Event* e) { return e->tag != tag; });
    return out;
}

// A host device for the driver's own functions; closed with the fixture.
struct HostFixture {
    hostemu::Host host;
    hostemu::Device& device = host.AddDevice("meter", "VKT9New");
    ScriptedLine line;
    HostFixture() { device.properties.Set("address", "1"); }
    DeviceHandle handle() { return device.handle(); }
    DriverVKT9::Device* Init() { return DriverVKT9::Vkt9Init(handle()); }
    Lines Logs() const { return device.LogLines(); }
    size_t Exchanges() const { return device.EventsOf(EventKind::Exchange).size(); }
    hostemu::Tag& Tag(size_t subdevice, const char* name) { return *device.subdevices.at(subdevice)->FindTag(name); }
    // A bare link to the scripted line.
    std::unique_ptr<DriverVKT9::Protocol> Link(uint32_t attempts, uint8_t address = 1) {
        device.channel = [this](auto tx, auto rx) { return line(tx, rx); };
        auto p = std::make_unique<DriverVKT9::Protocol>();
        p->device = handle(), p->address = address, p->attempts = attempts;
        return p;
    }
    ~HostFixture() { DriverVKT9::Vkt9Close(device.handle()); }
};

}  // namespace vkt9test

#endif
