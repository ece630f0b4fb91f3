// Shared by the VKT-5 driver tests: hex frames, CRC repair, and a device in the
// host emulator wired to a simulated meter.
#ifndef TRV_VKT5_TEST_SUPPORT_H
#define TRV_VKT5_TEST_SUPPORT_H

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/crc16.h"
#include "hostemu/host_emulator.h"
#include "sim/vkt5/vkt5_simulator.h"

inline std::vector<uint8_t> Hex(std::string_view text) {
    std::vector<uint8_t> bytes;
    unsigned value = 0;
    int digits = 0;
    for (char c : text) {
        if (c == ' ') continue;
        value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
        if (++digits == 2) bytes.push_back(static_cast<uint8_t>(value)), value = 0, digits = 0;
    }
    return bytes;
}

inline std::string ToHex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char cell[4];
    for (uint8_t b : bytes) std::snprintf(cell, sizeof cell, text.empty() ? "%02X" : " %02X", b), text += cell;
    return text;
}

// Makes the last two bytes the CRC of the others again, so that a test that
// broke another byte sees only that fault.
inline std::vector<uint8_t> RepairCrc(std::vector<uint8_t> frame) {
    if (frame.size() >= 2) AppendCrc16(frame.data(), frame.size() - 2);
    return frame;
}

struct Vkt5Bench {
    hostemu::Host host;
    hostemu::Device& dev = host.AddDevice("meter", "VKT5");
    sim::Vkt5Simulator meter;

    Vkt5Bench() {
        dev.properties.Set("address", "1");
        dev.channel = [this](auto tx, auto rx) { return meter.Exchange(tx, rx); };
    }
    hostemu::Tag& Control(const char* name) { return dev.AddTag(name); }
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
    // Request frames sent since the last ClearEvents, in hex.
    std::vector<std::string> Sent() const {
        std::vector<std::string> sent;
        for (const auto* e : dev.EventsOf(hostemu::EventKind::Exchange)) sent.push_back(ToHex(e->tx));
        return sent;
    }
    std::vector<const hostemu::Event*> PublishesOf(const hostemu::Tag& tag) const {
        std::vector<const hostemu::Event*> out;
        for (const auto* e : dev.EventsOf(hostemu::EventKind::Publish))
            if (e->tag == &tag) out.push_back(e);
        return out;
    }
};

// The big-endian float at data[at].
inline double FloatAt(const std::vector<uint8_t>& data, size_t at) {
    const uint32_t bits = (uint32_t{data[at]} << 24) | (uint32_t{data[at + 1]} << 16) | (uint32_t{data[at + 2]} << 8) |
                          data[at + 3];
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

#endif
