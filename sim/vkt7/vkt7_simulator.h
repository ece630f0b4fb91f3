// A VKT-7 heat meter on a byte stream (the meter's side of the link, session,
// values and element registers): preamble and CRC checked, session open, server and software
// versions, properties in both server-version formats, archive bounds, clock,
// archive selection, active element list, element list, record date, value reads
// with quality and NS bytes, and exception answers.
//
// Its data are deterministic and plausible for a two-input heat meter: current
// values and totals, and hour, day and month archives over a configurable span
// that ends at its own clock. No transport: bytes in, bytes out.
#ifndef TRV_SIM_VKT7_SIMULATOR_H
#define TRV_SIM_VKT7_SIMULATOR_H

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "sim/meter_simulator.h"

namespace sim {

// Archive types, as written to register 0x3FFD.
enum class Vkt7Archive : uint8_t { Hour = 0, Day = 1, Month = 2, Current = 4, Totals = 5, Properties = 6 };

// Parses "hour", "day", "month", "current", "totals", "properties" or the number.
bool ParseVkt7Archive(std::string_view text, Vkt7Archive& out);

class Vkt7Simulator : public MeterSimulator {
public:
    static constexpr uint8_t kIllegalFunction = 1;
    static constexpr uint8_t kIllegalRegister = 2;
    static constexpr uint8_t kNoRecord = 3;   // no archive record for that date; no archives at all
    static constexpr uint8_t kNoList = 5;     // no element list for the selected type
    static constexpr uint8_t kQualityGood = 0xC0;

    Vkt7Simulator();

    // ---- identity and protocol variant ----
    // Byte 64 of the server-version answer (1: length-prefixed properties).
    void SetServerVersion(uint8_t version) { serverVersion_ = version; }
    uint8_t serverVersion() const { return serverVersion_; }
    // Byte 65 of the server-version answer; a sound meter sends 0 or 1.
    void SetServerFlag(uint8_t flag) { serverFlag_ = flag; }
    void SetSoftwareVersion(uint8_t major, uint8_t minor) { software_ = static_cast<uint8_t>((major << 4) | (minor & 0x0F)); }
    // Byte count of the software-version answer (16; 1 or 2 carry no report day).
    void SetSoftwareAnswerCount(uint8_t count) { softwareCount_ = count; }
    // Day of month on which the meter closes a month record.
    void SetReportDay(uint8_t day) { reportDay_ = day; }
    uint8_t reportDay() const { return reportDay_; }
    // Decimal places that a decimal-places property (57 to 76) reports.
    void SetDecimalPlaces(uint8_t property, uint8_t places) { decimals_[property] = places; }
    uint8_t DecimalPlaces(uint8_t property) const;
    // Decimal places that apply to a value element (0 for elements no property covers).
    uint8_t ElementDecimalPlaces(uint8_t element) const;

    // ---- archives ----
    // How far back each archive reaches from the clock.
    void SetArchiveSpan(int32_t hours, int32_t days, int32_t months);
    // A meter without archives: exception 3 to the bounds and to every record.
    void SetNoArchives(bool none) { noArchives_ = none; }
    // First record of the hour archive, as the bounds register reports it.
    boost::posix_time::ptime HourArchiveStart() const;
    // The record that holds the given time exists: inside the span and closed
    // (hours and days before the clock's; months whose report day has passed).
    bool HasRecord(Vkt7Archive type, boost::posix_time::ptime record) const;

    // ---- element catalogue ----
    // Elements the meter lists as active for a type, with their value sizes, in order.
    std::vector<std::pair<uint8_t, uint16_t>> ActiveList(Vkt7Archive type) const;
    // Makes an element active (any byte, for faults: 83 or more) with a value size.
    void SetActive(Vkt7Archive type, uint8_t element, uint16_t size);
    void SetInactive(Vkt7Archive type, uint8_t element);

    // ---- values ----
    // An engineering value for every record of the type (current values: now).
    void SetValue(Vkt7Archive type, uint8_t element, double value);
    // An engineering value for the record that holds the given time.
    void SetRecordValue(Vkt7Archive type, uint8_t element, boost::posix_time::ptime record, double value);
    // Exact value bytes for every record of the type (cut or zero-padded to the size).
    void SetRawValue(Vkt7Archive type, uint8_t element, std::vector<uint8_t> bytes);
    void ClearValues();
    // The value bytes the meter sends (current values and totals: at the clock).
    std::vector<uint8_t> RawValue(Vkt7Archive type, uint8_t element,
                                  boost::posix_time::ptime record = boost::posix_time::ptime()) const;
    // The number a driver decodes from RawValue with the meter's decimal places.
    double ExpectedValue(Vkt7Archive type, uint8_t element,
                         boost::posix_time::ptime record = boost::posix_time::ptime()) const;

    // ---- quality and abnormal-situation bytes ----
    void SetQuality(Vkt7Archive type, uint8_t element, uint8_t quality, uint8_t ns);
    void ClearQualities() { qualities_.clear(); }
    std::pair<uint8_t, uint8_t> QualityOf(Vkt7Archive type, uint8_t element) const;

    // ---- protocol faults ----
    // Answers requests to a register with an exception: function 3 for reads, 16
    // for writes, 0 for both; count -1 for ever, else that many times. Code 0 removes.
    void SetException(uint16_t reg, uint8_t code, uint8_t function = 0, int32_t count = -1);
    void ClearExceptions() { exceptions_.clear(); }
    // The meter forgets the element list: the next data read answers exception 5.
    void ForgetList() { listDefined_ = false; }

    std::vector<std::string> RegisterMap() const override;

    // ---- state, for tests and tools ----
    bool sessionOpened() const { return sessionOpened_; }
    uint8_t selectedType() const { return selected_; }
    // Elements of the list last written, in the order written.
    const std::vector<uint8_t>& listedElements() const { return list_; }
    // Record date last written to 0x3FFB: day, month, year - 2000, hour.
    std::optional<std::array<uint8_t, 4>> recordDate() const { return recordDate_; }

protected:
    void Answer(std::span<const uint8_t> request, std::vector<uint8_t>& out) override;
    size_t AddressOffset() const override { return 0; }
    bool SetModelOption(std::string_view name, std::string_view value, std::string& error) override;
    std::vector<std::pair<std::string, std::string>> ModelOptions() const override;

private:
    struct Exception {
        uint8_t code;
        int32_t count;
    };
    using Key = std::pair<uint8_t, uint8_t>;  // archive type, element

    void AnswerRead(uint16_t reg, std::vector<uint8_t>& data, uint8_t& exception);
    void AnswerWrite(uint16_t reg, uint8_t byteCount, std::span<const uint8_t> data, uint8_t& exception);
    void DataAnswer(std::vector<uint8_t>& data, uint8_t& exception);
    bool TakeException(uint8_t function, uint16_t reg, uint8_t& code);
    std::optional<boost::posix_time::ptime> RecordOfDate() const;
    uint16_t ActiveSize(Vkt7Archive type, uint8_t element) const;
    // The value with the meter's own data, before the overrides.
    std::vector<uint8_t> Generated(Vkt7Archive type, uint8_t element, boost::posix_time::ptime record) const;
    std::vector<uint8_t> Encode(uint8_t element, uint16_t size, double value) const;

    uint8_t serverVersion_ = 0;
    uint8_t serverFlag_ = 0;
    uint8_t software_ = 0x23;
    uint8_t softwareCount_ = 16;
    uint8_t reportDay_ = 25;
    std::map<uint8_t, uint8_t> decimals_;
    int32_t spanHours_ = 45 * 24;
    int32_t spanDays_ = 365;
    int32_t spanMonths_ = 36;
    bool noArchives_ = false;

    std::map<uint8_t, std::map<uint8_t, uint16_t>> active_;  // type -> element -> size
    std::map<Key, double> values_;
    std::map<std::tuple<uint8_t, uint8_t, boost::posix_time::ptime>, double> recordValues_;
    std::map<Key, std::vector<uint8_t>> rawValues_;
    std::map<Key, std::pair<uint8_t, uint8_t>> qualities_;
    std::map<std::pair<uint8_t, uint16_t>, Exception> exceptions_;  // (function or 0, register)

    // Protocol state.
    bool sessionOpened_ = false;
    bool serverInfoPending_ = false;
    uint8_t selected_ = static_cast<uint8_t>(Vkt7Archive::Current);
    bool listDefined_ = false;
    std::vector<uint8_t> list_;
    std::optional<std::array<uint8_t, 4>> recordDate_;
};

}  // namespace sim

#endif
