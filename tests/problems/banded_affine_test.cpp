// The banded affine kernel against the plain cell-by-cell reference: same path, same score, same
// "nothing", on every instruction set the machine has.

#include "rux_dp/problems/nw_affine.hpp"
#include "rux_dp/problems/simd_dispatch.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/score_dp_brute_force.hpp"

namespace {

using namespace rux_dp;

std::string mutated(std::mt19937_64& rng, const std::string& source, unsigned percent,
                    std::string_view alphabet) {
    std::string out;
    for (const char c : source) {
        if (rng() % 100 >= percent) {
            out.push_back(c);
            continue;
        }
        switch (rng() % 4) {
            case 0:
                out.push_back(alphabet[rng() % alphabet.size()]);
                break;
            case 1:
                break;
            case 2:
                out += std::string(1 + rng() % 6, alphabet[rng() % alphabet.size()]);
                break;
            default:
                out.push_back(c);
                out.push_back(alphabet[rng() % alphabet.size()]);
                break;
        }
    }
    return out;
}

struct Scoring {
    const char* name;
    SubstitutionScoring substitution;
    std::string_view alphabet;
    std::int32_t gap_open;
    std::int32_t gap_extend;
};

std::vector<Scoring> scorings() {
    const SubstitutionScoring dna = SubstitutionScoring::match_mismatch(2, 3);
    const SubstitutionScoring blosum = SubstitutionScoring::matrix(SubstitutionMatrix::blosum62());
    const std::string_view protein = "ARNDCQEGHILKMFPSTWYV";
    return {
        {"dna", dna, "ACGT", -4, -1},
        {"dna open 0", dna, "ACGT", 0, -2},
        {"dna positive extend", dna, "ACGT", -5, 1},
        {"dna positive open", dna, "ACGT", 3, -2},
        {"blosum62", blosum, protein, -11, -1},
        // Scores far apart: only narrow bands fit 16-bit lanes.
        {"dna harsh", SubstitutionScoring::match_mismatch(1, 60), "ACGT", -50, -30},
        // Values so large that the kernel must leave its plain arithmetic.
        {"huge", SubstitutionScoring::match_mismatch(1 << 20, 1 << 21), "ACGT", -(1 << 22),
         -(1 << 20)},
    };
}

std::vector<simd::Isa> isas() {
    std::vector<simd::Isa> out{simd::Isa::scalar};
    if (simd::machine_isa() >= simd::Isa::avx2)
        out.push_back(simd::Isa::avx2);
    if (simd::machine_isa() >= simd::Isa::avx512bw)
        out.push_back(simd::Isa::avx512bw);
    return out;
}

// A query of one of `lengths`, and a target that is unrelated one time in `unrelated_one_in`
// and otherwise the query mutated.
std::pair<std::string, std::string> random_pair(std::mt19937_64& rng,
                                                const std::vector<std::size_t>& lengths,
                                                const Scoring& scoring,
                                                std::uint64_t unrelated_one_in) {
    std::string query = rux_dp::test_support::random_sequence(
        rng, lengths[rng() % lengths.size()], scoring.alphabet);
    std::string target =
        rng() % unrelated_one_in == 0
            ? rux_dp::test_support::random_sequence(rng, lengths[rng() % lengths.size()],
                                                    scoring.alphabet)
            : mutated(rng, query, 5 + rng() % 30, scoring.alphabet);
    return {std::move(query), std::move(target)};
}

NwAffineProblem problem_of(const Scoring& scoring, std::string_view query,
                           std::string_view target) {
    return {.scoring = scoring.substitution,
            .query = query,
            .target = target,
            .gap_open = scoring.gap_open,
            .gap_extend = scoring.gap_extend};
}

TEST(BandedAffineKernel, MatchesTheReferenceOnRandomPairs) {
    std::mt19937_64 rng(20261211);
    const std::vector<std::size_t> lengths = {0, 1, 2, 7, 15, 16, 17, 31, 33, 64, 65, 150};
    for (const Scoring& scoring : scorings()) {
        for (int round = 0; round < 60; ++round) {
            const auto [query, target] = random_pair(rng, lengths, scoring, 3);
            const NwAffineProblem problem = problem_of(scoring, query, target);
            const std::uint64_t diff =
                query.size() > target.size() ? query.size() - target.size()
                                             : target.size() - query.size();
            const std::vector<std::uint64_t> bands = {0, diff, diff + rng() % 20, diff + 16,
                                                      diff + 40, 1000};
            for (const std::uint64_t band : bands) {
                SCOPED_TRACE(std::string(scoring.name) + " " + query + " / " + target +
                             " band " + std::to_string(band));
                const auto expected = trace_banded_affine_reference(problem, band);
                for (const simd::Isa isa : isas()) {
                    const simd::ScopedIsaCap cap(isa);
                    EXPECT_EQ(trace_banded_affine(problem, band), expected)
                        << "isa " << static_cast<int>(isa);
                }
            }
        }
    }
}

// Tracing from checkpoints recomputes each block's codes with the same row kernel, so every
// block height, including 1 and heights that do not divide the row count, gives the result of
// the whole table.
TEST(BandedAffineKernel, BlocksOfRowsMatchTheWholeTable) {
    std::mt19937_64 rng(20261212);
    const std::vector<std::size_t> lengths = {0, 1, 2, 5, 16, 17, 40, 97, 150};
    for (const Scoring& scoring : scorings()) {
        for (int round = 0; round < 25; ++round) {
            const auto [query, target] = random_pair(rng, lengths, scoring, 4);
            const NwAffineProblem problem = problem_of(scoring, query, target);
            const std::uint64_t m = query.size();
            const std::uint64_t diff =
                m > target.size() ? m - target.size() : target.size() - m;
            const std::uint64_t band = diff + rng() % 24;
            const auto expected = trace_banded_affine_reference(problem, band);
            const std::vector<std::uint64_t> heights = {1,     2,     3,     7,    1 + rng() % 20,
                                                        m / 2, m - 1, m,     m + 1, 1000};
            for (const std::uint64_t rows : heights) {
                if (rows == 0 || rows > 1000)
                    continue;
                SCOPED_TRACE(std::string(scoring.name) + " " + query + " / " + target + " band " +
                             std::to_string(band) + " rows " + std::to_string(rows));
                for (const simd::Isa isa : isas()) {
                    const simd::ScopedIsaCap cap(isa);
                    EXPECT_EQ(detail::trace_banded_affine_in_blocks(problem, band, rows), expected)
                        << "isa " << static_cast<int>(isa);
                }
            }
        }
    }
}

// Wide scores make the spread of a row's values grow fast with the band: bands on both sides of
// where 16-bit lanes stop being provably exact, on similar and unrelated pairs.
TEST(BandedAffineKernel, BandsAroundTheNarrowLaneLimit) {
    std::mt19937_64 rng(5);
    const Scoring harsh{"harsh", SubstitutionScoring::match_mismatch(1, 60), "ACGT", -50, -30};
    for (int round = 0; round < 6; ++round) {
        const auto [query, target] = random_pair(rng, {400, 600}, harsh, 2);
        const NwAffineProblem problem = problem_of(harsh, query, target);
        const std::uint64_t diff = query.size() > target.size() ? query.size() - target.size()
                                                                : target.size() - query.size();
        for (std::uint64_t band = std::max<std::uint64_t>(diff, 100); band <= 220; band += 15) {
            const auto expected = trace_banded_affine_reference(problem, band);
            for (const simd::Isa isa : isas()) {
                const simd::ScopedIsaCap cap(isa);
                EXPECT_EQ(trace_banded_affine(problem, band), expected)
                    << "band " << band << " isa " << static_cast<int>(isa);
            }
        }
    }
}

// Long pairs with scores beyond the 16-bit range, up for a similar pair and down for an
// unrelated one: the 16-bit pass moves its base along and still gives the reference's result,
// from the whole table and from checkpoints.
TEST(BandedAffineKernel, LongPairsKeepTheirScoresExact) {
    std::mt19937_64 rng(11);
    const std::string query = rux_dp::test_support::random_sequence(rng, 8000, "ACGT");
    std::string similar;
    for (const char c : query) {
        const auto roll = rng() % 1000;
        if (roll < 30)
            similar.push_back("ACGT"[rng() % 4]);
        else if (roll < 35)
            similar += std::string{c, "ACGT"[rng() % 4]};
        else if (roll >= 40)
            similar.push_back(c);
    }
    const std::vector<std::string> targets = {
        similar, rux_dp::test_support::random_sequence(rng, 8003, "ACGT")};
    for (const std::string& target : targets) {
        const NwAffineProblem problem{.scoring = SubstitutionScoring::match_mismatch(10, 20),
                                      .query = query,
                                      .target = target,
                                      .gap_open = -20,
                                      .gap_extend = -10};
        const std::uint64_t diff = target.size() > query.size() ? target.size() - query.size()
                                                                 : query.size() - target.size();
        for (const std::uint64_t band : {diff + 10, diff + 50}) {
            const auto expected = trace_banded_affine_reference(problem, band);
            ASSERT_TRUE(expected.has_value());
            EXPECT_GT(std::abs(expected->score), 32767);
            for (const simd::Isa isa : isas()) {
                const simd::ScopedIsaCap cap(isa);
                EXPECT_EQ(trace_banded_affine(problem, band), expected)
                    << "band " << band << " isa " << static_cast<int>(isa);
                EXPECT_EQ(detail::trace_banded_affine_in_blocks(problem, band, 997), expected)
                    << "band " << band << " isa " << static_cast<int>(isa);
            }
        }
    }
}

// A table too large to keep whole is traced from checkpoints, in a small part of its memory,
// and still gives the reference's result: by rows (a band too wide for 16-bit lanes) and by
// anti-diagonals.
TEST(BandedAffineKernel, LargeTablesAreTracedFromCheckpoints) {
    std::mt19937_64 rng(7);
    struct Case {
        std::size_t length;
        unsigned percent;
        std::uint64_t extra;  // band beyond the length difference
        std::int32_t gap_extend;
    };
    for (const Case c : {Case{4000, 15, 600, -12}, Case{7000, 3, 250, -2}}) {
        const std::string query = rux_dp::test_support::random_sequence(rng, c.length, "ACGT");
        const std::string target = mutated(rng, query, c.percent, "ACGT");
        const std::uint64_t diff = target.size() > query.size() ? target.size() - query.size()
                                                                 : query.size() - target.size();
        const std::uint64_t band = diff + c.extra;
        const NwAffineProblem problem{.scoring = SubstitutionScoring::match_mismatch(2, 4),
                                      .query = query,
                                      .target = target,
                                      .gap_open = -4,
                                      .gap_extend = c.gap_extend};
        const std::uint64_t whole = banded_affine_table_bytes(query.size(), target.size(), band);
        EXPECT_EQ(whole, (query.size() + 1) * (2 * band + 1));
        EXPECT_LT(banded_affine_trace_bytes(problem, band), whole / 8);
        // A narrow band keeps its whole table: at least a byte per cell.
        EXPECT_GE(banded_affine_trace_bytes(problem, diff + 10),
                  banded_affine_table_bytes(query.size(), target.size(), diff + 10));
        const auto expected = trace_banded_affine_reference(problem, band);
        ASSERT_TRUE(expected.has_value());
        for (const simd::Isa isa : isas()) {
            const simd::ScopedIsaCap cap(isa);
            EXPECT_EQ(trace_banded_affine(problem, band), expected)
                << "band " << band << " isa " << static_cast<int>(isa);
        }
    }
    // The benchmark's 10,000-row pair at the band it widens to keeps under 4 MiB; a few rows
    // against a long target keep their whole table, which is smaller than any checkpoint.
    const std::string ten_thousand(10000, 'A');
    const NwAffineProblem benchmark_like{.scoring = SubstitutionScoring::match_mismatch(2, 4),
                                         .query = ten_thousand,
                                         .target = ten_thousand,
                                         .gap_open = -4,
                                         .gap_extend = -2};
    EXPECT_LT(banded_affine_trace_bytes(benchmark_like, 1473), std::uint64_t{4} << 20);
    const std::string long_target(3'000'000, 'A');
    const NwAffineProblem short_query{.scoring = SubstitutionScoring::match_mismatch(2, 4),
                                      .query = "AC",
                                      .target = long_target,
                                      .gap_open = -4,
                                      .gap_extend = -2};
    EXPECT_EQ(banded_affine_trace_bytes(short_query, 3'000'000),
              banded_affine_table_bytes(2, 3'000'000, 3'000'000));
}

}  // namespace
