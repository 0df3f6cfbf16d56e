#pragma once

#include <iosfwd>
#include <optional>
#include <string>

#include "rux_align/options.hpp"
#include "rux_dp/base/result.hpp"
#include "rux_dp/batch/error_record.hpp"
#include "rux_dp/oracle/records.hpp"
#include "rux_dp/sequence_store/sequence_store.hpp"

namespace rux_align {

/// What the sink saw during a command; only ever set.
struct RunFlags {
    bool saw_error = false;
    bool saw_failure = false;
    bool saw_inconclusive = false;
};

enum class ExitStatus { ok = 0, failed = 1, error = 2, inconclusive = 3 };

/// The first flag set, in the order error, failure, inconclusive, decides the status.
ExitStatus exit_status(const RunFlags& flags);

/// Parses the command line and runs the command. Help, version and usage errors are printed here
/// and returned as their status; a fatal message is returned for `main` to print.
[[nodiscard]] rux_dp::Result<int> run(int argc, const char* const* argv, std::ostream& out,
                                      std::ostream& err);

[[nodiscard]] rux_dp::Result<int> run_solve(const SolveCommand& command);
[[nodiscard]] rux_dp::Result<int> run_verify(const VerifyCommand& command);
[[nodiscard]] rux_dp::Result<int> run_compare(const CompareCommand& command);

/// The problem of PAF and SAM records from --mode and the scoring options; none without a mode.
[[nodiscard]] rux_dp::Result<std::optional<rux_dp::ProblemSpec>> problem_from_cli(
    const std::optional<Mode>& mode, const VerificationScoring& scoring);

/// The temporary store of the query and target inputs of verify and compare.
[[nodiscard]] rux_dp::Result<rux_dp::SequenceStore> build_source_store(
    const InputArgs& input, const std::optional<std::filesystem::path>& temp_dir);

/// The record-level mode of a command-line mode.
rux_dp::AlignmentMode to_alignment_mode(Mode mode);

/// The substitution scheme of the command-line scoring options: BLOSUM62 with --matrix, else
/// match/mismatch.
rux_dp::SubstitutionScheme substitution_scheme(std::int32_t match, std::int32_t mismatch_penalty,
                                               const std::optional<MatrixName>& matrix);

/// Optional option values as the text views the input openers take.
std::optional<std::string_view> value_text(const std::optional<std::string>& value);
std::optional<std::string_view> path_text(const std::optional<std::filesystem::path>& path);
std::optional<std::string> path_string(const std::optional<std::filesystem::path>& path);

/// Routes an error record the way every sink does: sets `saw_error`, writes it to the sidecar,
/// else inline into a JSON Lines output (`push_inline`), and under fail-fast returns its message.
template <class Sidecar, class PushInline>
[[nodiscard]] rux_dp::Result<void> route_error(const rux_dp::ErrorRecord& record, RunFlags& flags,
                                               Sidecar& sidecar, bool jsonl, bool fail_fast,
                                               PushInline&& push_inline) {
    flags.saw_error = true;
    auto written = sidecar.push(record);
    if (!written) return std::unexpected(std::move(written).error());
    if (jsonl && !*written) {
        auto pushed = push_inline(record);
        if (!pushed) return std::unexpected(std::move(pushed).error());
    }
    if (fail_fast) return std::unexpected(record.error.message);
    return {};
}

}  // namespace rux_align
