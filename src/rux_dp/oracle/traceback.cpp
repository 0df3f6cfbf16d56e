#include "rux_dp/oracle/traceback.hpp"

#include <cmath>
#include <limits>
#include <type_traits>
#include <utility>
#include <variant>

#include "rux_dp/base/invariant.hpp"
#include "rux_dp/engine/rux_engine.hpp"
#include "rux_dp/oracle/scheme.hpp"
#include "rux_dp/problems/edit_distance.hpp"
#include "rux_dp/problems/nw_affine.hpp"
#include "rux_dp/problems/nw_align.hpp"
#include "rux_dp/problems/semiglobal.hpp"
#include "rux_dp/problems/smith_waterman.hpp"

namespace rux_dp {

namespace {

constexpr std::string_view incompatible = "problem mode and scoring model are incompatible";

// The kernels compute in 32-bit integers with sentinels at -2^29 and -2^28. Any alignment score
// is bounded in absolute value by (m + n) times the largest absolute value of one column, so
// below 2^28 nothing can wrap or meet a sentinel. Beyond that the pair is refused rather than
// risking a wrong score reported as exact.
Result<void> check_score_range(const SubstitutionScoring& substitution, std::int64_t largest_gap,
                               std::string_view query, std::string_view target) {
    constexpr long double limit = static_cast<long double>(1 << 28);
    const long double per_column = static_cast<long double>(
        std::max(substitution.max_abs_score(), largest_gap));
    const long double columns =
        static_cast<long double>(query.size()) + static_cast<long double>(target.size());
    if (per_column * columns < limit) return {};
    return std::unexpected(
        "alignment scores of this pair could exceed the exact 32-bit kernel range; use smaller "
        "scoring values");
}

std::int64_t abs64(std::int32_t v) { return v < 0 ? -static_cast<std::int64_t>(v) : v; }

template <class Cells>
std::vector<PathCell> plain_cells(const Cells& path) {
    std::vector<PathCell> cells;
    cells.reserve(path.size());
    for (const auto& cell : path) cells.emplace_back(cell.row, cell.col);
    return cells;
}

// Cost of an edit path under unit costs, or nothing when a move is not a unit step inside the
// sequences.
std::optional<std::uint64_t> edit_path_cost(std::span<const PathCell> cells,
                                            std::string_view query, std::string_view target) {
    std::uint64_t cost = 0;
    for (std::size_t k = 1; k < cells.size(); ++k) {
        const auto [i0, j0] = cells[k - 1];
        const auto [i1, j1] = cells[k];
        if (i1 < i0 || j1 < j0) return std::nullopt;
        if (i1 == i0) {
            if (j1 != j0 + 1) return std::nullopt;
            ++cost;
            continue;
        }
        if (i1 != i0 + 1) return std::nullopt;
        if (j1 == j0) {
            ++cost;
            continue;
        }
        if (j1 != j0 + 1 || i0 >= query.size() || j0 >= target.size()) return std::nullopt;
        if (query[i0] != target[j0]) ++cost;
    }
    return cost;
}

Result<TracedSolution> finish(std::string backend, std::string_view query, std::string_view target,
                              std::span<const PathCell> cells, ObjectiveKind kind,
                              std::int64_t value, bool realized, bool include_operations) {
    const AlignmentTrace trace =
        AlignmentTrace::from_cells(query, target, cells, include_operations);
    auto record = trace_record(trace, include_operations);
    if (!record) return std::unexpected(std::move(record).error());
    return TracedSolution{.backend = std::move(backend),
                          .trace = std::move(*record),
                          .objective = Objective{.kind = kind, .value = value},
                          .realized = realized};
}

}  // namespace

// Whether the best path inside |i - j| <= band is a global optimum. A global path that leaves
// the band reaches a cell with |i - j| >= band + 1 and must come back to the end diagonal m - n,
// so (with |m - n| <= band) it holds at least G = 2(band + 1) - |m - n| gap symbols, in at least
// one insertion run and one deletion run; its a aligned pairs number at most (m + n - G) / 2.
// Each pair scores at most S (the largest substitution value), each run adds gap_open and each
// gap symbol gap_extend, so for gap values <= 0 such a path scores at most
//   a * S + 2 * gap_open + (m + n - 2a) * gap_extend,
// which is linear in a and so maximal at a = 0 or a = floor((m + n - G) / 2). A banded score
// at least that bound is optimal. A band that spans the whole table always certifies; positive
// gap values are never certified.
bool banded_affine_certified(const NwAffineProblem& problem, std::uint64_t band,
                             std::int32_t banded_score) {
    const std::uint64_t m = problem.query.size();
    const std::uint64_t n = problem.target.size();
    if (band >= std::max(m, n)) return true;
    if (problem.gap_open > 0 || problem.gap_extend > 0) return false;
    const std::uint64_t diff = m > n ? m - n : n - m;
    if (diff > band) return false;
    const long double total = static_cast<long double>(m) + static_cast<long double>(n);
    const long double min_gaps = 2.0L * (static_cast<long double>(band) + 1.0L) -
                                 static_cast<long double>(diff);
    if (min_gaps > total) return true;  // no global path can leave the band
    const long double max_pairs = std::floor((total - min_gaps) / 2.0L);
    long double best_substitution = 0.0L;
    if (const SubstitutionMatrix* matrix = problem.scoring.matrix_ptr()) {
        best_substitution = static_cast<long double>(matrix->scores.front());
        for (const std::int32_t s : matrix->scores)
            best_substitution = std::max(best_substitution, static_cast<long double>(s));
    } else {
        const auto& mm = problem.scoring.match_mismatch_values();
        best_substitution = std::max(static_cast<long double>(mm.match_score),
                                     -static_cast<long double>(mm.mismatch_penalty));
    }
    const long double open = static_cast<long double>(problem.gap_open);
    const long double extend = static_cast<long double>(problem.gap_extend);
    const auto outside_bound = [&](long double pairs) {
        return pairs * best_substitution + 2.0L * open + (total - 2.0L * pairs) * extend;
    };
    const long double bound = std::max(outside_bound(0.0L), outside_bound(max_pairs));
    return static_cast<long double>(banded_score) >= bound;
}

// The next band for "auto" after `band` did not certify, or nothing when the table of the next
// one would exceed the budget (or `band` already covers the whole table). A wider band can only
// score at least as well as `banded_score`, and the bound for leaving the band only falls as the
// band widens, so with a score in hand the band goes straight to the narrowest one at which that
// score would certify, and the next pass is the last. Without one (no alignment fits inside the
// band) the band doubles, and reaches at least the length difference.
std::optional<std::uint64_t> widened_band(const NwAffineProblem& problem, std::uint64_t band,
                                          std::optional<std::int32_t> banded_score,
                                          std::uint64_t budget_bytes) {
    const std::uint64_t m = problem.query.size();
    const std::uint64_t n = problem.target.size();
    const std::uint64_t whole = std::max(m, n);
    if (band >= whole) return std::nullopt;
    std::uint64_t next = 0;
    if (banded_score) {
        std::uint64_t lo = band;   // does not certify
        std::uint64_t hi = whole;  // always certifies
        while (hi - lo > 1) {
            const std::uint64_t mid = lo + (hi - lo) / 2;
            (banded_affine_certified(problem, mid, *banded_score) ? hi : lo) = mid;
        }
        next = hi;
    } else {
        next = band > whole / 2 ? whole : std::max<std::uint64_t>(2 * band, 1);
        next = std::max(next, m > n ? m - n : n - m);
    }
    if (banded_affine_table_bytes(m, n, next) > budget_bytes) return std::nullopt;
    return next;
}

namespace {

template <class Problem>
EngineRun<typename Problem::PathElement> engine_run(const Problem& problem,
                                                    std::uint64_t block_size) {
    if constexpr (std::is_same_v<Problem, NwProblem>) {
        // Short pairs: the same run from one whole table, without the engine's repeated passes.
        if (auto run = nw_whole_table_run(problem, block_size))
            return std::move(*run);
    }
    return RuxEngine<Problem>::make(problem, block_size).run_with_stats();
}

template <class Problem>
Result<TracedSolution> run_linear(const Problem& problem, std::uint64_t block_size,
                                  bool include_operations) {
    const auto run = engine_run(problem, block_size);
    const PathScore rescored = problem.score_path(run.path);
    return finish("rux", problem.query, problem.target, run.path, ObjectiveKind::score,
                  run.score, rescored.valid && rescored.score == run.score, include_operations);
}

}  // namespace

std::uint64_t default_block_size(std::uint64_t query_length) {
    if (query_length < 2) return 1;
    const double root = std::ceil(std::sqrt(static_cast<double>(query_length)));
    return static_cast<std::uint64_t>(root);
}

Result<TraceRecord> trace_record(const AlignmentTrace& trace, bool include_operations) {
    auto cigar = Cigar::parse(trace.cigar);
    if (!cigar) return std::unexpected(std::move(cigar).error());
    // Built in one expression: assigning the list afterwards trips GCC 12's -Wmaybe-uninitialized
    // at -O1 with sanitizers.
    return TraceRecord{
        .query_span = AlignmentSpan{.start = trace.query_span.first, .end = trace.query_span.second},
        .target_span =
            AlignmentSpan{.start = trace.target_span.first, .end = trace.target_span.second},
        .cigar = std::move(*cigar),
        .operations = include_operations
                          ? std::optional<std::vector<AlignmentStep>>(trace.operations)
                          : std::nullopt,
    };
}

Result<TracedSolution> solve_trace(const SolveRequest& request) {
    const ProblemSpec& problem = request.problem;
    const std::string_view query = request.query;
    const std::string_view target = request.target;
    if (!scoring_fits_mode(problem.mode, problem.scoring)) return std::unexpected(std::string(incompatible));
    if (request.block_size) invariant(*request.block_size > 0, "block size must be positive");
    const std::uint64_t block_size =
        request.block_size ? *request.block_size : default_block_size(query.size());

    if (problem.mode == AlignmentMode::edit_distance) {
        const BandedTrace banded = trace_adaptive_banded(query, target);
        const auto cost = edit_path_cost(banded.cells, query, target);
        const bool realized = cost && *cost == banded.distance;
        return finish("adaptive-banded", query, target, banded.cells, ObjectiveKind::distance,
                      banded.distance, realized, request.operations);
    }

    if (const auto* linear = std::get_if<LinearScoring>(&problem.scoring)) {
        auto substitution = substitution_internal(linear->substitution);
        if (!substitution) return std::unexpected(std::move(substitution).error());
        if (auto range = check_score_range(*substitution, abs64(linear->gap), query, target);
            !range)
            return std::unexpected(std::move(range).error());
        switch (problem.mode) {
            case AlignmentMode::global_linear:
                return run_linear(NwProblem{.scoring = std::move(*substitution),
                                            .query = query,
                                            .target = target,
                                            .gap = linear->gap},
                                  block_size, request.operations);
            case AlignmentMode::local_linear:
                return run_linear(SmithWatermanProblem{.scoring = std::move(*substitution),
                                                       .query = query,
                                                       .target = target,
                                                       .gap = linear->gap},
                                  block_size, request.operations);
            default:
                return run_linear(SemiGlobalProblem{.scoring = std::move(*substitution),
                                                    .query = query,
                                                    .target = target,
                                                    .gap = linear->gap},
                                  block_size, request.operations);
        }
    }

    const auto& affine = std::get<AffineScoring>(problem.scoring);
    auto substitution = substitution_internal(affine.substitution);
    if (!substitution) return std::unexpected(std::move(substitution).error());
    if (auto range = check_score_range(
            *substitution, abs64(affine.gap_open) + abs64(affine.gap_extend), query, target);
        !range)
        return std::unexpected(std::move(range).error());
    const NwAffineProblem affine_problem{.scoring = std::move(*substitution),
                                         .query = query,
                                         .target = target,
                                         .gap_open = affine.gap_open,
                                         .gap_extend = affine.gap_extend};

    const auto from_engine = [&](std::string backend, std::uint64_t engine_block_size) {
        const auto run =
            RuxEngine<NwAffineProblem>::make(affine_problem, engine_block_size).run_with_stats();
        const PathScore rescored = affine_problem.score_path(run.path);
        return finish(std::move(backend), query, target, plain_cells(run.path),
                      ObjectiveKind::score, run.score,
                      rescored.valid && rescored.score == run.score, request.operations);
    };
    const auto from_band = [&](const BandedAffineTrace& banded) {
        const PathScore rescored = affine_problem.score_path(banded.path);
        return finish("banded-affine", query, target, plain_cells(banded.path),
                      ObjectiveKind::score, banded.score,
                      rescored.valid && rescored.score == banded.score, request.operations);
    };

    if (request.backend == "rux") return from_engine("rux", block_size);
    if (request.backend == "auto") {
        // The banded result stands only when it is proved optimal. Otherwise the band widens
        // while its table fits the budget, and only then does the whole table run.
        std::uint64_t band = request.band;
        for (;;) {
            const auto banded = trace_banded_affine(affine_problem, band);
            if (banded && banded_affine_certified(affine_problem, band, banded->score))
                return from_band(*banded);
            const std::optional<std::uint64_t> wider =
                widened_band(affine_problem, band, banded ? std::optional(banded->score)
                                                          : std::nullopt);
            if (!wider) break;
            band = *wider;
        }
        return from_engine("rux-linear", 1);
    }
    if (request.backend == "banded-affine") {
        const auto banded = trace_banded_affine(affine_problem, request.band);
        if (!banded)
            return std::unexpected("banded-affine did not find an optimum inside band " +
                                   std::to_string(request.band) +
                                   "; use --backend auto or increase --band");
        return from_band(*banded);
    }
    return std::unexpected("unsupported affine backend '" + request.backend + "'");
}

Result<Objective> reference_objective(const ProblemSpec& problem, std::string_view query,
                                      std::string_view target) {
    if (!scoring_fits_mode(problem.mode, problem.scoring)) return std::unexpected(std::string(incompatible));
    if (problem.mode == AlignmentMode::edit_distance) {
        const std::vector<std::uint32_t> row = edit_last_row(query, target);
        return Objective{.kind = ObjectiveKind::distance, .value = row.empty() ? 0 : row.back()};
    }
    if (const auto* linear = std::get_if<LinearScoring>(&problem.scoring)) {
        auto substitution = substitution_internal(linear->substitution);
        if (!substitution) return std::unexpected(std::move(substitution).error());
        if (auto range = check_score_range(*substitution, abs64(linear->gap), query, target);
            !range)
            return std::unexpected(std::move(range).error());
        std::int32_t value = 0;
        switch (problem.mode) {
            case AlignmentMode::global_linear: {
                const auto row = nw_last_row(query, target, *substitution, linear->gap);
                value = row.empty() ? 0 : row.back();
                break;
            }
            case AlignmentMode::local_linear:
                value = SmithWatermanProblem{.scoring = std::move(*substitution),
                                             .query = query,
                                             .target = target,
                                             .gap = linear->gap}
                            .full_table_score();
                break;
            default:
                value = SemiGlobalProblem{.scoring = std::move(*substitution),
                                          .query = query,
                                          .target = target,
                                          .gap = linear->gap}
                            .full_table_score();
                break;
        }
        return Objective{.kind = ObjectiveKind::score, .value = value};
    }
    const auto& affine = std::get<AffineScoring>(problem.scoring);
    auto substitution = substitution_internal(affine.substitution);
    if (!substitution) return std::unexpected(std::move(substitution).error());
    if (auto range = check_score_range(
            *substitution, abs64(affine.gap_open) + abs64(affine.gap_extend), query, target);
        !range)
        return std::unexpected(std::move(range).error());
    const NwAffineProblem affine_problem{.scoring = std::move(*substitution),
                                         .query = query,
                                         .target = target,
                                         .gap_open = affine.gap_open,
                                         .gap_extend = affine.gap_extend};
    return Objective{.kind = ObjectiveKind::score, .value = affine_problem.full_table_score()};
}

}  // namespace rux_dp
