// rux_dp and the rux-align program against edlib, WFA2-lib and parasail: one table of time,
// throughput and peak memory per case, with every peer's optimum checked against ours. Built only
// when the three libraries are installed. Run: build-bench/bench/peers [--quick] (--help for more).
//
// Each (case, implementation) cell runs in a forked child, so its peak resident memory (ru_maxrss
// from wait4) is its own; the parent allocates nothing large, so every child starts from the same
// small baseline, printed above the table.
#include "rux_dp/oracle/records.hpp"
#include "rux_dp/oracle/solve.hpp"
#include "rux_dp/problems/edit_distance.hpp"
#include "rux_dp/problems/nw_affine.hpp"
#include "rux_dp/problems/nw_align.hpp"
#include "rux_dp/problems/semiglobal.hpp"
#include "rux_dp/problems/smith_waterman.hpp"
#include "rux_dp/scoring/substitution.hpp"

#include <edlib.h>
#include <fcntl.h>
#include <parasail.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bindings/cpp/WFAligner.hpp>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "edit_pairs.hpp"

namespace {

// The scorings, in our convention (scores added, `mismatch_penalty` subtracted).
constexpr std::int32_t match_score = 2;
constexpr std::int32_t mismatch_penalty = 4;
constexpr std::int32_t linear_gap = -4;     // per gap symbol
constexpr std::int32_t affine_open = -4;    // once per gap run
constexpr std::int32_t affine_extend = -2;  // per gap symbol: a run of k scores -4 - 2k

// parasail charges `open` for a run's first gap symbol and `extend` for each further one, both
// as positive penalties: a run of k costs open + (k - 1) * extend.
constexpr int parasail_linear_open = -linear_gap;
constexpr int parasail_linear_extend = -linear_gap;
constexpr int parasail_affine_open = -(affine_open + affine_extend);
constexpr int parasail_affine_extend = -affine_extend;

// WFA2-lib minimises penalties with match 0. For a global alignment of lengths m and n,
// 2 * (matches + mismatches) + gap symbols = m + n, so with match a, mismatch -b, gap open -o and
// extend -e: score = a(m + n)/2 - [(a + b) * mismatches + (e + a/2) * gap symbols + o * runs].
// With a = 2 the penalties are integers and score = m + n - penalty exactly (the same optimum,
// the same alignments). This holds only end to end, so WFA2 runs the global modes only.
constexpr int wfa_mismatch = match_score + mismatch_penalty;         // 6
constexpr int wfa_linear_indel = -linear_gap + match_score / 2;      // 5
constexpr int wfa_affine_open = -affine_open;                        // 4
constexpr int wfa_affine_extend = -affine_extend + match_score / 2;  // 3

enum class Mode { edit, global_linear, local_linear, semiglobal_linear, global_affine };
enum class Scope { score, alignment };

constexpr Mode all_modes[] = {Mode::edit, Mode::global_linear, Mode::local_linear,
                              Mode::semiglobal_linear, Mode::global_affine};

std::string_view mode_name(Mode mode) {
    switch (mode) {
        case Mode::edit:
            return "edit-distance";
        case Mode::global_linear:
            return "global-linear";
        case Mode::local_linear:
            return "local-linear";
        case Mode::semiglobal_linear:
            return "semiglobal-linear";
        case Mode::global_affine:
            return "global-affine";
    }
    return "";
}

rux_dp::AlignmentMode oracle_mode(Mode mode) {
    switch (mode) {
        case Mode::edit:
            return rux_dp::AlignmentMode::edit_distance;
        case Mode::global_linear:
            return rux_dp::AlignmentMode::global_linear;
        case Mode::local_linear:
            return rux_dp::AlignmentMode::local_linear;
        case Mode::semiglobal_linear:
            return rux_dp::AlignmentMode::semiglobal_linear;
        case Mode::global_affine:
            return rux_dp::AlignmentMode::global_affine;
    }
    return rux_dp::AlignmentMode::edit_distance;
}

std::string with_commas(std::uint64_t v) {
    std::string digits = std::to_string(v);
    std::string out;
    for (std::size_t k = 0; k < digits.size(); ++k) {
        if (k > 0 && (digits.size() - k) % 3 == 0)
            out.push_back(',');
        out.push_back(digits[k]);
    }
    return out;
}

struct Case {
    Mode mode = Mode::edit;
    Scope scope = Scope::score;
    std::size_t length = 0;  // query length; the target is the query edited
    int percent = 0;         // divergence: the chance that a query position is edited
    std::size_t pairs = 1;   // > 1: a batch of that many independent pairs

    std::string title() const {
        std::string t = pairs > 1 ? "batch " + with_commas(pairs) + " x " + with_commas(length)
                                  : with_commas(length);
        t += " " + std::to_string(percent) + "% " + std::string(mode_name(mode));
        t += scope == Scope::score ? " score" : (mode == Mode::edit ? " path" : " alignment");
        return t;
    }
    // Cases of one group compute the same optimum, whatever the scope.
    std::string group() const {
        return std::to_string(pairs) + "/" + std::to_string(length) + "/" + std::to_string(percent)
               + "/" + std::string(mode_name(mode));
    }
    // Predicted cell count (the target length varies a little around the query's).
    double cells_estimate() const {
        return static_cast<double>(pairs) * static_cast<double>(length + 1)
               * static_cast<double>(length + 1);
    }
};

struct Pair {
    std::string query;
    std::string target;
};
using Pairs = std::vector<Pair>;

Pairs make_pairs(const Case& c) {
    const double rate = c.percent / 100.0;
    Pairs pairs;
    if (c.pairs == 1) {
        auto [query, target] = rux_bench::edit_pair(c.length, rate);
        pairs.push_back({std::move(query), std::move(target)});
        return pairs;
    }
    for (auto& [query, target] : rux_bench::edit_pair_batch(c.pairs, c.length, rate))
        pairs.push_back({std::move(query), std::move(target)});
    return pairs;
}

double total_cells(const Pairs& pairs) {
    double cells = 0;
    for (const Pair& p : pairs)
        cells += static_cast<double>(p.query.size() + 1) * static_cast<double>(p.target.size() + 1);
    return cells;
}

// What one call of an implementation gives: the objective (summed over a batch), a label (the
// backend or vector width actually used), or a failure.
struct Outcome {
    std::int64_t value = 0;
    std::string label;
    std::string failure;
    std::optional<double> seconds;  // CPU time measured elsewhere (a subprocess)
    long rss_kb = 0;                // peak memory measured elsewhere (a subprocess)
};
using RunFn = std::function<Outcome(const Pairs&)>;

void add_label(Outcome& out, std::string_view label) {
    if (out.label.empty()) {
        out.label = label;
        return;
    }
    // Labels of a batch: each distinct one once, in order of appearance.
    std::string_view rest = out.label;
    while (!rest.empty()) {
        const auto slash = rest.find('/');
        if (rest.substr(0, slash) == label)
            return;
        if (slash == std::string_view::npos)
            break;
        rest.remove_prefix(slash + 1);
    }
    out.label += "/";
    out.label += label;
}

enum class Side { rux, peer };

struct Impl {
    std::string name;
    Side side = Side::rux;
    bool striped = false;    // parasail striped: may return a wrong score
    double table_bytes = 0;  // bytes per DP cell the implementation keeps (0: not a table)
    std::function<RunFn(const Pairs&, const std::filesystem::path& scratch)> make;
};

// ---------------------------------------------------------------- rux_dp

rux_dp::SubstitutionScoring substitution() {
    return rux_dp::SubstitutionScoring::match_mismatch(match_score, mismatch_penalty);
}

rux_dp::ProblemSpec problem_spec(Mode mode) {
    const rux_dp::MatchMismatchScheme mm{.match_score = match_score,
                                         .mismatch_penalty = mismatch_penalty};
    switch (mode) {
        case Mode::edit:
            return {.mode = oracle_mode(mode), .scoring = rux_dp::EditDistanceScoring{}};
        case Mode::global_affine:
            return {.mode = oracle_mode(mode),
                    .scoring = rux_dp::AffineScoring{
                        .substitution = mm, .gap_open = affine_open, .gap_extend = affine_extend}};
        default:
            return {.mode = oracle_mode(mode),
                    .scoring = rux_dp::LinearScoring{.substitution = mm, .gap = linear_gap}};
    }
}

template <class F>
Impl rux_kernel(std::string name, F per_pair) {
    return {.name = "rux_dp " + std::move(name),
            .make = [per_pair](const Pairs&, const std::filesystem::path&) -> RunFn {
                return [per_pair](const Pairs& pairs) {
                    Outcome out;
                    for (const Pair& p : pairs)
                        out.value += per_pair(p);
                    return out;
                };
            }};
}

Impl rux_solve(Mode mode, Scope scope) {
    return {.name = "rux_dp solve",
            .make = [mode, scope](const Pairs&, const std::filesystem::path&) -> RunFn {
                return [mode, scope](const Pairs& pairs) {
                    Outcome out;
                    for (const Pair& p : pairs) {
                        rux_dp::SolveRequest request;
                        request.problem = problem_spec(mode);
                        request.scope = scope == Scope::score ? rux_dp::SolveScope::score
                                                              : rux_dp::SolveScope::alignment;
                        request.query = p.query;
                        request.target = p.target;
                        auto record = rux_dp::solve(std::move(request));
                        if (!record) {
                            out.failure = record.error();
                            return out;
                        }
                        if (record->verification.status != rux_dp::VerificationStatus::verified) {
                            out.failure = "record failed its own checks";
                            return out;
                        }
                        out.value += record->alignment.objective.value;
                        add_label(out, record->producer.backend);
                    }
                    return out;
                };
            }};
}

// ---------------------------------------------------------------- the rux-align program

void write_fasta(const std::filesystem::path& path, const Pairs& pairs, bool query) {
    std::ofstream out(path, std::ios::binary);
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        out << '>' << (query ? 'q' : 't') << k << '\n'
            << (query ? pairs[k].query : pairs[k].target) << '\n';
    }
}

// Objectives and backends of the JSON Lines records the program wrote.
Outcome read_records(const std::filesystem::path& path, std::size_t expected) {
    Outcome out;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    std::size_t records = 0;
    constexpr std::string_view objective_key = "\"objective\":{\"kind\":\"";
    constexpr std::string_view backend_key = "\"backend\":\"";
    while (std::getline(in, line)) {
        ++records;
        auto at = line.find(objective_key);
        const auto value_at = at == std::string::npos ? at : line.find("\"value\":", at);
        if (value_at == std::string::npos) {
            out.failure = "record " + std::to_string(records) + " has no objective";
            return out;
        }
        const char* begin = line.data() + value_at + 8;
        std::int64_t value = 0;
        if (std::from_chars(begin, line.data() + line.size(), value).ec != std::errc()) {
            out.failure = "record " + std::to_string(records) + " has no objective value";
            return out;
        }
        out.value += value;
        at = line.find(backend_key);
        if (at != std::string::npos) {
            const auto begin_name = at + backend_key.size();
            add_label(out, std::string_view(line).substr(begin_name,
                                                         line.find('"', begin_name) - begin_name));
        }
    }
    if (records != expected)
        out.failure =
            std::to_string(records) + " records for " + std::to_string(expected) + " pairs";
    return out;
}

Impl rux_program(const std::string& program, Mode mode, Scope scope, unsigned hard_limit,
                 std::size_t max_in_flight = 0) {
    return {
        .name = max_in_flight == 0
                    ? std::string("rux-align solve")
                    : "rux-align solve --max-in-flight " + std::to_string(max_in_flight),
        .make = [program, mode, scope, hard_limit, max_in_flight](const Pairs& pairs,
                                                   const std::filesystem::path& scratch) -> RunFn {
            const auto query_file = scratch / "query.fa";
            const auto target_file = scratch / "target.fa";
            const auto output_file = scratch / "records.jsonl";
            write_fasta(query_file, pairs, true);
            write_fasta(target_file, pairs, false);
            std::vector<std::string> args = {program,
                                             "solve",
                                             std::string(mode_name(mode)),
                                             "--query-file",
                                             query_file.string(),
                                             "--target-file",
                                             target_file.string(),
                                             "--threads",
                                             "1",
                                             "--scope",
                                             scope == Scope::score ? "score" : "alignment",
                                             "--format",
                                             "jsonl",
                                             "--output",
                                             output_file.string()};
            if (max_in_flight != 0)
                args.insert(args.end(), {"--max-in-flight", std::to_string(max_in_flight)});
            if (mode != Mode::edit) {
                args.insert(args.end(), {"--match", std::to_string(match_score),
                                         "--mismatch-penalty", std::to_string(mismatch_penalty)});
                if (mode == Mode::global_affine) {
                    args.push_back("--gap-open=" + std::to_string(affine_open));
                    args.push_back("--gap-extend=" + std::to_string(affine_extend));
                } else {
                    args.push_back("--gap=" + std::to_string(linear_gap));
                }
            }
            return [args, output_file, hard_limit](const Pairs& batch) {
                Outcome out;
                const pid_t pid = fork();
                if (pid < 0) {
                    out.failure = std::string("fork failed: ") + std::strerror(errno);
                    return out;
                }
                if (pid == 0) {
                    // A fork does not inherit the pending alarm; an exec keeps a new one.
                    alarm(hard_limit);
                    const int null = open("/dev/null", O_WRONLY);
                    dup2(null, STDOUT_FILENO);
                    dup2(null, STDERR_FILENO);
                    std::vector<char*> argv;
                    for (const std::string& a : args)
                        argv.push_back(const_cast<char*>(a.c_str()));
                    argv.push_back(nullptr);
                    execv(argv[0], argv.data());
                    _exit(127);
                }
                int status = 0;
                rusage usage{};
                wait4(pid, &status, 0, &usage);
                if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                    out.failure = WIFEXITED(status)
                                      ? "exit status " + std::to_string(WEXITSTATUS(status))
                                      : "killed by signal " + std::to_string(WTERMSIG(status));
                    return out;
                }
                out = read_records(output_file, batch.size());
                out.seconds =
                    static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
                    + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
                out.rss_kb = usage.ru_maxrss;
                return out;
            };
        }};
}

// ---------------------------------------------------------------- edlib

Impl edlib_impl(Scope scope) {
    return {.name = scope == Scope::score ? "edlib distance" : "edlib path",
            .side = Side::peer,
            .make = [scope](const Pairs&, const std::filesystem::path&) -> RunFn {
                return [scope](const Pairs& pairs) {
                    const EdlibAlignConfig config = edlibNewAlignConfig(
                        -1, EDLIB_MODE_NW,
                        scope == Scope::score ? EDLIB_TASK_DISTANCE : EDLIB_TASK_PATH, nullptr, 0);
                    Outcome out;
                    for (const Pair& p : pairs) {
                        EdlibAlignResult result =
                            edlibAlign(p.query.data(), static_cast<int>(p.query.size()),
                                       p.target.data(), static_cast<int>(p.target.size()), config);
                        if (result.status != EDLIB_STATUS_OK || result.editDistance < 0) {
                            edlibFreeAlignResult(result);
                            out.failure = "edlib failed";
                            return out;
                        }
                        out.value += result.editDistance;
                        if (scope == Scope::alignment) {
                            char* cigar = edlibAlignmentToCigar(
                                result.alignment, result.alignmentLength, EDLIB_CIGAR_EXTENDED);
                            std::free(cigar);
                        }
                        edlibFreeAlignResult(result);
                    }
                    return out;
                };
            }};
}

// ---------------------------------------------------------------- WFA2-lib

Impl wfa_impl(Mode mode, Scope scope) {
    std::string name = "WFA2 ";
    name +=
        mode == Mode::edit ? "edit" : (mode == Mode::global_affine ? "gap-affine" : "gap-linear");
    name += scope == Scope::score ? " score" : " alignment";
    return {
        .name = std::move(name),
        .side = Side::peer,
        .make = [mode, scope](const Pairs&, const std::filesystem::path&) -> RunFn {
            const auto wfa_scope =
                scope == Scope::score ? wfa::WFAligner::Score : wfa::WFAligner::Alignment;
            std::shared_ptr<wfa::WFAligner> aligner;
            if (mode == Mode::edit)
                aligner =
                    std::make_shared<wfa::WFAlignerEdit>(wfa_scope, wfa::WFAligner::MemoryHigh);
            else if (mode == Mode::global_affine)
                aligner = std::make_shared<wfa::WFAlignerGapAffine>(wfa_mismatch, wfa_affine_open,
                                                                    wfa_affine_extend, wfa_scope,
                                                                    wfa::WFAligner::MemoryHigh);
            else
                aligner = std::make_shared<wfa::WFAlignerGapLinear>(
                    wfa_mismatch, wfa_linear_indel, wfa_scope, wfa::WFAligner::MemoryHigh);
            // Exact: no wavefront pruning.
            aligner->setHeuristicNone();
            return [aligner, mode, scope](const Pairs& pairs) {
                Outcome out;
                for (const Pair& p : pairs) {
                    const auto status =
                        aligner->alignEnd2End(p.query.data(), static_cast<int>(p.query.size()),
                                              p.target.data(), static_cast<int>(p.target.size()));
                    if (status != wfa::WFAligner::StatusSuccessful) {
                        out.failure = "WFA2 status " + std::to_string(static_cast<int>(status));
                        return out;
                    }
                    // The edit score is the distance; the others are minus the penalty.
                    const std::int64_t score = aligner->getAlignmentScore();
                    out.value +=
                        mode == Mode::edit
                            ? (score < 0 ? -score : score)
                            : static_cast<std::int64_t>(p.query.size() + p.target.size()) + score;
                    if (scope == Scope::alignment) {
                        const std::string cigar = aligner->getAlignmentCigar();
                        if (cigar.empty() && !(p.query.empty() && p.target.empty())) {
                            out.failure = "WFA2 gave no alignment";
                            return out;
                        }
                    }
                }
                return out;
            };
        }};
}

// ---------------------------------------------------------------- parasail

// The traceback variants keep one lane-wide value per cell (measured: 386 MB for 10,000 x 10,000
// with 32-bit lanes).
constexpr double parasail_trace_bytes = 4.0;

// 16-bit lanes while no value of the table can leave them, else 32-bit; parasail flags a
// saturated result, which is then recomputed with 32 bits.
int parasail_width(Mode mode, const Pair& p) {
    const std::int64_t m = static_cast<std::int64_t>(p.query.size());
    const std::int64_t n = static_cast<std::int64_t>(p.target.size());
    const std::int64_t bound = mode == Mode::local_linear
                                   ? match_score * std::min(m, n)
                                   : 6 * (m + n) + match_score * std::min(m, n);
    return bound < 30000 ? 16 : 32;
}

Impl parasail_impl(Mode mode, Scope scope, bool striped) {
    std::string base =
        mode == Mode::local_linear ? "sw" : (mode == Mode::semiglobal_linear ? "sg_dx" : "nw");
    // sg_dx: the target's (parasail's s2) leading and trailing gaps are free; the whole query is
    // aligned, as in our semiglobal mode.
    std::string kind =
        (scope == Scope::alignment ? "trace_" : "") + std::string(striped ? "striped" : "scan");
    std::string function = base + "_" + kind;
    const double table_bytes = scope == Scope::alignment ? parasail_trace_bytes : 0.0;
    return {
        .name = "parasail " + function,
        .side = Side::peer,
        .striped = striped,
        .table_bytes = table_bytes,
        .make = [mode, scope, function](const Pairs&, const std::filesystem::path&) -> RunFn {
            parasail_function_t* f16 = parasail_lookup_function((function + "_16").c_str());
            parasail_function_t* f32 = parasail_lookup_function((function + "_32").c_str());
            std::shared_ptr<parasail_matrix_t> matrix(
                parasail_matrix_create("ACGT", match_score, -mismatch_penalty),
                parasail_matrix_free);
            const int open =
                mode == Mode::global_affine ? parasail_affine_open : parasail_linear_open;
            const int extend =
                mode == Mode::global_affine ? parasail_affine_extend : parasail_linear_extend;
            return [=](const Pairs& pairs) {
                Outcome out;
                if (f16 == nullptr || f32 == nullptr) {
                    out.failure = "parasail has no " + function;
                    return out;
                }
                for (const Pair& p : pairs) {
                    const char* q = p.query.data();
                    const char* t = p.target.data();
                    const int m = static_cast<int>(p.query.size());
                    const int n = static_cast<int>(p.target.size());
                    int width = parasail_width(mode, p);
                    parasail_result_t* result =
                        (width == 16 ? f16 : f32)(q, m, t, n, open, extend, matrix.get());
                    if (result != nullptr && width == 16 && parasail_result_is_saturated(result)) {
                        parasail_result_free(result);
                        width = 32;
                        result = f32(q, m, t, n, open, extend, matrix.get());
                    }
                    if (result == nullptr || parasail_result_is_saturated(result)) {
                        if (result != nullptr)
                            parasail_result_free(result);
                        out.failure = "parasail failed or saturated";
                        return out;
                    }
                    out.value += parasail_result_get_score(result);
                    if (scope == Scope::alignment) {
                        parasail_cigar_t* cigar =
                            parasail_result_get_cigar(result, q, m, t, n, matrix.get());
                        if (cigar == nullptr) {
                            parasail_result_free(result);
                            out.failure = "parasail gave no alignment";
                            return out;
                        }
                        parasail_cigar_free(cigar);
                    }
                    parasail_result_free(result);
                    add_label(out, width == 16 ? "16" : "32");
                }
                return out;
            };
        }};
}

// ---------------------------------------------------------------- implementations per case

std::vector<Impl> impls_for(const Case& c, const std::string& program, unsigned hard_limit) {
    std::vector<Impl> impls;
    const Mode mode = c.mode;
    const Scope scope = c.scope;
    const bool score = scope == Scope::score;
    switch (mode) {
        case Mode::edit:
            if (score)
                impls.push_back(rux_kernel("distance_myers", [](const Pair& p) {
                    return static_cast<std::int64_t>(rux_dp::distance_myers(p.query, p.target));
                }));
            else
                impls.push_back(rux_kernel("trace_adaptive_banded", [](const Pair& p) {
                    return static_cast<std::int64_t>(
                        rux_dp::trace_adaptive_banded(p.query, p.target).distance);
                }));
            break;
        case Mode::global_linear:
            if (score)
                impls.push_back(rux_kernel("nw_last_row", [](const Pair& p) {
                    const auto row =
                        rux_dp::nw_last_row(p.query, p.target, substitution(), linear_gap);
                    return static_cast<std::int64_t>(row.empty() ? 0 : row.back());
                }));
            break;
        case Mode::local_linear:
            if (score)
                impls.push_back(
                    rux_kernel("SmithWatermanProblem::full_table_score", [](const Pair& p) {
                        return static_cast<std::int64_t>(
                            rux_dp::SmithWatermanProblem{.scoring = substitution(),
                                                         .query = p.query,
                                                         .target = p.target,
                                                         .gap = linear_gap}
                                .full_table_score());
                    }));
            break;
        case Mode::semiglobal_linear:
            if (score)
                impls.push_back(
                    rux_kernel("SemiGlobalProblem::full_table_score", [](const Pair& p) {
                        return static_cast<std::int64_t>(
                            rux_dp::SemiGlobalProblem{.scoring = substitution(),
                                                      .query = p.query,
                                                      .target = p.target,
                                                      .gap = linear_gap}
                                .full_table_score());
                    }));
            break;
        case Mode::global_affine:
            if (score)
                impls.push_back(rux_kernel("NwAffineProblem::full_table_score", [](const Pair& p) {
                    return static_cast<std::int64_t>(
                        rux_dp::NwAffineProblem{.scoring = substitution(),
                                                .query = p.query,
                                                .target = p.target,
                                                .gap_open = affine_open,
                                                .gap_extend = affine_extend}
                            .full_table_score());
                }));
            break;
    }
    impls.push_back(rux_solve(mode, scope));
    impls.push_back(rux_program(program, mode, scope, hard_limit));
    // A window of 2 pairs (the default with one thread) hands every 2 short pairs between the
    // threads and back; a wide window shows the throughput without that.
    if (c.pairs > 1)
        impls.push_back(rux_program(program, mode, scope, hard_limit, 1024));
    if (mode == Mode::edit) {
        impls.push_back(edlib_impl(scope));
    } else {
        impls.push_back(parasail_impl(mode, scope, false));
        impls.push_back(parasail_impl(mode, scope, true));
    }
    if (mode == Mode::edit || mode == Mode::global_linear || mode == Mode::global_affine)
        impls.push_back(wfa_impl(mode, scope));
    return impls;
}

// ---------------------------------------------------------------- measuring one cell

struct Budget {
    double cell_limit = 20;    // skip a cell whose one call is predicted to take longer (s)
    double sample_min = 0.01;  // repeat short calls within one sample until it takes this long
    double total = 0.2;        // keep sampling until this much time was measured ...
    std::size_t max_samples = 9;
    double single = 0.5;  // ... but one call this long is its own single sample
};

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Measured {
    double median = 0;
    std::size_t samples = 0;
    double cells = 0;
    Outcome outcome;
};

Measured measure(RunFn& run, const Pairs& pairs, const Budget& budget) {
    Measured m;
    m.cells = total_cells(pairs);
    long rss_kb = 0;
    // Seconds per call over `calls` calls, or a negative value on failure.
    auto timed = [&](std::size_t calls) {
        double external = 0;
        const double start = cpu_seconds();
        for (std::size_t k = 0; k < calls; ++k) {
            m.outcome = run(pairs);
            if (!m.outcome.failure.empty())
                return -1.0;
            rss_kb = std::max(rss_kb, m.outcome.rss_kb);
            if (m.outcome.seconds)
                external += *m.outcome.seconds;
        }
        const double own = cpu_seconds() - start;
        return (m.outcome.seconds ? external : own) / static_cast<double>(calls);
    };
    const double first = timed(1);
    if (first < 0)
        return m;
    const std::int64_t value = m.outcome.value;
    std::vector<double> samples;
    if (first >= budget.single) {
        samples.push_back(first);
    } else {
        // The first call was a warm-up.
        const std::size_t calls =
            first >= budget.sample_min
                ? 1
                : static_cast<std::size_t>(std::ceil(budget.sample_min / std::max(first, 1e-9)));
        double total = 0;
        while (samples.size() < budget.max_samples
               && (samples.size() < 3 || total < budget.total)) {
            const double s = timed(calls);
            if (s < 0)
                return m;
            if (m.outcome.value != value) {
                m.outcome.failure = "the objective changed between calls";
                return m;
            }
            samples.push_back(s);
            total += s * static_cast<double>(calls);
        }
    }
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    m.median = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    m.samples = n;
    m.outcome.rss_kb = rss_kb;
    return m;
}

// The child's report, one line: "ok <median> <samples> <cells> <value> <rss_kb> <label>" or
// "fail <text>".
void run_cell(const Case& c, const Impl& impl, const Budget& budget,
              const std::filesystem::path& scratch, int fd) {
    std::string report;
    {
        const Pairs pairs = make_pairs(c);
        RunFn run = impl.make(pairs, scratch);
        const Measured m = measure(run, pairs, budget);
        if (!m.outcome.failure.empty()) {
            report = "fail " + m.outcome.failure;
        } else {
            char buffer[256];
            std::snprintf(buffer, sizeof buffer, "ok %.9g %zu %.17g %lld %ld ", m.median, m.samples,
                          m.cells, static_cast<long long>(m.outcome.value), m.outcome.rss_kb);
            report = buffer + (m.outcome.label.empty() ? std::string("-") : m.outcome.label);
        }
    }
    report.push_back('\n');
    std::size_t written = 0;
    while (written < report.size()) {
        const ssize_t w = write(fd, report.data() + written, report.size() - written);
        if (w <= 0)
            break;
        written += static_cast<std::size_t>(w);
    }
}

struct Row {
    std::string impl;
    Side side = Side::rux;
    bool striped = false;
    bool ran = false;
    double seconds = 0;
    std::size_t samples = 0;
    double cells = 0;
    std::int64_t value = 0;
    long rss_kb = 0;
    std::string label;
    std::string note;   // skipped, failed, inexact, MISMATCH
    bool exact = true;  // a peer whose optimum agreed with ours (or a rux row that ran)
};

// Runs one cell in a child; fills seconds, value, label and memory, or a note.
void run_in_child(const Case& c, const Impl& impl, const Budget& budget,
                  const std::filesystem::path& scratch, unsigned hard_limit, Row& row) {
    int fds[2];
    if (pipe(fds) != 0) {
        row.note = "pipe failed";
        return;
    }
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) {
        row.note = "fork failed";
        close(fds[0]);
        close(fds[1]);
        return;
    }
    if (pid == 0) {
        close(fds[0]);
        alarm(hard_limit);
        run_cell(c, impl, budget, scratch, fds[1]);
        _exit(0);
    }
    close(fds[1]);
    std::string report;
    char buffer[4096];
    for (;;) {
        const ssize_t r = read(fds[0], buffer, sizeof buffer);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        report.append(buffer, static_cast<std::size_t>(r));
    }
    close(fds[0]);
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) {
        row.note = WTERMSIG(status) == SIGALRM
                       ? "timed out after " + std::to_string(hard_limit) + " s"
                       : "killed by signal " + std::to_string(WTERMSIG(status));
        return;
    }
    while (!report.empty() && report.back() == '\n')
        report.pop_back();
    if (report.starts_with("fail ")) {
        row.note = "FAILED: " + report.substr(5);
        return;
    }
    double median = 0;
    double cells = 0;
    std::size_t samples = 0;
    long long value = 0;
    long rss_kb = 0;
    char label[200] = {};
    if (std::sscanf(report.c_str(), "ok %lf %zu %lf %lld %ld %199s", &median, &samples, &cells,
                    &value, &rss_kb, label)
        != 6) {
        row.note = "FAILED: no report from the child";
        return;
    }
    row.ran = true;
    row.seconds = median;
    row.samples = samples;
    row.cells = cells;
    row.value = value;
    // A subprocess's own peak, else the child's.
    row.rss_kb = rss_kb > 0 ? rss_kb : usage.ru_maxrss;
    row.label = std::string(label) == "-" ? "" : label;
}

// ---------------------------------------------------------------- formatting

std::string fixed3(double v, const char* unit) {
    char buffer[64];
    if (v >= 100)
        std::snprintf(buffer, sizeof buffer, "%.0f %s", v, unit);
    else if (v >= 10)
        std::snprintf(buffer, sizeof buffer, "%.1f %s", v, unit);
    else
        std::snprintf(buffer, sizeof buffer, "%.2f %s", v, unit);
    return buffer;
}

std::string format_time(double s) {
    if (s >= 1)
        return fixed3(s, "s");
    if (s >= 1e-3)
        return fixed3(s * 1e3, "ms");
    if (s >= 1e-6)
        return fixed3(s * 1e6, "us");
    return fixed3(s * 1e9, "ns");
}

std::string format_rate(double per_second) {
    if (per_second >= 1e12)
        return fixed3(per_second / 1e12, "T/s");
    if (per_second >= 1e9)
        return fixed3(per_second / 1e9, "G/s");
    if (per_second >= 1e6)
        return fixed3(per_second / 1e6, "M/s");
    return fixed3(per_second / 1e3, "k/s");
}

std::string format_memory(long kb) {
    const double mb = static_cast<double>(kb) / 1024.0;
    if (mb >= 1024)
        return fixed3(mb / 1024.0, "GB");
    return fixed3(mb, "MB");
}

constexpr int case_width = 47;
constexpr int impl_width = 50;

void print_header() {
    std::printf("%-*s %-*s %9s %10s %9s %8s  %s\n", case_width, "case", impl_width,
                "implementation", "time", "cells/s", "peak mem", "/ best", "note");
    std::printf("%s\n", std::string(case_width + impl_width + 54, '-').c_str());
}

void print_row(const Case& c, const Row& row, double best_peer) {
    std::string impl = row.impl;
    if (!row.label.empty())
        impl += " [" + row.label + "]";
    if (!row.ran) {
        std::printf("%-*s %-*s %9s %10s %9s %8s  %s\n", case_width, c.title().c_str(), impl_width,
                    impl.c_str(), "-", "-", "-", "-", row.note.c_str());
        return;
    }
    std::string ratio = "-";
    if (best_peer > 0) {
        char buffer[32];
        const double r = row.seconds / best_peer;
        std::snprintf(buffer, sizeof buffer, r >= 100 ? "%.0fx" : (r >= 10 ? "%.1fx" : "%.2fx"), r);
        ratio = buffer;
    }
    std::string note = "n=" + std::to_string(row.samples);
    if (!row.note.empty())
        note += "  " + row.note;
    std::printf("%-*s %-*s %9s %10s %9s %8s  %s\n", case_width, c.title().c_str(), impl_width,
                impl.c_str(), format_time(row.seconds).c_str(),
                format_rate(row.cells / std::max(row.seconds, 1e-12)).c_str(),
                format_memory(row.rss_kb).c_str(), ratio.c_str(), note.c_str());
}

// ---------------------------------------------------------------- the run

struct Options {
    std::vector<std::size_t> lengths = {1000, 10000, 100000};
    std::vector<int> percents = {1, 15};
    std::size_t batch_pairs = 100000;
    std::size_t batch_length = 150;
    int batch_percent = 5;
    Budget budget;
    std::string filter;
    std::string program = RUX_ALIGN_PROGRAM;
};

void usage() {
    std::printf(
        "usage: peers [--quick] [--lengths L,L,...] [--batch N] [--cell-limit S] [--filter TEXT]\n"
        "             [--rux-align PATH]\n"
        "  --quick          lengths 1,000 and 10,000, a batch of 10,000 pairs, cell limit 5 s\n"
        "  --lengths        single-pair lengths (default 1000,10000,100000)\n"
        "  --batch          pairs of 150 symbols in the batch cases (default 100000; 0: none)\n"
        "  --cell-limit     skip a cell whose one call is predicted to take longer (default 20 s)\n"
        "  --filter         only the cases whose title contains TEXT\n"
        "  --rux-align      the program to run (default: the one built beside this benchmark)\n");
}

std::optional<Options> parse_options(int argc, char** argv) {
    Options o;
    for (int k = 1; k < argc; ++k) {
        const std::string_view arg = argv[k];
        auto value = [&]() -> std::optional<std::string> {
            if (k + 1 >= argc)
                return std::nullopt;
            return std::string(argv[++k]);
        };
        if (arg == "--quick") {
            o.lengths = {1000, 10000};
            o.batch_pairs = 10000;
            o.budget.cell_limit = 5;
            o.budget.total = 0.1;
        } else if (arg == "--lengths") {
            const auto v = value();
            if (!v)
                return std::nullopt;
            o.lengths.clear();
            std::size_t at = 0;
            while (at <= v->size()) {
                const auto comma = std::min(v->find(',', at), v->size());
                o.lengths.push_back(std::stoul(v->substr(at, comma - at)));
                at = comma + 1;
            }
        } else if (arg == "--batch") {
            const auto v = value();
            if (!v)
                return std::nullopt;
            o.batch_pairs = std::stoul(*v);
        } else if (arg == "--cell-limit") {
            const auto v = value();
            if (!v)
                return std::nullopt;
            o.budget.cell_limit = std::stod(*v);
        } else if (arg == "--filter") {
            const auto v = value();
            if (!v)
                return std::nullopt;
            o.filter = *v;
        } else if (arg == "--rux-align") {
            const auto v = value();
            if (!v)
                return std::nullopt;
            o.program = *v;
        } else {
            return std::nullopt;
        }
    }
    return o;
}

std::vector<Case> cases_for(const Options& o) {
    std::vector<Case> cases;
    for (const std::size_t length : o.lengths) {
        for (const int percent : o.percents) {
            for (const Mode mode : all_modes) {
                for (const Scope scope : {Scope::score, Scope::alignment})
                    cases.push_back({.mode = mode,
                                     .scope = scope,
                                     .length = length,
                                     .percent = percent,
                                     .pairs = 1});
            }
        }
    }
    if (o.batch_pairs > 0) {
        for (const Mode mode : {Mode::global_linear, Mode::edit}) {
            for (const Scope scope : {Scope::score, Scope::alignment})
                cases.push_back({.mode = mode,
                                 .scope = scope,
                                 .length = o.batch_length,
                                 .percent = o.batch_percent,
                                 .pairs = o.batch_pairs});
        }
    }
    std::erase_if(cases, [&](const Case& c) {
        return !o.filter.empty() && c.title().find(o.filter) == std::string::npos;
    });
    return cases;
}

long available_memory_kb() {
    std::ifstream in("/proc/meminfo");
    std::string key;
    long value = 0;
    std::string unit;
    while (in >> key >> value >> unit) {
        if (key == "MemAvailable:")
            return value;
    }
    return 8L << 20;
}

// What an implementation measured at the previous size of the same kind of case.
struct Previous {
    double cells = 0;
    double seconds = 0;
    long rss_kb = 0;
};

int run(const Options& o) {
    const std::filesystem::path scratch =
        std::filesystem::temp_directory_path() / ("rux-peers-" + std::to_string(getpid()));
    std::filesystem::create_directories(scratch);
    const long memory_limit_kb = available_memory_kb() / 2;
    const unsigned hard_limit = static_cast<unsigned>(std::max(60.0, 4 * o.budget.cell_limit));

    // The baseline: a child that does nothing.
    long baseline_kb = 0;
    {
        Row row;
        const Impl nothing{.name = "nothing",
                           .make = [](const Pairs&, const std::filesystem::path&) -> RunFn {
                               return [](const Pairs&) { return Outcome{}; };
                           }};
        run_in_child(Case{.mode = Mode::edit, .length = 0, .percent = 0}, nothing, o.budget,
                     scratch, hard_limit, row);
        baseline_kb = row.rss_kb;
    }

    std::printf("rux_dp and rux-align against edlib %s, WFA2-lib %s, parasail %s\n", "1.2.7",
                "2.3.3", "2.6");
    std::printf(
        "scoring: linear match %d, mismatch %d, gap %d per symbol; affine match %d, mismatch %d,\n"
        "  gap run of k symbols %d %d*k (parasail open %d extend %d; WFA2 penalties mismatch %d,\n"
        "  indel %d, affine open %d extend %d: score = m + n - penalty); edit distance unit cost\n",
        match_score, -mismatch_penalty, linear_gap, match_score, -mismatch_penalty, affine_open,
        affine_extend, parasail_affine_open, parasail_affine_extend, wfa_mismatch, wfa_linear_indel,
        wfa_affine_open, wfa_affine_extend);
    std::printf(
        "pairs: random A/C/G/T query, target = query with each position edited with the given\n"
        "  chance (substitution, insertion or deletion); fixed seeds. Batch: %zu-symbol pairs.\n",
        o.batch_length);
    std::printf(
        "time: CPU time of one call (user + system; a whole process for rux-align, --threads 1),\n"
        "  median of n samples; cells/s = sum of (m+1)(n+1) / time; peak mem = ru_maxrss of the\n"
        "  cell's own process (baseline of an empty child: %s); / best = time / fastest exact "
        "peer.\n"
        "skipped: a call predicted (from the previous size) to take over %.0f s or to need over\n"
        "  %s (half the memory available); parasail traces keep up to %.0f bytes per cell.\n\n",
        format_memory(baseline_kb).c_str(), o.budget.cell_limit,
        format_memory(memory_limit_kb).c_str(), parasail_trace_bytes);
    print_header();

    std::map<std::string, Previous> previous;  // by "scope/mode/percent/pairs/impl"
    std::map<std::string, std::pair<std::int64_t, std::string>> reference;  // by group
    std::vector<std::string> mismatches;
    std::vector<std::string> inexact;
    std::vector<std::string> failures;

    for (const Case& c : cases_for(o)) {
        const std::vector<Impl> impls = impls_for(c, o.program, hard_limit);
        std::vector<Row> rows;
        for (const Impl& impl : impls) {
            Row row;
            row.impl = impl.name;
            row.side = impl.side;
            row.striped = impl.striped;
            const std::string key =
                std::to_string(static_cast<int>(c.scope)) + "/" + std::string(mode_name(c.mode))
                + "/" + std::to_string(c.percent) + "/" + std::to_string(c.pairs) + "/" + impl.name;
            const double cells = c.cells_estimate();
            if (impl.table_bytes * cells > static_cast<double>(memory_limit_kb) * 1024) {
                row.note = "skipped (memory: the table alone is "
                           + format_memory(static_cast<long>(impl.table_bytes * cells / 1024))
                           + ")";
            } else if (const auto p = previous.find(key);
                       p != previous.end() && p->second.cells > 0 && p->second.cells < cells) {
                const double ratio = cells / p->second.cells;
                const double seconds = p->second.seconds * ratio;
                const double rss =
                    static_cast<double>(baseline_kb)
                    + static_cast<double>(std::max(0L, p->second.rss_kb - baseline_kb)) * ratio;
                if (rss > static_cast<double>(memory_limit_kb))
                    row.note = "skipped (memory: about " + format_memory(static_cast<long>(rss))
                               + " predicted)";
                else if (seconds > o.budget.cell_limit)
                    row.note = "skipped (time: about " + format_time(seconds) + " predicted)";
            }
            if (row.note.empty()) {
                run_in_child(c, impl, o.budget, scratch, hard_limit, row);
                if (row.ran)
                    previous[key] = {row.cells, row.seconds, row.rss_kb};
            }
            rows.push_back(std::move(row));
        }

        // Every result of a group is the same optimum. Ours (the first rux row that ran) is the
        // reference; parasail's striped kernels are known to miss it on some pairs.
        auto& ref = reference[c.group()];
        if (ref.second.empty()) {
            for (const Row& row : rows) {
                if (row.ran && row.side == Side::rux) {
                    ref = {row.value, row.impl};
                    break;
                }
            }
        }
        std::vector<std::string> case_mismatches;
        for (Row& row : rows) {
            if (!row.ran) {
                row.exact = false;
                continue;
            }
            if (ref.second.empty() || row.value == ref.first)
                continue;
            row.exact = false;
            const std::string what = c.title() + ": " + row.impl + " gives "
                                     + std::to_string(row.value) + ", " + ref.second + " gives "
                                     + std::to_string(ref.first);
            if (row.striped) {
                row.note = "(inexact: " + std::to_string(row.value) + ", optimum "
                           + std::to_string(ref.first) + ")";
                inexact.push_back(what);
            } else {
                row.note = "MISMATCH: " + std::to_string(row.value) + ", ours "
                           + std::to_string(ref.first);
                case_mismatches.push_back(what);
            }
        }
        double best_peer = 0;
        for (const Row& row : rows) {
            if (row.side == Side::peer && row.ran && row.exact
                && (best_peer == 0 || row.seconds < best_peer))
                best_peer = row.seconds;
        }
        for (const Row& row : rows)
            print_row(c, row, best_peer);
        for (const Row& row : rows) {
            if (row.note.starts_with("FAILED"))
                failures.push_back(c.title() + ": " + row.impl + ": " + row.note.substr(8));
        }
        for (const std::string& m : case_mismatches)
            std::printf("!!! MISMATCH %s\n", m.c_str());
        mismatches.insert(mismatches.end(), case_mismatches.begin(), case_mismatches.end());
        std::fflush(stdout);
    }

    std::filesystem::remove_all(scratch);
    std::printf("\n");
    for (const std::string& m : inexact)
        std::printf("inexact (parasail striped): %s\n", m.c_str());
    for (const std::string& f : failures)
        std::printf("!!! FAILED %s\n", f.c_str());
    if (!mismatches.empty()) {
        std::printf("!!! %zu MISMATCH%s against our optimum:\n", mismatches.size(),
                    mismatches.size() == 1 ? "" : "ES");
        for (const std::string& m : mismatches)
            std::printf("!!! MISMATCH %s\n", m.c_str());
        return 1;
    }
    if (!failures.empty())
        return 1;
    std::printf("every exact peer agreed with rux_dp on every case it ran\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<Options> options;
    try {
        options = parse_options(argc, argv);
    } catch (const std::exception&) {
        // A number that does not parse.
    }
    if (!options) {
        usage();
        return 2;
    }
    return run(*options);
}
