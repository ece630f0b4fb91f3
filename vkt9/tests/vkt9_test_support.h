// Shared by the VKT-9 driver tests: hex frames, CRC repair, a scripted line and
// a host device ready for the driver's own functions.
#ifndef TRV_VKT9_TEST_SUPPORT_H
#define TRV_VKT9_TEST_SUPPORT_H

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "common/crc16.h"
#include "hostemu/host_emulator.h"
#include "vkt9/vkt9_device.h"

namespace vkt9test {

inline std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> out;
    std::string digits;
    for (char c : text)
        if (c != ' ') digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

// Makes the last two bytes the right CRC again after a test broke another byte.
inline std::vector<uint8_t> RepairCrc(std::vector<uint8_t> frame) {
    if (frame.size() >= 2) AppendCrc16(frame.data(), frame.size() - 2);
    return frame;
}

// A line that answers each request with the next scripted answer; an empty
// answer is silence, and a script that runs out is silence too.
struct ScriptedLine {
    std::deque<std::vector<uint8_t>> answers;
    std::vector<std::vector<uint8_t>> requests;
    int32_t operator()(std::span<const uint8_t> tx, std::span<uint8_t> rx) {
        requests.emplace_back(tx.begin(), tx.end());
        if (answers.empty()) return 0;
        const std::vector<uint8_t> a = answers.front();
        answers.pop_front();
        const size_t n = std::min(a.size(), rx.size());
        std::copy_n(a.begin(), n, rx.begin());
        return static_cast<int32_t>(n);
    }
};

// A host device with a VKT-9 model text; the tests configure and then init it.
struct HostFixture {
    hostemu::Host host;
    hostemu::Device& device = host.AddDevice("meter", "VKT9New");
    DeviceHandle handle() { return device.handle(); }
    DriverVKT9::Device* Init() { return DriverVKT9::Vkt9Init(handle()); }
    std::vector<std::string> Logs() const { return device.LogLines(); }
    size_t Exchanges() const { return device.EventsOf(hostemu::EventKind::Exchange).size(); }
    ~HostFixture() { DriverVKT9::Vkt9Close(device.handle()); }
};

}  // namespace vkt9test

#endif
