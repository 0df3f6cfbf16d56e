#include <array>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>

#include "rux_align/outputs.hpp"
#include "rux_align/run.hpp"
#include "rux_align/solve_output.hpp"
#include "rux_dp/batch/ordered_runner.hpp"
#include "rux_dp/oracle/solve.hpp"
#include "rux_dp/record_io/sam_spool.hpp"
#include "rux_dp/sequence_io/sequence_source.hpp"

namespace rux_align {

namespace {

using rux_dp::ErrorRecord;
using rux_dp::Result;

rux_dp::ProblemSpec solve_problem(const SolveCommand& command) {
    rux_dp::ProblemSpec problem{.mode = to_alignment_mode(command.mode), .scoring = {}};
    if (const auto* linear = std::get_if<LinearSolve>(&command.settings)) {
        problem.scoring = rux_dp::LinearScoring{
            .substitution = substitution_scheme(linear->scoring.match,
                                                linear->scoring.mismatch_penalty,
                                                linear->scoring.matrix),
            .gap = linear->scoring.gap};
    } else if (const auto* affine = std::get_if<AffineSolve>(&command.settings)) {
        problem.scoring = rux_dp::AffineScoring{
            .substitution = substitution_scheme(affine->scoring.match,
                                                affine->scoring.mismatch_penalty,
                                                affine->scoring.matrix),
            .gap_open = affine->scoring.gap_open,
            .gap_extend = affine->scoring.gap_extend};
    } else {
        problem.scoring = rux_dp::EditDistanceScoring{};
    }
    return problem;
}

Result<void> check_backend(const SolveCommand& command) {
    const CommonSolve& common = command.common();
    const auto allowed = rux_dp::allowed_backends(
        common.scope == Scope::score ? rux_dp::SolveScope::score : rux_dp::SolveScope::alignment,
        to_alignment_mode(command.mode));
    for (const std::string_view name : allowed) {
        if (name == common.backend) return {};
    }
    std::string choices;
    for (const std::string_view name : allowed) {
        if (!choices.empty()) choices += ", ";
        choices += name;
    }
    return std::unexpected("backend '" + common.backend + "' is not supported for " +
                           std::string(name(command.mode)) + "; choose " + choices);
}

// One pair to solve; the request carries its own copy of the settings.
struct SolveJob {
    rux_dp::SolveRequest request;
    std::uint64_t cost() const { return request.query.size() + request.target.size(); }
};

struct SolvedPair {
    rux_dp::AlignmentRecord record;
    std::optional<std::string> query;  // kept for SAM output
};

struct SolveJobSettings {
    bool keep_query = false;
};

// The n-th query with the n-th target; a malformed record becomes an error record in its place.
class PairStream {
public:
    PairStream(rux_dp::SequenceSource query, rux_dp::SequenceSource target,
               rux_dp::SolveRequest settings)
        : query_(std::move(query)), target_(std::move(target)), settings_(std::move(settings)) {}

    std::optional<std::variant<SolveJob, ErrorRecord>> next() {
        if (finished_) return std::nullopt;
        rux_dp::SequenceItem query = query_.next();
        rux_dp::SequenceItem target = target_.next();
        const bool query_done = query && !query->has_value();
        const bool target_done = target && !target->has_value();
        if (query_done && target_done) {
            finished_ = true;
            return std::nullopt;
        }
        if (!query) return sequence_error(query.error(), "query");
        if (!target) return sequence_error(target.error(), "target");
        if (query_done || target_done) {
            finished_ = true;
            ErrorRecord record = ErrorRecord::make(
                rux_dp::ErrorStage::input_parse, "pair_count_mismatch",
                "query and target sources differ at pair " + std::to_string(index_),
                rux_dp::ErrorContext{.pair_index = index_,
                                     .query_id = std::nullopt,
                                     .target_id = std::nullopt,
                                     .source_line = std::nullopt});
            record.error.recoverable = false;
            return record;
        }
        SolveJob job{.request = settings_};
        job.request.pair_index = index_++;
        job.request.query_id = std::move((*query)->id);
        job.request.query = std::move((*query)->sequence);
        job.request.target_id = std::move((*target)->id);
        job.request.target = std::move((*target)->sequence);
        return job;
    }

private:
    ErrorRecord sequence_error(const rux_dp::SequenceReadError& error, std::string_view label) {
        if (!error.recoverable) finished_ = true;
        ErrorRecord record = ErrorRecord::make(
            rux_dp::ErrorStage::input_parse, "invalid_sequence_record",
            std::string(label) + ": " + error.message,
            rux_dp::ErrorContext{.pair_index = index_,
                                 .query_id = std::nullopt,
                                 .target_id = std::nullopt,
                                 .source_line = error.line});
        record.error.recoverable = error.recoverable;
        ++index_;
        return record;
    }

    rux_dp::SequenceSource query_;
    rux_dp::SequenceSource target_;
    rux_dp::SolveRequest settings_;
    std::uint64_t index_ = 0;
    bool finished_ = false;
};

std::variant<SolvedPair, ErrorRecord> solve_job(const SolveJobSettings& settings, SolveJob job) {
    std::optional<std::string> query;
    if (settings.keep_query) query = job.request.query;
    const std::uint64_t index = job.request.pair_index;
    std::string query_id = job.request.query_id;
    std::string target_id = job.request.target_id;
    auto record = rux_dp::solve(std::move(job.request));
    if (!record)
        return ErrorRecord::make(rux_dp::ErrorStage::solve, "solve_failed", record.error(),
                                 rux_dp::ErrorContext{.pair_index = index,
                                                      .query_id = std::move(query_id),
                                                      .target_id = std::move(target_id),
                                                      .source_line = std::nullopt});
    return SolvedPair{.record = std::move(*record), .query = std::move(query)};
}

}  // namespace

Result<int> run_solve(const SolveCommand& command) {
    const CommonSolve& common = command.common();
    const OutputFormat format = common.output.format;
    if (common.scope == Scope::score
        && (format == OutputFormat::paf || format == OutputFormat::sam))
        return std::unexpected("PAF and SAM require --scope alignment");
    if (auto backend = check_backend(command); !backend)
        return std::unexpected(std::move(backend).error());
    if (auto valid = common.validate(); !valid) return std::unexpected(std::move(valid).error());
    const bool jsonl = format == OutputFormat::jsonl;
    auto options = common.batch.options(jsonl);
    if (!options) return std::unexpected(std::move(options).error());

    auto query = rux_dp::open_sequence_source(value_text(common.input.query),
                                              path_text(common.input.query_file), "query");
    if (!query) return std::unexpected(std::move(query).error());
    auto target = rux_dp::open_sequence_source(value_text(common.input.target),
                                               path_text(common.input.target_file), "target");
    if (!target) return std::unexpected(std::move(target).error());

    rux_dp::SolveRequest settings{
        .problem = solve_problem(command),
        .scope = common.scope == Scope::score ? rux_dp::SolveScope::score
                                              : rux_dp::SolveScope::alignment,
        .backend = common.backend,
        .band = common.band,
        .block_size = common.block_size,
        .cross_check = common.cross_check,
        .operations = common.operations,
        .integrity = common.integrity,
        .pair_index = 0,
        .query_id = {},
        .target_id = {},
        .query = {},
        .target = {},
    };
    PairStream pairs(std::move(*query), std::move(*target), std::move(settings));

    const std::optional<std::string> output_path = path_string(common.output.output);
    std::optional<SolveOutput> output;
    if (format == OutputFormat::sam) {
        auto spool = rux_dp::SamSpool::create(common.batch.temp_dir);
        if (!spool) return std::unexpected(std::move(spool).error());
        auto writer = open_writer(output_path);
        if (!writer) return std::unexpected(std::move(writer).error());
        output.emplace(SolveOutput::sam(std::move(*spool), std::move(*writer)));
    } else {
        auto writer = open_writer(output_path);
        if (!writer) return std::unexpected(std::move(writer).error());
        switch (format) {
            case OutputFormat::json:
            case OutputFormat::jsonl:
                output.emplace(SolveOutput::json(JsonStream(std::move(*writer), jsonl)));
                break;
            case OutputFormat::paf:
                output.emplace(SolveOutput::paf(std::move(*writer)));
                break;
            default:
                output.emplace(SolveOutput::text(std::move(*writer)));
                break;
        }
    }
    auto sidecar = ErrorSidecar::open(path_string(common.batch.errors));
    if (!sidecar) return std::unexpected(std::move(sidecar).error());

    RunFlags flags;
    const bool fail_fast = options->fail_fast;
    const auto sink = [&](std::variant<SolvedPair, ErrorRecord>&& item) -> Result<void> {
        if (auto* solved = std::get_if<SolvedPair>(&item)) {
            const auto status = solved->record.verification.status;
            if (status == rux_dp::VerificationStatus::invalid) flags.saw_failure = true;
            if (status == rux_dp::VerificationStatus::inconclusive) flags.saw_inconclusive = true;
            return output->push(solved->record, solved->query);
        }
        return route_error(std::get<ErrorRecord>(item), flags, *sidecar, jsonl, fail_fast,
                           [&](const ErrorRecord& record) -> Result<void> {
                               auto pushed = output->push_inline_error(record);
                               if (!pushed) return std::unexpected(std::move(pushed).error());
                               return {};
                           });
    };
    const SolveJobSettings job_settings{.keep_query = format == OutputFormat::sam};
    auto summary = rux_dp::run_ordered(pairs, *options, job_settings, solve_job, sink);
    if (!summary) return std::unexpected(std::move(summary).error());

    if (auto finished = output->finish(); !finished)
        return std::unexpected(std::move(finished).error());
    if (auto finished = sidecar->finish(); !finished)
        return std::unexpected(std::move(finished).error());
    return static_cast<int>(exit_status(flags));
}

}  // namespace rux_align
