#include "rux_dp/problems/edit_distance.hpp"

#include "rux_dp/problems/simd_dispatch.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace rux_dp {
namespace {

using Cells = std::vector<PathCell>;

// The whole (m + 1) x (n + 1) table, written out independently of the library.
std::vector<std::vector<std::uint32_t>> full_table(const std::string& q, const std::string& t) {
    std::vector<std::vector<std::uint32_t>> d(q.size() + 1,
                                              std::vector<std::uint32_t>(t.size() + 1));
    for (std::size_t i = 0; i <= q.size(); ++i) {
        for (std::size_t j = 0; j <= t.size(); ++j) {
            if (i == 0 || j == 0) {
                d[i][j] = static_cast<std::uint32_t>(i + j);
                continue;
            }
            const std::uint32_t sub = d[i - 1][j - 1] + (q[i - 1] == t[j - 1] ? 0u : 1u);
            d[i][j] = std::min({sub, d[i - 1][j] + 1, d[i][j - 1] + 1});
        }
    }
    return d;
}

// Traceback of the full table from (m, n), preferring diagonal, then vertical, then horizontal.
Cells full_traceback(const std::string& q, const std::string& t) {
    const auto d = full_table(q, t);
    std::size_t i = q.size();
    std::size_t j = t.size();
    Cells cells{{i, j}};
    while (i > 0 || j > 0) {
        if (i > 0 && j > 0 && d[i][j] == d[i - 1][j - 1] + (q[i - 1] == t[j - 1] ? 0u : 1u)) {
            --i;
            --j;
        } else if (i > 0 && d[i][j] == d[i - 1][j] + 1) {
            --i;
        } else {
            --j;
        }
        cells.emplace_back(i, j);
    }
    std::reverse(cells.begin(), cells.end());
    return cells;
}

// The unit cost of a path from (0, 0) to (m, n), or -1 if it is not one.
long long path_cost(const std::string& q, const std::string& t, const Cells& cells) {
    if (cells.empty() || cells.front() != PathCell{0, 0}
        || cells.back() != PathCell{q.size(), t.size()})
        return -1;
    long long cost = 0;
    for (std::size_t k = 1; k < cells.size(); ++k) {
        const auto [i0, j0] = cells[k - 1];
        const auto [i1, j1] = cells[k];
        if (i1 == i0 + 1 && j1 == j0 + 1) {
            cost += q[i0] == t[j0] ? 0 : 1;
        } else if ((i1 == i0 + 1 && j1 == j0) || (i1 == i0 && j1 == j0 + 1)) {
            cost += 1;
        } else {
            return -1;
        }
    }
    return cost;
}

std::string random_sequence(std::mt19937_64& rng, std::size_t length) {
    std::string s(length, 'A');
    for (char& c : s)
        c = "ACGT"[rng() % 4];
    return s;
}

// A copy of `s` with a few random substitutions, insertions and deletions.
std::string mutate(std::mt19937_64& rng, std::string s, std::size_t edits) {
    for (std::size_t k = 0; k < edits; ++k) {
        const std::size_t pos = s.empty() ? 0 : rng() % s.size();
        switch (rng() % 3) {
            case 0:
                if (!s.empty())
                    s[pos] = "ACGT"[rng() % 4];
                break;
            case 1:
                s.insert(s.begin() + static_cast<std::ptrdiff_t>(pos), "ACGT"[rng() % 4]);
                break;
            default:
                if (!s.empty())
                    s.erase(s.begin() + static_cast<std::ptrdiff_t>(pos));
                break;
        }
    }
    return s;
}

struct EditCase {
    std::string_view query, target;
    std::uint32_t distance;
};
constexpr EditCase edit_cases[] = {
    {"", "", 0},
    {"", "ACGT", 4},
    {"ACGT", "", 4},
    {"A", "A", 0},
    {"A", "C", 1},
    {"ACGT", "AGT", 1},
    {"AC", "CA", 2},
    {"AB", "B", 1},
    {"A", "AA", 1},
    {"a", "A", 1},
    {"kitten", "sitting", 3},
    {"ACGTACGT", "ACGTACGT", 0},
    {"AAAA", "TTTT", 4},
    {"GATTACA", "GCATGCU", 4},
};

TEST(EditDistance, KnownCases) {
    for (const auto& c : edit_cases) {
        SCOPED_TRACE(std::string(c.query) + " | " + std::string(c.target));
        for (const auto& kernel : edit_distance_kernels)
            EXPECT_EQ(kernel.run(c.query, c.target), c.distance) << kernel.name;
    }
}

TEST(EditDistance, LastRow) {
    EXPECT_EQ(edit_last_row("", ""), std::vector<std::uint32_t>({0}));
    EXPECT_EQ(edit_last_row("", "ACG"), std::vector<std::uint32_t>({0, 1, 2, 3}));
    EXPECT_EQ(edit_last_row("ACG", ""), std::vector<std::uint32_t>({3}));
    EXPECT_EQ(edit_last_row("AC", "CA"), std::vector<std::uint32_t>({2, 1, 2}));
}

TEST(EditDistance, AdaptiveTraceEdgeCases) {
    struct TraceCase {
        std::string_view query, target;
        BandedTrace expected;
    };
    const TraceCase cases[] = {
        {"", "", {.cells = {{0, 0}}, .band = 0, .distance = 0}},
        {"", "ACG", {.cells = {{0, 0}, {0, 1}, {0, 2}, {0, 3}}, .band = 3, .distance = 3}},
        {"ACG", "", {.cells = {{0, 0}, {1, 0}, {2, 0}, {3, 0}}, .band = 3, .distance = 3}},
        {"ACG", "ACG", {.cells = {{0, 0}, {1, 1}, {2, 2}, {3, 3}}, .band = 0, .distance = 0}},
        // The first target symbol is the unmatched one: diagonal moves are preferred.
        {"A", "AA", {.cells = {{0, 0}, {0, 1}, {1, 2}}, .band = 1, .distance = 1}},
        {"AB", "B", {.cells = {{0, 0}, {1, 0}, {2, 1}}, .band = 1, .distance = 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.query) + " | " + std::string(c.target));
        EXPECT_EQ(trace_adaptive_banded(c.query, c.target), c.expected);
    }
}

TEST(EditDistance, BandSchedule) {
    // The returned band is the first of |m - n|, then 1 or 2b + 1 capped at max(m, n), that
    // certifies the distance.
    const std::string a100(100, 'A');
    std::string five_subs = a100;
    for (const std::size_t pos : {3, 20, 41, 77, 99})
        five_subs[pos] = 'C';
    struct BandCase {
        std::string query, target;
        std::uint64_t band;
        std::uint32_t distance;
    };
    const BandCase cases[] = {
        {a100, a100, 0, 0},
        {a100, five_subs, 7, 5},
        {a100, std::string(100, 'C'), 100, 100},
        {std::string(10, 'A'), std::string(40, 'C'), 40, 40},
        {std::string(10, 'A'), std::string(40, 'A'), 30, 30},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.query.size()) + " x " + std::to_string(c.target.size()));
        const BandedTrace trace = trace_adaptive_banded(c.query, c.target);
        EXPECT_EQ(trace.band, c.band);
        EXPECT_EQ(trace.distance, c.distance);
    }
}

TEST(EditDistance, BandTooNarrow) {
    // Narrower than |m - n|: absent at once (the band could not reach (m, n)).
    EXPECT_FALSE(trace_banded("A", "ACGT", 2).has_value());
    EXPECT_FALSE(trace_banded("", "ACGT", 3).has_value());
    EXPECT_TRUE(trace_banded("A", "ACGT", 3).has_value());
    // Wide enough to reach (m, n), but the distance exceeds the band.
    EXPECT_FALSE(trace_banded("AAAA", "TTTT", 0).has_value());
    EXPECT_FALSE(trace_banded("AAAA", "TTTT", 3).has_value());
    const auto wide = trace_banded("AAAA", "TTTT", 4);
    ASSERT_TRUE(wide.has_value());
    EXPECT_EQ(wide->distance, 4u);
    EXPECT_EQ(wide->band, 4u);
    // A band far wider than the table behaves like the full table.
    const auto huge = trace_banded("ACGT", "AGT", ~std::uint64_t{0});
    ASSERT_TRUE(huge.has_value());
    EXPECT_EQ(huge->distance, 1u);
    EXPECT_EQ(huge->cells, full_traceback("ACGT", "AGT"));
}

TEST(EditDistance, BytesComparedExactly) {
    const std::string q = {'\0', '\x80', '\xff', 'a'};
    const std::string t = {'\0', '\x81', '\xff', 'A'};
    for (const auto& kernel : edit_distance_kernels)
        EXPECT_EQ(kernel.run(q, t), 2u) << kernel.name;
}

// Lengths that cross the one-word path, the exact multiples of 64 and several words.
constexpr std::size_t lengths[] = {0, 1, 2, 7, 63, 64, 65, 100, 127, 128, 129, 192, 200};

TEST(EditDistance, KernelsAgreeWithFullTable) {
    std::mt19937_64 rng(20261211);
    for (const std::size_t m : lengths) {
        for (const std::size_t n : lengths) {
            const std::string q = random_sequence(rng, m);
            const std::string t = random_sequence(rng, n);
            const std::uint32_t expected = full_table(q, t)[m][n];
            for (const auto& kernel : edit_distance_kernels) {
                ASSERT_EQ(kernel.run(q, t), expected) << kernel.name << " on\n" << q << "\n" << t;
            }
            ASSERT_EQ(edit_last_row(q, t), full_table(q, t)[m]) << q << "\n" << t;
        }
    }
}

TEST(EditDistance, KernelsAgreeOnSimilarPairs) {
    std::mt19937_64 rng(7);
    for (const std::size_t m : lengths) {
        for (int rep = 0; rep < 8; ++rep) {
            const std::string q = random_sequence(rng, m);
            const std::string t = mutate(rng, q, rng() % 6);
            const std::uint32_t expected = full_table(q, t)[q.size()][t.size()];
            for (const auto& kernel : edit_distance_kernels) {
                ASSERT_EQ(kernel.run(q, t), expected) << kernel.name << " on\n" << q << "\n" << t;
            }
        }
    }
}

TEST(EditDistance, MyersOnRandomBytes) {
    std::mt19937_64 rng(99);
    for (int rep = 0; rep < 60; ++rep) {
        std::string q(rng() % 200, '\0');
        std::string t(rng() % 200, '\0');
        // Few distinct symbols, so that matches are common; byte values across the whole range.
        for (char& c : q)
            c = static_cast<char>((rng() % 4) * 85);
        for (char& c : t)
            c = static_cast<char>((rng() % 4) * 85);
        ASSERT_EQ(distance_myers(q, t), full_table(q, t)[q.size()][t.size()]) << "rep " << rep;
    }
}

TEST(EditDistance, TracePathsAreOptimalAndCanonical) {
    std::mt19937_64 rng(42);
    for (const std::size_t m : lengths) {
        for (int rep = 0; rep < 6; ++rep) {
            const std::string q = random_sequence(rng, m);
            const std::string t =
                rep % 2 == 0 ? mutate(rng, q, rng() % 8) : random_sequence(rng, rng() % 140);
            SCOPED_TRACE(q + "\n" + t);
            const BandedTrace trace = trace_adaptive_banded(q, t);
            const std::uint32_t expected = full_table(q, t)[q.size()][t.size()];
            ASSERT_EQ(trace.distance, expected);
            ASSERT_EQ(path_cost(q, t, trace.cells), expected);
            ASSERT_LE(trace.distance, trace.band);
            for (const auto& [i, j] : trace.cells)
                ASSERT_LE(i > j ? i - j : j - i, trace.band) << "cell outside the band";
            // The diagonal-vertical-horizontal preference is part of the records' contract.
            ASSERT_EQ(trace.cells, full_traceback(q, t));
        }
    }
}

// Random pairs of every kind the banded kernels must handle: similar (a few to many edits),
// unrelated, very unequal lengths, empty, near multiples of 64, and two-letter or repetitive
// sequences with many tied optimal paths.
std::vector<std::pair<std::string, std::string>> random_pairs(std::uint64_t seed, int count,
                                                              std::size_t max_length) {
    std::mt19937_64 rng(seed);
    constexpr std::size_t near_words[] = {63, 64, 65, 127, 128, 129, 191, 192, 193, 255, 256, 257};
    std::vector<std::pair<std::string, std::string>> pairs;
    for (int rep = 0; rep < count; ++rep) {
        const std::size_t kind = rng() % 6;
        std::size_t m =
            kind == 0 ? near_words[rng() % std::size(near_words)] : rng() % (max_length + 1);
        std::string q = random_sequence(rng, m);
        if (kind == 1) {
            // Two letters, or a run of one: many optimal paths tie.
            for (char& c : q)
                c = rng() % 3 == 0 ? 'A' : (rep % 2 == 0 ? 'C' : 'A');
        }
        std::string t;
        switch (rng() % 5) {
            case 0:
                t = random_sequence(rng, rng() % (max_length + 1));
                break;
            case 1:
                t = mutate(rng, q, rng() % (m / 2 + 2));
                break;
            case 2:
                t = q.substr(0, rng() % (m + 1));
                break;
            default:
                t = mutate(rng, q, rng() % (m / 20 + 3));
                break;
        }
        if (rng() % 2 == 0)
            std::swap(q, t);
        pairs.emplace_back(std::move(q), std::move(t));
    }
    pairs.emplace_back("", "");
    pairs.emplace_back("", std::string(130, 'G'));
    pairs.emplace_back(std::string(130, 'G'), "");
    return pairs;
}

TEST(EditDistance, BandedMyersAgreesWithFullMyers) {
    for (const auto& [q, t] : random_pairs(314, 400, 700)) {
        ASSERT_EQ(distance_myers(q, t), distance_myers_full(q, t)) << q << "\n" << t;
        ASSERT_EQ(distance_myers(t, q), distance_myers_full(q, t)) << q << "\n" << t;
    }
    // Long similar pairs, whose distance needs several doublings of the band.
    std::mt19937_64 rng(2718);
    for (const std::size_t edits : {0, 10, 63, 64, 65, 200, 700}) {
        const std::string q = random_sequence(rng, 3000 + rng() % 200);
        const std::string t = mutate(rng, q, edits);
        ASSERT_EQ(distance_myers(q, t), distance_myers_full(q, t)) << edits << " edits";
    }
}

TEST(EditDistance, BitTraceEqualsReferenceTrace) {
    for (const auto& [q, t] : random_pairs(1618, 250, 400)) {
        SCOPED_TRACE(q + "\n" + t);
        const BandedTrace adaptive = trace_adaptive_banded_reference(q, t);
        ASSERT_EQ(trace_adaptive_banded(q, t), adaptive);
        const std::uint64_t gap = q.size() > t.size() ? q.size() - t.size() : t.size() - q.size();
        const std::uint64_t d = adaptive.distance;
        for (const std::uint64_t band :
             {gap, gap + 1, d == 0 ? 0 : d - 1, d, d + 1, 2 * d + 3, gap == 0 ? 0 : gap - 1}) {
            ASSERT_EQ(trace_banded(q, t, band), trace_banded_reference(q, t, band))
                << "band " << band;
        }
    }
}

TEST(EditDistance, BitTraceOnLongPairs) {
    // Bands of hundreds of diagonals over several thousand rows.
    std::mt19937_64 rng(577);
    for (const std::size_t edits : {0, 30, 150, 600}) {
        const std::string q = random_sequence(rng, 2000 + rng() % 300);
        const std::string t = mutate(rng, q, edits);
        SCOPED_TRACE(std::to_string(edits) + " edits");
        const BandedTrace trace = trace_adaptive_banded(q, t);
        ASSERT_EQ(trace, trace_adaptive_banded_reference(q, t));
        ASSERT_EQ(trace.distance, distance_myers_full(q, t));
    }
}

// Long pairs for the bit-parallel band and its traceback: divergent enough that the band, not
// diagonal transition, is used; unequal lengths; periodic sequences, where many paths tie; long
// gaps, which mislead the pruned pass that bounds the distance.
std::vector<std::pair<std::string, std::string>> long_pairs() {
    std::mt19937_64 rng(4242);
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const std::size_t edits : {40, 250, 500, 900}) {
        const std::string q = random_sequence(rng, 1500 + rng() % 1000);
        pairs.emplace_back(q, mutate(rng, q, edits));
    }
    const std::string q = random_sequence(rng, 2000);
    // A shifted window and a truncated copy: the path starts or ends with a long gap.
    pairs.emplace_back(q, mutate(rng, q.substr(300), 200));
    pairs.emplace_back(mutate(rng, q.substr(0, 1400), 150), q);
    // A long gap in the middle: the pruned pass that bounds the distance loses the path there,
    // so the bound is well above the distance.
    pairs.emplace_back(q, mutate(rng, q.substr(0, 700) + q.substr(1150), 30));
    std::string periodic;
    for (int k = 0; k < 400; ++k)
        periodic += k % 7 == 0 ? "ACGTT" : "ACGT";
    pairs.emplace_back(periodic, mutate(rng, periodic, 120));
    pairs.emplace_back(periodic, mutate(rng, periodic.substr(9), 40));
    pairs.emplace_back(random_sequence(rng, 1200), random_sequence(rng, 1000));
    return pairs;
}

TEST(EditDistance, BandedKernelsOnLongPairs) {
    for (const auto& [q, t] : long_pairs()) {
        SCOPED_TRACE(std::to_string(q.size()) + " x " + std::to_string(t.size()));
        const BandedTrace expected = trace_adaptive_banded_reference(q, t);
        ASSERT_EQ(trace_adaptive_banded(q, t), expected);
        ASSERT_EQ(distance_myers(q, t), expected.distance);
        ASSERT_EQ(distance_myers(t, q), expected.distance);
        const std::uint64_t d = expected.distance;
        for (const std::uint64_t band : {d - 1, d + 5})
            ASSERT_EQ(trace_banded(q, t, band), trace_banded_reference(q, t, band)) << band;
    }
}

TEST(EditDistance, EveryInstructionSetGivesTheSameResults) {
    auto pairs = random_pairs(2025, 120, 500);
    const auto more = long_pairs();
    pairs.insert(pairs.end(), more.begin(), more.begin() + 4);
    std::vector<std::uint32_t> distances;
    std::vector<BandedTrace> traces;
    for (const auto& [q, t] : pairs) {
        distances.push_back(distance_myers_full(q, t));
        traces.push_back(trace_adaptive_banded_reference(q, t));
    }
    for (const simd::Isa isa : {simd::Isa::scalar, simd::Isa::avx2, simd::Isa::avx512bw}) {
        if (static_cast<int>(isa) > static_cast<int>(simd::machine_isa()))
            continue;
        const simd::ScopedIsaCap cap(isa);
        for (std::size_t k = 0; k < pairs.size(); ++k) {
            const auto& [q, t] = pairs[k];
            ASSERT_EQ(distance_myers(q, t), distances[k]) << static_cast<int>(isa) << "\n"
                                                          << q << "\n"
                                                          << t;
            ASSERT_EQ(trace_adaptive_banded(q, t), traces[k]) << static_cast<int>(isa) << "\n"
                                                              << q << "\n"
                                                              << t;
        }
    }
}

}  // namespace
}  // namespace rux_dp
