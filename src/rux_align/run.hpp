#pragma once

#include <iosfwd>
#include <optional>
#include <string>

#include "rux_align/options.hpp"
#include "rux_dp/base/result.hpp"
#include "rux_dp/batch/error_record.hpp"
#include "rux_dp/oracle/records.hpp"

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

/// The record-level mode of a command-line mode.
rux_dp::AlignmentMode to_alignment_mode(Mode mode);

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
