#include "rux_dp/problems/nw_affine_simd.hpp"

#include "rux_dp/base/invariant.hpp"
#include "rux_dp/engine/rux_engine.hpp"
#include "rux_dp/problems/nw_affine.hpp"
#include "rux_dp/problems/simd_dispatch.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "support/score_dp_brute_force.hpp"

namespace rux_dp {
namespace {

namespace ts = test_support;
using simd::Isa;
using simd::Lanes;

// The vector instruction sets of this machine; each is checked against the scalar rows.
std::vector<Isa> vector_isas() {
    std::vector<Isa> isas;
    for (const Isa isa : {Isa::avx2, Isa::avx512bw})
        if (static_cast<int>(isa) <= static_cast<int>(simd::machine_isa()))
            isas.push_back(isa);
    return isas;
}

// A value or the text of the invariant violation that replaced it.
template <class T>
using Outcome = std::variant<T, std::string>;

template <class F>
auto outcome_under(Isa isa, F&& f) -> Outcome<decltype(f())> {
    const simd::ScopedIsaCap cap(isa);
    try {
        return f();
    } catch (const InvariantViolation& e) {
        return std::string(e.what());
    }
}

struct Scoring {
    const char* name;
    SubstitutionScoring scoring;
    std::int32_t gap_open;
    std::int32_t gap_extend;
    std::string_view alphabet;
};

const std::vector<Scoring>& scorings() {
    static const std::vector<Scoring> all = {
        {"mm 2/3 open -3 extend -1", SubstitutionScoring::match_mismatch(2, 3), -3, -1, "ACGT"},
        {"mm 1/1 open 0 extend -1", SubstitutionScoring::match_mismatch(1, 1), 0, -1, "ACGT"},
        {"mm 1/-2 open -2 extend -3", SubstitutionScoring::match_mismatch(1, -2), -2, -3, "ACG"},
        {"mm 2/3 open 4 extend 1", SubstitutionScoring::match_mismatch(2, 3), 4, 1, "ACGT"},
        {"mm 2/3 open -6 extend 2", SubstitutionScoring::match_mismatch(2, 3), -6, 2, "ACGT"},
        {"BLOSUM62 open -11 extend -1", SubstitutionScoring::matrix(SubstitutionMatrix::blosum62()),
         -11, -1, "ARNDCQEGHILKMFPSTWYVBZX*"},
        {"mm 20/30 open -30 extend -10", SubstitutionScoring::match_mismatch(20, 30), -30, -10,
         "ACGT"},
        {"mm 1000/1500 open -2000 extend -500", SubstitutionScoring::match_mismatch(1000, 1500),
         -2000, -500, "AC"},
        {"mm 2/300000000 open -3 extend -1", SubstitutionScoring::match_mismatch(2, 300'000'000),
         -3, -1, "ACGT"},
        {"mm 2/3 open -300000000 extend -1", SubstitutionScoring::match_mismatch(2, 3),
         -300'000'000, -1, "ACGT"},
        {"mm 2/3 open 0 extend -70000000", SubstitutionScoring::match_mismatch(2, 3), 0,
         -70'000'000, "ACGT"},
    };
    return all;
}

NwAffineProblem problem_of(const Scoring& s, std::string_view q, std::string_view t) {
    return {.scoring = s.scoring,
            .query = q,
            .target = t,
            .gap_open = s.gap_open,
            .gap_extend = s.gap_extend};
}

// A copy of `s` with about one symbol in `rate` substituted, deleted or followed by an insertion.
std::string mutate(std::mt19937_64& rng, const std::string& s, std::string_view alphabet,
                   unsigned rate) {
    std::string out;
    for (const char c : s) {
        switch (rng() % rate) {
            case 0:
                out += alphabet[rng() % alphabet.size()];
                break;
            case 1:
                break;
            case 2:
                out += c;
                out += alphabet[rng() % alphabet.size()];
                break;
            default:
                out += c;
        }
    }
    return out;
}

// A sequence of length n that mostly follows `q`.
std::string similar(std::mt19937_64& rng, const std::string& q, std::size_t n,
                    std::string_view alphabet) {
    std::string t = mutate(rng, q, alphabet, 6).substr(0, n);
    return t + ts::random_sequence(rng, n - t.size(), alphabet);
}

constexpr std::size_t lengths[] = {0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 300};

TEST(NwAffineSimd, LaneWidthFollowsTheBound) {
    const auto& all = scorings();
    const std::string q(65, 'A');
    const std::string t(64, 'C');
    // From a start in GapInT alone, whose only usable value is 0.
    const auto lanes = [&](const Scoring& s, std::string_view query, std::string_view target) {
        return detail::affine_pass_lanes(
            constrained_start_frontier(target.size(), state_bit(AffineState::gap_in_t), s.gap_open,
                                       s.gap_extend),
            query, target, s.scoring, detail::affine_gaps(s.gap_open, s.gap_extend));
    };
    EXPECT_EQ(lanes(all[0], q, t), Lanes::bits16);
    EXPECT_EQ(lanes(all[5], "WWW", "CCC"), Lanes::bits16);
    EXPECT_EQ(lanes(all[6], q, t), Lanes::bits16);
    EXPECT_EQ(lanes(all[6], std::string(300, 'A'), std::string(300, 'A')), Lanes::bits32);
    EXPECT_EQ(lanes(all[7], q, t), Lanes::bits32);
    EXPECT_EQ(lanes(all[8], q, t), Lanes::scalar);
    EXPECT_EQ(lanes(all[9], q, t), Lanes::scalar);
    EXPECT_EQ(lanes(all[10], q, t), Lanes::scalar);
    // (rows + columns + 64) * 4 just inside and just outside 8,000.
    EXPECT_EQ(lanes(all[0], std::string(900, 'A'), std::string(1035, 'A')), Lanes::bits16);
    EXPECT_EQ(lanes(all[0], std::string(900, 'A'), std::string(1036, 'A')), Lanes::bits32);
    // The usable frontier values count: the default start row holds oe + 64e = -68.
    EXPECT_EQ(detail::affine_pass_lanes(constrained_start_frontier(64, 1, -3, -1), "AAAAAAAAAA", t,
                                        all[0].scoring, detail::affine_gaps(-3, -1)),
              Lanes::bits16);
    EXPECT_EQ(detail::affine_pass_lanes(constrained_start_frontier(1035, 1, -3, -1),
                                        std::string(900, 'A'), std::string(1035, 'A'),
                                        all[0].scoring, detail::affine_gaps(-3, -1)),
              Lanes::bits32);
    // A matrix symbol outside the alphabet leaves the pass to the scalar rows and their message.
    EXPECT_EQ(lanes(all[5], "AJ", "AA"), Lanes::scalar);
}

// Score, full-row frontiers from every start set, and the engine's first split and a whole-table
// leaf, vector against scalar, on pairs whose lengths sit around the vector widths.
TEST(NwAffineSimd, RowsMatchScalarAroundVectorWidths) {
    std::mt19937_64 rng(20240611);
    for (const Scoring& s : scorings()) {
        for (const std::size_t m : lengths) {
            for (const std::size_t n : lengths) {
                const std::string q = ts::random_sequence(rng, m, s.alphabet);
                const std::string t = rng() % 2 ? ts::random_sequence(rng, n, s.alphabet)
                                                : similar(rng, q, n, s.alphabet);
                const NwAffineProblem p = problem_of(s, q, t);
                SCOPED_TRACE(std::string(s.name) + " | " + q + " | " + t);
                const auto states = static_cast<AffineStateSet>(1 + rng() % 7);
                const auto end_states = static_cast<AffineStateSet>(1 + rng() % 7);
                const NwAffineSummary all_rows{&p, 0, m};
                const auto score = [&] { return p.full_table_score(); };
                const auto frontier = [&] {
                    return all_rows.apply(
                        constrained_start_frontier(t.size(), states, s.gap_open, s.gap_extend));
                };
                const NwAffineBoundary alpha{0, t.size() / 3, states};
                const NwAffineBoundary beta{m, t.size(), end_states};
                const auto split = [&] {
                    return p.choose_split(0, m / 2, m, alpha, beta, all_rows, all_rows);
                };
                const auto leaf = [&] { return p.reconstruct_leaf(0, m, alpha, beta); };
                const auto want_score = outcome_under(Isa::scalar, score);
                const auto want_frontier = outcome_under(Isa::scalar, frontier);
                const auto want_split = outcome_under(Isa::scalar, split);
                const auto want_leaf = outcome_under(Isa::scalar, leaf);
                for (const Isa isa : vector_isas()) {
                    SCOPED_TRACE("isa " + std::to_string(static_cast<int>(isa)));
                    EXPECT_EQ(outcome_under(isa, score), want_score);
                    EXPECT_EQ(outcome_under(isa, frontier), want_frontier);
                    EXPECT_EQ(outcome_under(isa, split), want_split);
                    EXPECT_EQ(outcome_under(isa, leaf), want_leaf);
                }
            }
        }
    }
}

// Every pair of start and end state sets on a few shapes, through splits at every row.
TEST(NwAffineSimd, SplitsAndLeavesForEveryStateSet) {
    std::mt19937_64 rng(77);
    const auto& all = scorings();
    for (const Scoring* s : {&all[0], &all[3], &all[5], &all[7]}) {
        for (const auto& [m, n] : {std::pair{9, 17}, std::pair{33, 8}, std::pair{16, 40}}) {
            const std::string q = ts::random_sequence(rng, m, s->alphabet);
            const std::string t = ts::random_sequence(rng, n, s->alphabet);
            const NwAffineProblem p = problem_of(*s, q, t);
            const NwAffineSummary all_rows{&p, 0, q.size()};
            SCOPED_TRACE(std::string(s->name) + " | " + q + " | " + t);
            for (AffineStateSet a = 1; a < 8; ++a) {
                for (AffineStateSet b = 1; b < 8; ++b) {
                    const NwAffineBoundary alpha{0, 2, a};
                    const NwAffineBoundary beta{q.size(), t.size() - 1, b};
                    for (std::size_t mid = 0; mid <= q.size(); mid += 4) {
                        const auto split = [&] {
                            return p.choose_split(0, mid, q.size(), alpha, beta, all_rows,
                                                  all_rows);
                        };
                        const auto want = outcome_under(Isa::scalar, split);
                        for (const Isa isa : vector_isas())
                            EXPECT_EQ(outcome_under(isa, split), want)
                                << "states " << int{a} << "/" << int{b} << " mid " << mid;
                    }
                    const auto leaf = [&] { return p.reconstruct_leaf(0, q.size(), alpha, beta); };
                    const auto want = outcome_under(Isa::scalar, leaf);
                    for (const Isa isa : vector_isas())
                        EXPECT_EQ(outcome_under(isa, leaf), want)
                            << "states " << int{a} << "/" << int{b};
                }
            }
        }
    }
}

// Frontier values between NEG_INF and the usable threshold, or below NEG_INF, count as impossible
// in the scalar rows; the vector rows must agree, and keep the usable ones.
TEST(NwAffineSimd, ApplyFromArbitraryFrontiers) {
    std::mt19937_64 rng(5);
    const std::int32_t odd[] = {neg_inf, -300'000'000, std::numeric_limits<std::int32_t>::min(),
                                -268'435'456, -268'435'455 + 1'000'000};
    const auto& all = scorings();
    for (const Scoring* s : {&all[0], &all[4], &all[6]}) {
        for (const std::size_t n : {0, 5, 31, 64, 100}) {
            const std::string q = ts::random_sequence(rng, 40, s->alphabet);
            const std::string t = ts::random_sequence(rng, n, s->alphabet);
            const NwAffineProblem p = problem_of(*s, q, t);
            NwAffineFrontier f = NwAffineFrontier::filled(n + 1);
            for (auto* row : {&f.match, &f.gap_in_t, &f.gap_in_s})
                for (auto& v : *row)
                    v = rng() % 3 ? static_cast<std::int32_t>(rng() % 101) - 50 : odd[rng() % 5];
            SCOPED_TRACE(std::string(s->name) + " | " + t);
            for (const std::size_t rows : {0, 1, 2, 40}) {
                const NwAffineSummary summary{&p, 0, rows};
                const auto apply = [&] { return summary.apply(f); };
                const auto want = outcome_under(Isa::scalar, apply);
                for (const Isa isa : vector_isas())
                    EXPECT_EQ(outcome_under(isa, apply), want) << rows << " rows";
            }
        }
    }
}

// The engine's score and path are the same whatever the instruction set and lane width.
TEST(NwAffineSimd, EnginePathsIdenticalAcrossIsas) {
    std::mt19937_64 rng(99);
    const auto& all = scorings();
    for (const Scoring* s : {&all[0], &all[1], &all[5], &all[6]}) {
        for (const std::size_t m : {150, 300}) {
            const std::string q = ts::random_sequence(rng, m, s->alphabet);
            for (const std::string& t :
                 {mutate(rng, q, s->alphabet, 8), ts::random_sequence(rng, m / 2, s->alphabet)}) {
                const NwAffineProblem p = problem_of(*s, q, t);
                SCOPED_TRACE(std::string(s->name) + " | " + q + " | " + t);
                for (const std::uint64_t block : {1, 7, 21}) {
                    const auto run = [&] {
                        const EngineRun<AffineCell> r =
                            RuxEngine<NwAffineProblem>::make(p, block).run_with_stats();
                        return std::pair{r.score, r.path};
                    };
                    const auto want = outcome_under(Isa::scalar, run);
                    for (const Isa isa : vector_isas())
                        EXPECT_EQ(outcome_under(isa, run), want) << "block " << block;
                }
            }
        }
    }
}

// A matrix symbol outside the alphabet raises the same violation with and without vector rows.
TEST(NwAffineSimd, MissingMatrixSymbolKeepsTheScalarMessage) {
    const Scoring& s = scorings()[5];
    const NwAffineProblem p = problem_of(s, "ARNDJ", "ARND");
    const auto score = [&] { return p.full_table_score(); };
    const auto want = outcome_under(Isa::scalar, score);
    ASSERT_TRUE(std::holds_alternative<std::string>(want));
    for (const Isa isa : vector_isas())
        EXPECT_EQ(outcome_under(isa, score), want);
}

}  // namespace
}  // namespace rux_dp
