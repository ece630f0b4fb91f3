// Mutated meter answers: nothing may be read or written outside a buffer (the
// sanitizer build runs this too) and results stay well-formed.
#include <random>

#include <gtest/gtest.h>

#include "vkt5/tests/vkt5_test_support.h"
#include "vkt5/vkt5_model.h"

TEST(Vkt5Robustness, ReadCycleTakesMutatedAnswers) {
    std::mt19937 random(11);
    Vkt5Bench bench;
    bench.dev.properties.Set("DepthHour", 2).Set("DepthDay", 1).Set("CountRecord", 3);
    for (const char* name : {"Available", "Failure", "DateTime", "UnschedulerRequest"}) bench.dev.AddTag(name);
    for (auto* zone : {&bench.Zone("Current", false), &bench.Zone("Totals", true), &bench.Zone("HourArchive", false, 1),
                       &bench.Zone("DayArchive", true, 0)})
        for (int array : {0, 1, 2, 3, 4, 5, 7})
            for (int address : {-4, 0, 3, 14, 19, 95, 159, 1023, 100000})
                for (int type : {0, 1, 2, 3}) Vkt5Bench::Value(*zone, "v", array, array % 3, address, type);
    std::vector<uint8_t> answer(2048);
    bench.dev.channel = [&](std::span<const uint8_t> tx, std::span<uint8_t> rx) {
        answer.resize(2048);
        answer.resize(static_cast<size_t>(std::max(0, bench.meter.Exchange(tx, answer))));
        const auto kind = random() % 10;
        if (kind == 0) answer.resize(random() % (answer.size() + 4));                        // cut short
        if (kind == 1) answer.resize(answer.size() + random() % 300, uint8_t(random()));   // too long
        if (kind == 2) for (answer.resize(random() % 300); auto& b : answer) b = uint8_t(random());  // anything
        for (int k = 0; kind >= 3 && kind <= 5 && k < 3 && !answer.empty(); ++k) answer[random() % answer.size()] ^= uint8_t(1 + random() % 255);
        if (kind >= 3 && kind <= 5 && random() % 2) answer = RepairCrc(answer);  // so that mutations reach the decoders
        const size_t n = std::min(answer.size(), rx.size());  // as the host's channel does
        std::copy_n(answer.begin(), n, rx.begin());
        return static_cast<int32_t>(n);
    };
    auto* d = DriverVKT5::Vkt5Init(bench.dev.handle());
    size_t published = 0, archived = 0;
    for (int cycle = 0; cycle < 400; ++cycle) {
        bench.meter.SetFirmware(static_cast<uint8_t>(random()));
        if (cycle % 50 == 0) d->meter.settings = DriverVKT5::MeterSettings{};  // read the (mutated) settings again
        bench.meter.clock().Set(At(7, 12) + boost::posix_time::minutes(37 * (cycle + 1)));
        bench.dev.ClearEvents();
        d->Read();
        EXPECT_EQ(bench.dev.FindTag("Failure")->value.number, d->meter.link.IsFailed() ? 1 : 0);
        ASSERT_TRUE(bench.dev.EventsOf(hostemu::EventKind::HostError).empty()) << cycle;
        for (const auto* e : bench.dev.EventsOf(hostemu::EventKind::Publish)) ++(e->time ? archived : published);
    }
    EXPECT_GT(published, 1000u);  // the mutations must not have kept the answers away from the decoders
    EXPECT_GT(archived, 500u);
    DriverVKT5::Vkt5Close(bench.dev.handle());
}
