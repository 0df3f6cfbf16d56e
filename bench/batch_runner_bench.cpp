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

std::uint64_t run_plain(std::uint64_t from, std::uint64_t to, const BusySettings& settings) {
    std::uint64_t checksum = 0;
    for (std::uint64_t k = from; k < to; ++k)
        checksum ^= busy_work(k, settings.rounds);
    return checksum;
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

/// One batch of `jobs_per_run` busy jobs through the runner; the message on failure.
rux_dp::Result<void> run_batch(std::uint64_t threads, std::uint64_t max_in_flight,
                               const BusySettings& settings) {
    const rux_dp::BatchOptions options{.threads = threads,
                                       .max_in_flight = max_in_flight,
                                       .max_in_flight_bases = 64'000'000,
                                       .fail_fast = false};
    std::uint64_t next = 0;
    std::uint64_t checksum = 0;
    const auto summary = rux_dp::run_ordered(
        [&next]() -> std::optional<rux_dp::InputItem<BusyJob>> {
            if (next == jobs_per_run)
                return std::nullopt;
            return rux_dp::InputItem<BusyJob>(BusyJob{.seed = next++});
        },
        options, settings,
        [](const BusySettings& s, BusyJob&& job) -> rux_dp::BatchItem<std::uint64_t> {
            return busy_work(job.seed, s.rounds);
        },
        [&checksum](rux_dp::BatchItem<std::uint64_t>&& item) -> rux_dp::Result<void> {
            checksum ^= std::get<std::uint64_t>(item);
            return {};
        });
    benchmark::DoNotOptimize(checksum);
    if (!summary)
        return std::unexpected(summary.error());
    return {};
}

void BM_OrderedRunner(benchmark::State& state) {
    const BusySettings settings{.rounds = calibrated_rounds()};
    const auto threads = static_cast<std::uint64_t>(state.range(0));
    const auto max_in_flight = static_cast<std::uint64_t>(state.range(1));
    for (auto _ : state) {
        if (const auto done = run_batch(threads, max_in_flight, settings); !done) {
            state.SkipWithError(done.error().c_str());
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(jobs_per_run));
}

/// Alternates one-thread and two-thread batches so that both see the same background load;
/// speedup = one-thread time / two-thread time, vs_plain_loop = plain-loop time / two-thread
/// time, bare_threads = plain-loop time / time of two bare threads (what the cores allow).
void BM_TwoThreadSpeedup(benchmark::State& state) {
    const BusySettings settings{.rounds = calibrated_rounds()};
    using Clock = std::chrono::steady_clock;
    Clock::duration plain{};
    Clock::duration one{};
    Clock::duration two{};
    Clock::duration bare{};
    for (auto _ : state) {
        auto start = Clock::now();
        benchmark::DoNotOptimize(run_plain(0, jobs_per_run, settings));
        plain += Clock::now() - start;
        // The hardware's own ceiling: two bare threads, half the jobs each, no runner.
        start = Clock::now();
        std::uint64_t halves[2] = {0, 0};
        {
            std::thread first([&] { halves[0] = run_plain(0, jobs_per_run / 2, settings); });
            halves[1] = run_plain(jobs_per_run / 2, jobs_per_run, settings);
            first.join();
        }
        benchmark::DoNotOptimize(halves);
        bare += Clock::now() - start;
        start = Clock::now();
        const auto single = run_batch(1, 64, settings);
        one += Clock::now() - start;
        start = Clock::now();
        const auto pair = run_batch(2, 64, settings);
        two += Clock::now() - start;
        if (!single || !pair) {
            state.SkipWithError("batch failed");
            return;
        }
    }
    const auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
    state.counters["speedup"] = seconds(one) / seconds(two);
    state.counters["vs_plain_loop"] = seconds(plain) / seconds(two);
    state.counters["bare_threads"] = seconds(plain) / seconds(bare);
}

BENCHMARK(BM_PlainLoop)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OrderedRunner)
    ->ArgNames({"threads", "max_in_flight"})
    ->Args({1, 64})
    ->Args({2, 64})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_TwoThreadSpeedup)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
