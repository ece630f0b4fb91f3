// A VKT-9 meter on a byte stream: holding and input registers with values and
// status words, three index registers per archive, and hour, day and month
// archive rings whose records follow the meter's clock.
#ifndef TRV_SIM_VKT9_SIMULATOR_H
#define TRV_SIM_VKT9_SIMULATOR_H

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sim/meter_simulator.h"

namespace sim {

// One archive record as the meter keeps it. On the wire: the date at positions
// 0 to 3, then the values little-endian at the positions of Vkt9RecordLayout.
struct Vkt9Record {
    uint8_t year = 24;  // minus 2000
    uint8_t month = 1;
    uint8_t day = 1;
    uint8_t hour = 0;
    float heat = 0;          // float
    uint32_t volume = 0;     // unsigned 32-bit
    int16_t temperature = 0; // signed 16-bit, hundredths
    uint16_t pressure = 0;   // unsigned 16-bit, hundredths
    int32_t massWhole = 0;   // signed 32-bit plus the float after it
    float massFraction = 0;
};

struct Vkt9RecordLayout {
    static constexpr int32_t Heat = 4;
    static constexpr int32_t Volume = 8;
    static constexpr int32_t Temperature = 12;
    static constexpr int32_t Pressure = 14;
    static constexpr int32_t Mass = 16;
    static constexpr int32_t Length = 24;
};

class Vkt9Simulator : public MeterSimulator {
public:
    enum ArchiveKind : int32_t { Hour = 0, Day = 1, Month = 2 };
    static constexpr size_t kArchiveKinds = 3;
    // Modbus error codes the meter answers with.
    static constexpr uint8_t IllegalFunction = 0x01;
    static constexpr uint8_t IllegalAddress = 0x02;
    static constexpr uint8_t IllegalValue = 0x03;
    static constexpr uint8_t DeviceFailure = 0x04;

    // Address 1, a plausible set of registers and full rings up to the clock.
    Vkt9Simulator();


    // Registers in Modbus notation: 30001.. input, 40001.. holding. False for
    // any other number. Multi-register values go high word first.
    bool SetRegister(int32_t modbus, uint16_t value);
    bool SetFloat(int32_t modbus, float value);
    bool SetUInt32(int32_t modbus, uint32_t value);
    bool SetIntPlusFloat(int32_t modbus, int32_t whole, float fraction);
    bool SetStatus(int32_t modbus, uint16_t word) { return SetRegister(modbus, word); }
    bool RemoveRegister(int32_t modbus);
    // Reads that touch the register get an error answer.
    bool SetErrorRegister(int32_t modbus, bool on = true);
    void SetWrongFunction(bool on) { wrongFunction_ = on; }

    // Archive rings. The current index moves with the clock, one slot per
    // interval; the span is the number of complete records before it.
    void SetRingTop(ArchiveKind kind, uint16_t top);
    uint16_t RingTop(ArchiveKind kind) const { return ring(kind).top; }
    void SetCurrentIndex(ArchiveKind kind, uint16_t index);
    uint16_t CurrentIndex(ArchiveKind kind) const;
    void SetSpan(ArchiveKind kind, int32_t records) { ring(kind).span = records; }
    bool SetIndexRegister(ArchiveKind kind, int32_t modbus);
    void SetRecordLength(ArchiveKind kind, int32_t length) { ring(kind).recordLength = length; }
    // The record a request for the slot gets; nullopt for an empty slot.
    std::optional<Vkt9Record> Record(ArchiveKind kind, uint16_t index) const;
    void SetRecord(ArchiveKind kind, uint16_t index, const Vkt9Record& record);
    void SetErrorRecord(ArchiveKind kind, uint16_t index, bool on = true);
    // The record is sent dated 31 April.
    void SetImpossibleDate(ArchiveKind kind, uint16_t index, bool on = true);

    std::vector<std::string> RegisterMap() const override;

protected:
    void Answer(std::span<const uint8_t> request, std::vector<uint8_t>& out) override;
    size_t AddressOffset() const override { return 0; }
    bool SetModelOption(std::string_view name, std::string_view value, std::string& error) override;
    std::vector<std::pair<std::string, std::string>> ModelOptions() const override;

private:
    struct Ring {
        uint16_t top = 0;
        int64_t offset = 0;  // current index = (interval number + offset) mod size
        int32_t span = 0;
        int32_t recordLength = Vkt9RecordLayout::Length;
        uint32_t indexKey = 0;  // function << 16 | register of the first index register
        std::map<uint16_t, Vkt9Record> records;
        std::set<uint16_t> errors;
        std::set<uint16_t> impossible;
    };

    Ring& ring(ArchiveKind kind) { return rings_[static_cast<size_t>(kind)]; }
    const Ring& ring(ArchiveKind kind) const { return rings_[static_cast<size_t>(kind)]; }
    int64_t IntervalNumber(ArchiveKind kind) const;
    void ErrorAnswer(uint8_t function, uint8_t code, std::vector<uint8_t>& out) const;
    void AnswerRegisters(std::span<const uint8_t> request, std::vector<uint8_t>& out) const;
    void AnswerRecord(std::span<const uint8_t> request, std::vector<uint8_t>& out) const;
    std::optional<uint16_t> RegisterValue(uint32_t key) const;

    std::map<uint32_t, uint16_t> registers_;
    std::set<uint32_t> errorRegisters_;
    bool wrongFunction_ = false;
    std::array<Ring, kArchiveKinds> rings_;
};

}  // namespace sim

#endif
