// Shared by the VKT-5 tests: hex frames, CRC repair, and a device in the host
// emulator wired to a simulated meter.
#ifndef TRV_VKT5_TEST_SUPPORT_H
#define TRV_VKT5_TEST_SUPPORT_H

#include <algorithm>
#include <bit>
#include <cstdio>
#include <string>
#include <vector>

#include "common/crc16.h"
#include "hostemu/host_emulator.h"
#include "sim/vkt5/vkt5_simulator.h"

inline std::vector<uint8_t> Hex(std::string_view text) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 3) bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    return bytes;
}

inline std::string ToHex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char cell[4];
    for (uint8_t b : bytes) std::snprintf(cell, sizeof cell, " %02X", b), text += cell;
    return text.empty() ? text : text.substr(1);
}

// Makes the last two bytes the CRC of the others again, so that a test that
// broke another byte sees only that fault.
inline std::vector<uint8_t> RepairCrc(std::vector<uint8_t> frame) {
    if (frame.size() >= 2) AppendCrc16(frame.data(), frame.size() - 2);
    return frame;
}

inline double FloatAt(const std::vector<uint8_t>& d, size_t at) {
    return std::bit_cast<float>(uint32_t{d[at]} << 24 | uint32_t{d[at + 1]} << 16 | uint32_t{d[at + 2]} << 8 | d[at + 3]);
}

// A meter-local time in March 2024.
inline boost::posix_time::ptime At(int day, int hour, int minute = 0) {
    return {boost::gregorian::date(2024, 3, day), boost::posix_time::hours(hour) + boost::posix_time::minutes(minute)};
}

struct Vkt5Bench {
    hostemu::Host host;
    hostemu::Device& dev = host.AddDevice("meter", "VKT5");
    sim::Vkt5Simulator meter;

    Vkt5Bench() {
        dev.properties.Set("address", "1");
        dev.channel = [this](auto tx, auto rx) { return meter.Exchange(tx, rx); };
    }
    hostemu::Node& Zone(const char* type, bool total, int typeArchive = -1) {
        auto& node = dev.AddSubdevice(type, type);
        if (total) node.properties.Set("TypeTotal", "1");
        if (typeArchive >= 0) node.properties.Set("TypeArchive", typeArchive);
        return node;
    }
    static hostemu::Tag& Value(hostemu::Node& zone, const char* name, int array, int heat, int address, int dataType) {
        return zone.AddTag(name, {{"NumberArray", std::to_string(array)}, {"NumberHeat", std::to_string(heat)},
                                  {"Address", std::to_string(address)}, {"DataType", std::to_string(dataType)}});
    }
    std::vector<std::string> Sent() const {
        std::vector<std::string> sent;
        for (const auto* e : dev.EventsOf(hostemu::EventKind::Exchange)) sent.push_back(ToHex(e->tx));
        return sent;
    }
    size_t Logged(const std::string& line) const { return static_cast<size_t>(std::ranges::count(dev.LogLines(), line)); }
    std::vector<const hostemu::Event*> PublishesOf(const hostemu::Tag& tag) const {
        std::vector<const hostemu::Event*> out;
        for (const auto* e : dev.EventsOf(hostemu::EventKind::Publish))
            if (e->tag == &tag) out.push_back(e);
        return out;
    }
};

#endif
