#pragma once

// Problems, requests and random pairs shared by the solve, traceback, verify and compare tests.

#include "rux_dp/oracle/records.hpp"
#include "rux_dp/oracle/solve.hpp"
#include "rux_dp/oracle/verify.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support/score_dp_brute_force.hpp"

namespace rux_dp::oracle_test {

inline ProblemSpec edit_problem() {
    return ProblemSpec{.mode = AlignmentMode::edit_distance, .scoring = EditDistanceScoring{}};
}

inline ProblemSpec linear_problem(AlignmentMode mode, std::int32_t match = 2,
                                  std::int32_t mismatch_penalty = 3, std::int32_t gap = -2) {
    return ProblemSpec{
        .mode = mode,
        .scoring =
            LinearScoring{.substitution = MatchMismatchScheme{.match_score = match,
                                                              .mismatch_penalty = mismatch_penalty},
                          .gap = gap}};
}

inline ProblemSpec affine_problem(std::int32_t gap_open = -4, std::int32_t gap_extend = -1,
                                  std::int32_t match = 2, std::int32_t mismatch_penalty = 3) {
    return ProblemSpec{
        .mode = AlignmentMode::global_affine,
        .scoring =
            AffineScoring{.substitution = MatchMismatchScheme{.match_score = match,
                                                              .mismatch_penalty = mismatch_penalty},
                          .gap_open = gap_open,
                          .gap_extend = gap_extend}};
}

inline ProblemSpec blosum_problem(AlignmentMode mode, std::int32_t gap = -4) {
    return ProblemSpec{.mode = mode,
                       .scoring = LinearScoring{.substitution = Blosum62Scheme{}, .gap = gap}};
}

/// One problem per mode, in mode order.
inline std::array<ProblemSpec, 5> every_mode() {
    return {edit_problem(), linear_problem(AlignmentMode::global_linear), affine_problem(),
            linear_problem(AlignmentMode::local_linear),
            linear_problem(AlignmentMode::semiglobal_linear)};
}

/// The backends that scope alignment accepts for the mode.
inline std::vector<std::string> alignment_backends(AlignmentMode mode) {
    switch (mode) {
        case AlignmentMode::edit_distance:
            return {"auto", "adaptive-banded"};
        case AlignmentMode::global_affine:
            return {"auto", "rux", "banded-affine"};
        default:
            return {"auto", "rux"};
    }
}

inline SolveRequest request_for(ProblemSpec problem, std::string query, std::string target) {
    SolveRequest request;
    request.problem = std::move(problem);
    request.query_id = "q";
    request.target_id = "t";
    request.query = std::move(query);
    request.target = std::move(target);
    return request;
}

inline VerificationReport verify_record(const AlignmentRecord& record, std::string query,
                                        std::string target,
                                        VerificationLevel level = VerificationLevel::optimal,
                                        std::uint64_t max_cells = 0) {
    return verify(VerificationRequest{.record = record,
                                      .query = std::move(query),
                                      .target = std::move(target),
                                      .max_cells = max_cells,
                                      .level = level});
}

inline std::vector<std::string> check_names(const std::vector<CheckResult>& checks) {
    std::vector<std::string> names;
    for (const CheckResult& check : checks)
        names.push_back(check.name);
    return names;
}

inline std::vector<std::string> failed_names(const std::vector<CheckResult>& checks) {
    std::vector<std::string> names;
    for (const CheckResult& check : checks) {
        if (!check.passed)
            names.push_back(check.name);
    }
    return names;
}

/// `source` with about one edit per `period` symbols: substitutions, and short insertions and
/// deletions, so pairs share long stretches and ties abound.
inline std::string mutated(std::mt19937_64& rng, const std::string& source, std::uint64_t period) {
    std::string out;
    for (const char c : source) {
        if (rng() % period != 0) {
            out.push_back(c);
            continue;
        }
        switch (rng() % 3) {
            case 0:
                out.push_back("ACGT"[rng() % 4]);
                break;
            case 1:
                break;  // deleted
            default:
                out.push_back(c);
                out.push_back("ACGT"[rng() % 4]);
                break;
        }
    }
    return out;
}

/// A random pair: mostly related sequences of up to `max_length` symbols, sometimes unrelated,
/// sometimes with an empty side.
inline std::pair<std::string, std::string> random_pair(std::mt19937_64& rng,
                                                       std::size_t max_length) {
    const std::size_t m = rng() % (max_length + 1);
    std::string query = test_support::random_sequence(rng, m);
    switch (rng() % 8) {
        case 0:
            return {query, test_support::random_sequence(rng, rng() % (max_length + 1))};
        case 1:
            return {query, ""};
        default:
            return {query, mutated(rng, query, 2 + rng() % 6)};
    }
}

inline std::string pair_text(const std::string& query, const std::string& target) {
    return "query '" + query + "' target '" + target + "'";
}

}  // namespace rux_dp::oracle_test
