#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "rux_align/outputs.hpp"
#include "rux_align/run.hpp"
#include "rux_dp/batch/ordered_runner.hpp"
#include "rux_dp/oracle/compare.hpp"
#include "rux_dp/oracle/verify.hpp"
#include "rux_dp/record_io/alignment_record_reader.hpp"
#include "rux_dp/sequence_io/sequence_source.hpp"
#include "rux_dp/sequence_store/sequence_store.hpp"

namespace rux_align {

namespace {

using rux_dp::ErrorRecord;
using rux_dp::Result;

rux_dp::RecordInputFormat input_format(RecordFormat format) {
    switch (format) {
        case RecordFormat::json:
            return rux_dp::RecordInputFormat::json;
        case RecordFormat::jsonl:
            return rux_dp::RecordInputFormat::jsonl;
        case RecordFormat::paf:
            return rux_dp::RecordInputFormat::paf;
        case RecordFormat::sam:
            return rux_dp::RecordInputFormat::sam;
    }
    return rux_dp::RecordInputFormat::json;
}

bool tabular(RecordFormat format) {
    return format == RecordFormat::paf || format == RecordFormat::sam;
}

rux_dp::VerificationLevel verification_level(Level level) {
    switch (level) {
        case Level::structure:
            return rux_dp::VerificationLevel::structure;
        case Level::score:
            return rux_dp::VerificationLevel::score;
        case Level::optimal:
            return rux_dp::VerificationLevel::optimal;
    }
    return rux_dp::VerificationLevel::optimal;
}

// The report output and the sidecar of verify and compare.
struct ReportSinks {
    ReportOutput output;
    ErrorSidecar sidecar;
};

Result<ReportSinks> open_report_sinks(ReportFormat format,
                                      const std::optional<std::filesystem::path>& output,
                                      const BatchArgs& batch) {
    auto writer = open_writer(path_string(output));
    if (!writer) return std::unexpected(std::move(writer).error());
    ReportOutput report = format == ReportFormat::text
                              ? ReportOutput::text(std::move(*writer))
                              : ReportOutput::json(JsonStream(std::move(*writer),
                                                              format == ReportFormat::jsonl));
    auto sidecar = ErrorSidecar::open(path_string(batch.errors));
    if (!sidecar) return std::unexpected(std::move(sidecar).error());
    return ReportSinks{.output = std::move(report), .sidecar = std::move(*sidecar)};
}

Result<int> finish_reports(ReportSinks& sinks, const RunFlags& flags) {
    if (auto finished = sinks.output.finish(); !finished)
        return std::unexpected(std::move(finished).error());
    if (auto finished = sinks.sidecar.finish(); !finished)
        return std::unexpected(std::move(finished).error());
    return static_cast<int>(exit_status(flags));
}

Result<void> route_report_error(const ErrorRecord& record, RunFlags& flags, ReportSinks& sinks,
                                bool jsonl, bool fail_fast) {
    return route_error(record, flags, sinks.sidecar, jsonl, fail_fast,
                       [&](const ErrorRecord& inline_record) -> Result<void> {
                           auto pushed = sinks.output.push_inline_error(inline_record);
                           if (!pushed) return std::unexpected(std::move(pushed).error());
                           return {};
                       });
}

struct VerifyJob {
    rux_dp::ResolvedAlignment resolved;
    std::uint64_t cost() const { return resolved.query.size() + resolved.target.size(); }
};

struct VerifySettings {
    rux_dp::VerificationLevel level = rux_dp::VerificationLevel::optimal;
    std::uint64_t max_cells = 0;
};

// The verify input stream: the reader's items as jobs or error records.
struct VerifyStream {
    rux_dp::AlignmentRecordReader* reader;
    std::optional<std::variant<VerifyJob, ErrorRecord>> next() {
        auto item = reader->next();
        if (!item) return std::nullopt;
        if (auto* resolved = std::get_if<rux_dp::ResolvedAlignment>(&*item))
            return VerifyJob{.resolved = std::move(*resolved)};
        return std::move(std::get<ErrorRecord>(*item));
    }
};

std::variant<rux_dp::VerificationReport, ErrorRecord> verify_job(const VerifySettings& settings,
                                                                 VerifyJob job) {
    return rux_dp::verify(rux_dp::VerificationRequest{.record = std::move(job.resolved.record),
                                                      .query = std::move(job.resolved.query),
                                                      .target = std::move(job.resolved.target),
                                                      .max_cells = settings.max_cells,
                                                      .level = settings.level});
}

struct ComparisonJob {
    std::uint64_t pair_index = 0;
    rux_dp::AlignmentRecord left;
    rux_dp::AlignmentRecord right;
    std::string query;
    std::string target;
    std::uint64_t cost() const { return query.size() + target.size(); }
};

struct NoSettings {};

// Pairs the two readers record by record.
class ComparisonStream {
public:
    ComparisonStream(rux_dp::AlignmentRecordReader& left, rux_dp::AlignmentRecordReader& right)
        : left_(left), right_(right) {}

    std::optional<std::variant<ComparisonJob, ErrorRecord>> next() {
        if (finished_) return std::nullopt;
        auto left = left_.next();
        auto right = right_.next();
        if (!left && !right) {
            finished_ = true;
            return std::nullopt;
        }
        const std::uint64_t index = index_++;
        if (!left || !right) {
            finished_ = true;
            rux_dp::ErrorContext context;
            context.pair_index = index;
            ErrorRecord record =
                ErrorRecord::make(rux_dp::ErrorStage::record_parse, "comparison_count_mismatch",
                                  "comparison inputs have different record counts", context);
            record.error.recoverable = false;
            return record;
        }
        if (auto* error = std::get_if<ErrorRecord>(&*left)) return std::move(*error);
        if (auto* error = std::get_if<ErrorRecord>(&*right)) return std::move(*error);
        auto& l = std::get<rux_dp::ResolvedAlignment>(*left);
        auto& r = std::get<rux_dp::ResolvedAlignment>(*right);
        return ComparisonJob{.pair_index = index,
                             .left = std::move(l.record),
                             .right = std::move(r.record),
                             .query = std::move(l.query),
                             .target = std::move(l.target)};
    }

private:
    rux_dp::AlignmentRecordReader& left_;
    rux_dp::AlignmentRecordReader& right_;
    std::uint64_t index_ = 0;
    bool finished_ = false;
};

std::variant<rux_dp::ComparisonReport, ErrorRecord> compare_job(const NoSettings&,
                                                                ComparisonJob job) {
    rux_dp::ErrorContext context;
    context.pair_index = job.pair_index;
    context.query_id = job.left.pair.query.id;
    context.target_id = job.left.pair.target.id;
    auto report = rux_dp::compare(std::move(job.left), std::move(job.right), std::move(job.query),
                                  std::move(job.target));
    if (!report)
        return ErrorRecord::make(rux_dp::ErrorStage::compare, "comparison_failed",
                                 report.error(), std::move(context));
    return std::move(*report);
}

}  // namespace

Result<std::optional<rux_dp::ProblemSpec>> problem_from_cli(const std::optional<Mode>& mode,
                                                            const VerificationScoring& scoring) {
    if (!mode) return std::optional<rux_dp::ProblemSpec>();
    rux_dp::ProblemSpec problem{.mode = to_alignment_mode(*mode), .scoring = {}};
    if (*mode == Mode::edit_distance) {
        problem.scoring = rux_dp::EditDistanceScoring{};
        return std::optional<rux_dp::ProblemSpec>(std::move(problem));
    }
    rux_dp::SubstitutionScheme substitution = rux_dp::Blosum62Scheme{};
    if (!scoring.matrix) {
        if (!scoring.match)
            return std::unexpected("--match is required for match/mismatch PAF/SAM verification");
        if (!scoring.mismatch_penalty)
            return std::unexpected(
                "--mismatch-penalty is required for match/mismatch PAF/SAM verification");
        substitution = substitution_scheme(*scoring.match, *scoring.mismatch_penalty, std::nullopt);
    }
    if (*mode == Mode::global_affine) {
        if (!scoring.gap_open)
            return std::unexpected("--gap-open is required for global-affine PAF/SAM");
        if (!scoring.gap_extend)
            return std::unexpected("--gap-extend is required for global-affine PAF/SAM");
        problem.scoring = rux_dp::AffineScoring{.substitution = std::move(substitution),
                                                .gap_open = *scoring.gap_open,
                                                .gap_extend = *scoring.gap_extend};
    } else {
        if (!scoring.gap) return std::unexpected("--gap is required for linear-mode PAF/SAM");
        problem.scoring =
            rux_dp::LinearScoring{.substitution = std::move(substitution), .gap = *scoring.gap};
    }
    return std::optional<rux_dp::ProblemSpec>(std::move(problem));
}

Result<rux_dp::SequenceStore> build_source_store(
    const InputArgs& input, const std::optional<std::filesystem::path>& temp_dir) {
    auto store = rux_dp::SequenceStore::create(temp_dir);
    if (!store) return std::unexpected(std::move(store).error());
    auto query =
        rux_dp::open_sequence_source(value_text(input.query), path_text(input.query_file), "query");
    if (!query) return std::unexpected(std::move(query).error());
    if (auto ingested = store->ingest(rux_dp::SequenceSide::query, std::move(*query)); !ingested)
        return std::unexpected(std::move(ingested).error());
    auto target = rux_dp::open_sequence_source(value_text(input.target),
                                               path_text(input.target_file), "target");
    if (!target) return std::unexpected(std::move(target).error());
    if (auto ingested = store->ingest(rux_dp::SequenceSide::target, std::move(*target)); !ingested)
        return std::unexpected(std::move(ingested).error());
    return std::move(*store);
}

Result<int> run_verify(const VerifyCommand& command) {
    const bool jsonl = command.output_format == ReportFormat::jsonl;
    auto options = command.batch.options(jsonl);
    if (!options) return std::unexpected(std::move(options).error());
    std::optional<rux_dp::ProblemSpec> problem;
    if (tabular(command.format)) {
        auto built = problem_from_cli(command.mode, command.scoring);
        if (!built) return std::unexpected(std::move(built).error());
        problem = std::move(*built);
    }
    auto store = build_source_store(command.input, command.batch.temp_dir);
    if (!store) return std::unexpected(std::move(store).error());
    auto reader = rux_dp::AlignmentRecordReader::open(
        command.alignment.native(), input_format(command.format), problem ? &*problem : nullptr,
        *store);
    if (!reader) return std::unexpected(std::move(reader).error());
    auto sinks = open_report_sinks(command.output_format, command.output, command.batch);
    if (!sinks) return std::unexpected(std::move(sinks).error());

    RunFlags flags;
    const bool fail_fast = options->fail_fast;
    const auto sink =
        [&](std::variant<rux_dp::VerificationReport, ErrorRecord>&& item) -> Result<void> {
        if (auto* report = std::get_if<rux_dp::VerificationReport>(&item)) {
            const auto status = report->verification.status;
            if (status == rux_dp::VerificationStatus::invalid) flags.saw_failure = true;
            if (status == rux_dp::VerificationStatus::inconclusive
                || status == rux_dp::VerificationStatus::error)
                flags.saw_inconclusive = true;
            return sinks->output.push_verification(*report);
        }
        return route_report_error(std::get<ErrorRecord>(item), flags, *sinks, jsonl, fail_fast);
    };
    const VerifySettings settings{.level = verification_level(command.level),
                                  .max_cells = command.max_cells};
    VerifyStream stream{.reader = &*reader};
    auto summary = rux_dp::run_ordered(stream, *options, settings, verify_job, sink);
    if (!summary) return std::unexpected(std::move(summary).error());
    return finish_reports(*sinks, flags);
}

Result<int> run_compare(const CompareCommand& command) {
    const bool jsonl = command.output_format == ReportFormat::jsonl;
    auto options = command.batch.options(jsonl);
    if (!options) return std::unexpected(std::move(options).error());
    std::optional<rux_dp::ProblemSpec> problem;
    if (tabular(command.left_format) || tabular(command.right_format)) {
        auto built = problem_from_cli(command.mode, command.scoring);
        if (!built) return std::unexpected(std::move(built).error());
        problem = std::move(*built);
    }
    auto store = build_source_store(command.input, command.batch.temp_dir);
    if (!store) return std::unexpected(std::move(store).error());
    const rux_dp::ProblemSpec* given = problem ? &*problem : nullptr;
    auto left = rux_dp::AlignmentRecordReader::open(
        command.left.native(), input_format(command.left_format), given, *store);
    if (!left) return std::unexpected(std::move(left).error());
    auto right = rux_dp::AlignmentRecordReader::open(
        command.right.native(), input_format(command.right_format), given, *store);
    if (!right) return std::unexpected(std::move(right).error());
    ComparisonStream stream(*left, *right);
    auto sinks = open_report_sinks(command.output_format, command.output, command.batch);
    if (!sinks) return std::unexpected(std::move(sinks).error());

    RunFlags flags;
    const bool fail_fast = options->fail_fast;
    const auto sink =
        [&](std::variant<rux_dp::ComparisonReport, ErrorRecord>&& item) -> Result<void> {
        if (auto* report = std::get_if<rux_dp::ComparisonReport>(&item)) {
            if (!report->equivalent) flags.saw_failure = true;
            return sinks->output.push_comparison(*report);
        }
        return route_report_error(std::get<ErrorRecord>(item), flags, *sinks, jsonl, fail_fast);
    };
    auto summary = rux_dp::run_ordered(stream, *options, NoSettings{}, compare_job, sink);
    if (!summary) return std::unexpected(std::move(summary).error());
    return finish_reports(*sinks, flags);
}

}  // namespace rux_align
