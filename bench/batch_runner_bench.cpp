// Overhead of the ordered batch runner: throughput on jobs of about 20 microseconds of busy work,
// against the same jobs run in a plain loop. items_per_second is jobs per second.
#include "rux_dp/batch/ordered_runner.hpp"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>

namespace {

constexpr std::uint64_t jobs_per_run = 2000;
constexpr double job_microseconds = 20.0;

struct BusyJob {
    std::uint64_t seed = 0;
    std::uint64_t cost() const { return 200; }
};

struct BusySettings {
    std::uint64_t rounds = 0;  // LCG steps per job
};

std::uint64_t busy_work(std::uint64_t seed, std::uint64_t rounds) {
    std::uint64_t x = seed;
    for (std::uint64_t k = 0; k < rounds; ++k) {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        benchmark::DoNotOptimize(x);
    }
    return x;
}

/// LCG steps that take about `job_microseconds` on this machine, measured once.
std::uint64_t calibrated_rounds() {
    static const std::uint64_t rounds = [] {
        constexpr std::uint64_t probe = 2'000'000;
        double best = 1e30;
        for (int attempt = 0; attempt < 5; ++attempt) {
            const auto start = std::chrono::steady_clock::now();
            benchmark::DoNotOptimize(busy_work(static_cast<std::uint64_t>(attempt), probe));
            const std::chrono::duration<double, std::micro> took =
                std::chrono::steady_clock::now() - start;
            if (took.count() < best)
                best = took.count();
        }
        return static_cast<std::uint64_t>(static_cast<double>(probe) * job_microseconds / best);
    }();
    return rounds;
}

void BM_PlainLoop(benchmark::State& state) {
    const std::uint64_t rounds = calibrated_rounds();
    for (auto _ : state) {
        std::uint64_t checksum = 0;
        for (std::uint64_t k = 0; k < jobs_per_run; ++k)
            checksum ^= busy_work(k, rounds);
        benchmark::DoNotOptimize(checksum);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(jobs_per_run));
    state.counters["rounds"] = static_cast<double>(rounds);
}

void BM_OrderedRunner(benchmark::State& state) {
    const BusySettings settings{.rounds = calibrated_rounds()};
    const rux_dp::BatchOptions options{.threads = static_cast<std::uint64_t>(state.range(0)),
                                       .max_in_flight = static_cast<std::uint64_t>(state.range(1)),
                                       .max_in_flight_bases = 64'000'000,
                                       .fail_fast = false};
    const auto job_fn = [](const BusySettings& s,
                           BusyJob&& job) -> rux_dp::BatchItem<std::uint64_t> {
        return busy_work(job.seed, s.rounds);
    };
    for (auto _ : state) {
        std::uint64_t next = 0;
        std::uint64_t checksum = 0;
        const auto summary = rux_dp::run_ordered(
            [&next]() -> std::optional<rux_dp::InputItem<BusyJob>> {
                if (next == jobs_per_run)
                    return std::nullopt;
                return rux_dp::InputItem<BusyJob>(BusyJob{.seed = next++});
            },
            options, settings, job_fn,
            [&checksum](rux_dp::BatchItem<std::uint64_t>&& item) -> rux_dp::Result<void> {
                checksum ^= std::get<std::uint64_t>(item);
                return {};
            });
        if (!summary) {
            state.SkipWithError(summary.error().c_str());
            return;
        }
        benchmark::DoNotOptimize(checksum);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(jobs_per_run));
}

BENCHMARK(BM_PlainLoop)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OrderedRunner)
    ->ArgNames({"threads", "max_in_flight"})
    ->Args({1, 64})
    ->Args({2, 64})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
