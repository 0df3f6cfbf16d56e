// Spools N records against 10,000 targets and finishes into a sink that discards the bytes.
// Reports the process's peak resident memory (getrusage), which must stay bounded whatever N.

#include "rux_dp/alignment/cigar.hpp"
#include "rux_dp/oracle/records.hpp"
#include "rux_dp/record_io/sam_spool.hpp"

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace rux_dp;

constexpr std::uint64_t target_count = 10'000;
constexpr std::size_t query_length = 150;

double peak_rss_mib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB on Linux
}

AlignmentRecord record_for(std::uint64_t target) {
    auto cigar = Cigar::parse(std::to_string(query_length) + "=");
    const std::uint64_t m = query_length;
    return AlignmentRecord{
        .schema_version = "rux-align.v2",
        .record_type = "alignment",
        .producer = Producer::rux_align("rux"),
        .pair = {.index = 0,
                 .query = {.id = "read", .length = m, .sha256 = ""},
                 .target = {.id = "chr" + std::to_string(target),
                            .length = 1'000 + target,
                            .sha256 = ""}},
        .problem = {.mode = AlignmentMode::edit_distance, .scoring = EditDistanceScoring{}},
        .alignment = {.objective = {.kind = ObjectiveKind::distance, .value = 0},
                      .trace = TraceRecord{.query_span = {0, m},
                                           .target_span = {0, m},
                                           .cigar = cigar.value_or(Cigar{}),
                                           .operations = std::nullopt}},
        .verification = {},
        .metrics = std::nullopt,
        .integrity = std::nullopt};
}

void BM_SamSpool(benchmark::State& state) {
    const auto records = static_cast<std::uint64_t>(state.range(0));
    std::vector<AlignmentRecord> templates;
    for (std::uint64_t t = 0; t < target_count; ++t)
        templates.push_back(record_for(t));
    std::mt19937_64 rng(7);
    std::string query;
    for (std::size_t i = 0; i < query_length; ++i)
        query.push_back("ACGT"[rng() % 4]);
    const double rss_before = peak_rss_mib();

    std::uint64_t bytes = 0;
    for (auto _ : state) {
        auto spool = SamSpool::create(std::nullopt);
        if (!spool) {
            state.SkipWithError(spool.error().c_str());
            return;
        }
        for (std::uint64_t k = 0; k < records; ++k) {
            auto pushed = spool->push(templates[rng() % target_count], query);
            if (!pushed) {
                state.SkipWithError(pushed.error().c_str());
                return;
            }
        }
        auto finished = std::move(*spool).finish([&bytes](std::string_view chunk) -> Result<void> {
            bytes += chunk.size();
            return {};
        });
        if (!finished) {
            state.SkipWithError(finished.error().c_str());
            return;
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * records));
    state.counters["sam_bytes"] = static_cast<double>(bytes);
    state.counters["peak_rss_before_MiB"] = rss_before;
    state.counters["peak_rss_MiB"] = peak_rss_mib();
}

BENCHMARK(BM_SamSpool)->Arg(1'000'000)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
