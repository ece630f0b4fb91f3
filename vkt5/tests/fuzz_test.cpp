// Arbitrary and mutated meter answers: nothing may be read or written outside
// a buffer (the sanitizer build runs these too) and results stay well-formed.
#include <random>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "vkt5/tests/vkt5_test_support.h"
#include "vkt5/vkt5_model.h"

using namespace DriverVKT5;
using hostemu::EventKind;
namespace pt = boost::posix_time;

TEST(Vkt5Robustness, ReadCycleTakesMutatedAnswers) {
    std::mt19937 random(11);
    Vkt5Bench bench;
    bench.dev.properties.Set("DepthHour", 2).Set("DepthDay", 1).Set("CountRecord", 3);
    for (const char* name : {"Available", "Failure", "DateTime", "UnschedulerRequest"}) bench.dev.AddTag(name);
    std::vector<hostemu::Node*> zones = {&bench.Zone("Current", false), &bench.Zone("Totals", true),
                                         &bench.Zone("HourArchive", false, 1), &bench.Zone("DayArchive", true, 0)};
    for (int array : {0, 1, 2, 3, 4, 5, 7})
        for (int address : {-4, 0, 3, 14, 19, 95, 159, 1023, 100000})
            for (int type : {0, 1, 2, 3})
                for (auto* zone : zones) Vkt5Bench::Value(*zone, "v", array, array % 3, address, type);
    std::vector<uint8_t> scratch(2048);
    bench.dev.channel = [&](std::span<const uint8_t> tx, std::span<uint8_t> rx) {
        std::vector<uint8_t> answer(scratch.begin(), scratch.begin() + std::max(0, bench.meter.Exchange(tx, scratch)));
        switch (random() % 10) {
            case 0: answer.resize(random() % (answer.size() + 4)); break;
            case 1: answer.insert(answer.end(), random() % 300, static_cast<uint8_t>(random())); break;
            case 2:  // any bytes at all
                answer.resize(random() % 300);
                for (auto& b : answer) b = static_cast<uint8_t>(random());
                break;
            case 3: case 4: case 5:
                for (int k = 0; k < 3 && !answer.empty(); ++k) answer[random() % answer.size()] ^= uint8_t(1 + random() % 255);
                if (random() % 2) answer = RepairCrc(answer);  // so that mutations reach the decoders
                break;
            default: break;
        }
        const size_t n = std::min(answer.size(), rx.size());  // as the host's channel does
        std::copy_n(answer.begin(), n, rx.begin());
        return static_cast<int32_t>(n);
    };
    Device* d = Vkt5Init(bench.dev.handle());
    auto now = pt::ptime(boost::gregorian::date(2024, 3, 7), pt::hours(12));
    size_t published = 0, archived = 0;
    for (int cycle = 0; cycle < 400; ++cycle) {
        bench.meter.SetFirmware(static_cast<uint8_t>(random()));
        if (cycle % 50 == 0) d->meter.settings = MeterSettings{};  // read the (mutated) settings again
        bench.meter.clock().Set(now += pt::minutes(37));
        bench.dev.ClearEvents();
        d->Read();
        EXPECT_EQ(bench.dev.FindTag("Failure")->value.number, d->meter.link.IsFailed() ? 1 : 0);
        ASSERT_TRUE(bench.dev.EventsOf(EventKind::HostError).empty()) << cycle;
        for (const auto* e : bench.dev.EventsOf(EventKind::Publish)) ++(e->time ? archived : published);
    }
    // The mutations must not have kept the answers away from the decoders.
    EXPECT_GT(published, 1000u);
    EXPECT_GT(archived, 500u);
    Vkt5Close(bench.dev.handle());
}
