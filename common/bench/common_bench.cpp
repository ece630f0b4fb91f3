// The per-frame and per-record costs every driver pays in its poll cycle.
#include <benchmark/benchmark.h>

#include <array>

#include "common/calendar_time.h"
#include "common/crc16.h"
#include "common/publish.h"

static void BM_Crc16Modbus265(benchmark::State& state) {
    std::array<uint8_t, 265> frame{};
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7);
    for (auto _ : state) benchmark::DoNotOptimize(Crc16Modbus(frame.data(), frame.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 265);
}
BENCHMARK(BM_Crc16Modbus265);

static void BM_CalendarStepHour(benchmark::State& state) {
    CalendarTime t(24, 3, 7, 5, 0, 0);
    for (auto _ : state) {
        t.StepIntervals(1, ArchiveHour);
        benchmark::DoNotOptimize(t.epochSeconds);
    }
}
BENCHMARK(BM_CalendarStepHour);

static void BM_CalendarBuild(benchmark::State& state) {
    for (auto _ : state) {
        CalendarTime t(24, 3, 7, 5, 30, 0);
        benchmark::DoNotOptimize(t.valid);
    }
}
BENCHMARK(BM_CalendarBuild);

static void BM_MakeRecordTime(benchmark::State& state) {
    const CalendarTime t(24, 3, 7, 5, 30, 0);
    FILETIME out{};
    for (auto _ : state) benchmark::DoNotOptimize(MakeRecordTime(t, out));
}
BENCHMARK(BM_MakeRecordTime);
