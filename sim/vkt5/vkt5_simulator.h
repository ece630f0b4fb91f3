// A VKT-5 meter on a byte stream: firmware version, channel table, clock,
// current values and totals per heat system, and hour/day archive records
// selected by writing the record time.
#ifndef TRV_SIM_VKT5_SIMULATOR_H
#define TRV_SIM_VKT5_SIMULATOR_H

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "sim/meter_simulator.h"

namespace sim {

// The requests the meter tells apart, for refusals.
enum class Vkt5Request { Version, ChannelTable, Clock, RecordTime, Current, Total, ArchiveCurrent, ArchiveTotal };

// Answer a request with a Modbus error answer. array and heat -1 match any;
// count -1 refuses for ever, otherwise that many times.
struct Vkt5Refusal {
    Vkt5Request kind;
    int array = -1;
    int heat = -1;
    int count = -1;
    uint8_t code = 2;
};

class Vkt5Simulator : public MeterSimulator {
public:
    static constexpr size_t kChannelEntries = 9;
    static constexpr uint8_t kErrorIllegalFunction = 1;
    static constexpr uint8_t kErrorIllegalAddress = 2;

    Vkt5Simulator();

    // High nibble version, low nibble subversion; 0x06 means 6.0.
    void SetFirmware(uint8_t firmware) { firmware_ = firmware; }
    uint8_t firmware() const { return firmware_; }
    // 0 for version 6+ subversion 0, 1 for a subversion above 0, 2 for older firmware.
    int FirmwareClass() const;
    // Heat system of each channel table entry (values above 8 belong to none).
    void SetChannelHeat(const std::array<uint8_t, kChannelEntries>& heat) { channelHeat_ = heat; }
    // Channels of heat system h that the meter's table shows (its per-channel blocks).
    int ChannelCount(uint8_t heat) const;
    void SetReportType(uint8_t type) { reportType_ = type; }
    // A clock answer of these raw words (year, month, day, hour, minute) instead of the clock.
    void SetRawClock(std::optional<std::array<uint16_t, 5>> words) { rawClock_ = words; }
    // Records are kept for this long back from the clock; older or future ones are refused.
    void SetArchiveSpan(boost::posix_time::time_duration span) { archiveSpan_ = span; }
    void SetWrongFunction(bool on) { wrongFunction_ = on; }

    // Data bytes of an array (without channel blocks or report block), by the
    // present firmware class. Unset arrays have deterministic plausible values.
    std::vector<uint8_t> CurrentData(bool total, uint8_t array, uint8_t heat) const;
    void SetCurrentData(bool total, uint8_t array, uint8_t heat, std::vector<uint8_t> data);
    std::vector<uint8_t> ArchiveData(bool total, uint8_t array, uint8_t heat, boost::posix_time::ptime record) const;
    void SetArchiveData(bool total, uint8_t array, uint8_t heat, boost::posix_time::ptime record,
                        std::vector<uint8_t> data);
    // Data bytes of the array for the present firmware (0 for arrays the meter lacks).
    size_t DataLength(bool total, uint8_t array) const;

    std::vector<std::string> RegisterMap() const override;

    void Refuse(const Vkt5Refusal& refusal) { refusals_.push_back(refusal); }
    void ClearRefusals() { refusals_.clear(); }

    // Every record time written to the meter, accepted or not, in order.
    const std::vector<boost::posix_time::ptime>& recordTimesWritten() const { return recordTimes_; }

protected:
    void Answer(std::span<const uint8_t> request, std::vector<uint8_t>& out) override;
    size_t AddressOffset() const override { return 0; }
    bool SetModelOption(std::string_view name, std::string_view value, std::string& error) override;
    std::vector<std::pair<std::string, std::string>> ModelOptions() const override;

private:
    using ArrayKey = std::tuple<bool, uint8_t, uint8_t>;
    struct Layout {
        size_t length;
        int channelWords;  // per-channel block size in words; 0 for none
        bool reportBlock;  // archive answers carry it with report type 2
    };
    Layout ArrayLayout(bool total, uint8_t array) const;
    bool Refused(Vkt5Request kind, int array, int heat, uint8_t& code);
    void Data(std::vector<uint8_t>& out, uint8_t function, std::span<const uint8_t> data) const;
    void Error(std::vector<uint8_t>& out, uint8_t function, uint8_t code) const;
    void AnswerArray(std::span<const uint8_t> request, bool archive, std::vector<uint8_t>& out);
    void AnswerRecordTime(std::span<const uint8_t> request, std::vector<uint8_t>& out);

    uint8_t firmware_ = 0x61;
    std::array<uint8_t, kChannelEntries> channelHeat_{0, 0, 0, 1, 1, 2, 9, 9, 9};
    uint8_t reportType_ = 2;
    std::optional<std::array<uint16_t, 5>> rawClock_;
    boost::posix_time::time_duration archiveSpan_ = boost::posix_time::hours(24 * 366);
    bool wrongFunction_ = false;
    std::map<ArrayKey, std::vector<uint8_t>> current_;
    std::map<std::tuple<bool, uint8_t, uint8_t, boost::posix_time::ptime>, std::vector<uint8_t>> archive_;
    std::optional<boost::posix_time::ptime> selected_;
    std::vector<Vkt5Refusal> refusals_;
    std::vector<boost::posix_time::ptime> recordTimes_;
};

}  // namespace sim

#endif
