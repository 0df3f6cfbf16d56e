#pragma once

#include "rux_dp/base/result.hpp"
#include "rux_dp/batch/batch_options.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <variant>

namespace rux_align {

/// The five alignment modes, in the order of their outward names ("edit-distance", ...).
enum class Mode { edit_distance, global_linear, global_affine, local_linear, semiglobal_linear };
/// `solve --format`: "text", "json", "jsonl", "paf", "sam".
enum class OutputFormat { text, json, jsonl, paf, sam };
/// Formats of alignment record inputs (`verify --format`, `compare --left-format`, ...).
enum class RecordFormat { json, jsonl, paf, sam };
/// `--output-format` of `verify` and `compare`: "text", "json", "jsonl".
enum class ReportFormat { text, json, jsonl };
/// `--scope`: "alignment" (with traceback) or "score" (the objective only).
enum class Scope { alignment, score };
/// `--level`: "structure", "score", "optimal".
enum class Level { structure, score, optimal };
/// `--matrix`: "blosum62".
enum class MatrixName { blosum62 };

/// The outward name of each value, as written on the command line.
std::string_view name(Mode value);
std::string_view name(OutputFormat value);
std::string_view name(RecordFormat value);
std::string_view name(ReportFormat value);
std::string_view name(Scope value);
std::string_view name(Level value);
std::string_view name(MatrixName value);

/// Sequence inputs. Not checked here: the sequence input requires exactly one of each pair.
struct InputArgs {
    std::optional<std::string> query = std::nullopt;  ///< --query, an inline sequence
    std::optional<std::filesystem::path> query_file =
        std::nullopt;                                  ///< --query-file, "-" is standard input
    std::optional<std::string> target = std::nullopt;  ///< --target
    std::optional<std::filesystem::path> target_file =
        std::nullopt;  ///< --target-file, "-" is standard input

    bool operator==(const InputArgs&) const = default;
};

/// Output of every `solve` mode.
struct OutputArgs {
    OutputFormat format = OutputFormat::text;
    std::optional<std::filesystem::path> output = std::nullopt;  ///< absent: standard output

    bool operator==(const OutputArgs&) const = default;
};

/// Batch settings shared by all commands.
struct BatchArgs {
    std::optional<std::uint64_t> threads = std::nullopt;  ///< absent: min(available processors, 8)
    std::optional<std::uint64_t> max_in_flight = std::nullopt;  ///< absent: 2 x threads
    std::uint64_t max_in_flight_bases = 64'000'000;
    bool fail_fast = false;
    std::optional<std::filesystem::path> errors =
        std::nullopt;  ///< --errors, the JSON Lines error sidecar
    std::optional<std::filesystem::path> temp_dir =
        std::nullopt;  ///< absent: the system's temporary directory

    /// The effective, validated batch options. Without JSON Lines output, a run without an error
    /// sidecar always fails fast. Fails with the validation message, or with
    /// "--temp-dir {} is not a directory" when --temp-dir names no existing directory.
    [[nodiscard]] rux_dp::Result<rux_dp::BatchOptions> options(bool jsonl_output) const;

    bool operator==(const BatchArgs&) const = default;
};

/// Settings of every `solve` mode.
struct CommonSolve {
    /// Checked per mode and scope by the solve driver. First, so that nothing is built before
    /// the one member whose construction can throw (GCC 12 then warns falsely in the unwinding).
    std::string backend = "auto";
    InputArgs input{};
    OutputArgs output{};
    Scope scope = Scope::alignment;
    std::optional<std::uint64_t> block_size =
        std::nullopt;         ///< absent: the engine's default block size
    std::uint64_t band = 64;  ///< diagonal half-band for banded-affine
    bool cross_check = false;
    bool operations = false;
    bool integrity = false;
    BatchArgs batch{};

    /// Turns away what the parser accepts but no job could run: a --block-size of 0
    /// ("--block-size must be greater than zero"). The solve driver calls it before any job runs.
    [[nodiscard]] rux_dp::Result<void> validate() const;

    bool operator==(const CommonSolve&) const = default;
};

/// Scoring of the linear modes. Gaps are added as given (negative); the mismatch penalty is
/// positive and subtracted. With `matrix`, `match` and `mismatch_penalty` are not used.
struct LinearScoringArgs {
    std::int32_t match = 2;
    std::int32_t mismatch_penalty = 1;
    std::int32_t gap = -2;
    std::optional<MatrixName> matrix = std::nullopt;

    bool operator==(const LinearScoringArgs&) const = default;
};

/// Scoring of "global-affine"; signs as in `LinearScoringArgs`.
struct AffineScoringArgs {
    std::int32_t match = 2;
    std::int32_t mismatch_penalty = 1;
    std::int32_t gap_open = -3;
    std::int32_t gap_extend = -1;
    std::optional<MatrixName> matrix = std::nullopt;

    bool operator==(const AffineScoringArgs&) const = default;
};

struct EditSolve {
    CommonSolve common{};
    bool operator==(const EditSolve&) const = default;
};
struct LinearSolve {
    CommonSolve common{};
    LinearScoringArgs scoring{};
    bool operator==(const LinearSolve&) const = default;
};
struct AffineSolve {
    CommonSolve common{};
    AffineScoringArgs scoring{};
    bool operator==(const AffineSolve&) const = default;
};

/// `solve <mode>`: `mode` is the tag. "edit-distance" holds an `EditSolve`, "global-affine" an
/// `AffineSolve`, the other three a `LinearSolve`.
struct SolveCommand {
    Mode mode = Mode::edit_distance;
    std::variant<EditSolve, LinearSolve, AffineSolve> settings{};

    const CommonSolve& common() const;
    bool operator==(const SolveCommand&) const = default;
};

/// Scoring for `verify` and `compare`, all optional; used only to build the problem of PAF and
/// SAM records.
struct VerificationScoring {
    std::optional<std::int32_t> match = std::nullopt;
    std::optional<std::int32_t> mismatch_penalty = std::nullopt;
    std::optional<std::int32_t> gap = std::nullopt;
    std::optional<std::int32_t> gap_open = std::nullopt;
    std::optional<std::int32_t> gap_extend = std::nullopt;
    std::optional<MatrixName> matrix = std::nullopt;

    bool operator==(const VerificationScoring&) const = default;
};

struct VerifyCommand {
    std::filesystem::path alignment{};         ///< required; "-" is standard input
    RecordFormat format = RecordFormat::json;  ///< required
    InputArgs input{};
    BatchArgs batch{};
    std::optional<Mode> mode = std::nullopt;  ///< required for PAF and SAM records
    VerificationScoring scoring{};
    Level level = Level::optimal;
    std::uint64_t max_cells = 25'000'000;  ///< reference DP cells; 0 means unlimited
    ReportFormat output_format = ReportFormat::text;
    std::optional<std::filesystem::path> output = std::nullopt;  ///< absent: standard output

    bool operator==(const VerifyCommand&) const = default;
};

struct CompareCommand {
    std::filesystem::path left{};                    ///< required
    RecordFormat left_format = RecordFormat::json;   ///< required
    std::filesystem::path right{};                   ///< required
    RecordFormat right_format = RecordFormat::json;  ///< required
    InputArgs input{};
    BatchArgs batch{};
    std::optional<Mode> mode = std::nullopt;  ///< required when either input is PAF or SAM
    VerificationScoring scoring{};
    ReportFormat output_format = ReportFormat::text;
    std::optional<std::filesystem::path> output = std::nullopt;  ///< absent: standard output

    bool operator==(const CompareCommand&) const = default;
};

using Command = std::variant<SolveCommand, VerifyCommand, CompareCommand>;

/// A parsed command line.
struct Cli {
    Command command{};
    bool operator==(const Cli&) const = default;
};

/// The command line asked for nothing to run: help, version, or a rejected command line. Its text
/// is already written; the process ends with `status` (0 for help and version, 2 otherwise).
struct EarlyExit {
    int status = 2;
    bool operator==(const EarlyExit&) const = default;
};

using ParseOutcome = std::variant<Cli, EarlyExit>;

/// Parses the process arguments (argv[0] is the program and is ignored). Help and version go to
/// `out`; usage errors (with the usage line), and the help when no command or no solve mode is
/// given, go to `err`. Fails only when the option definitions themselves are broken.
[[nodiscard]] rux_dp::Result<ParseOutcome> parse_command_line(int argc, const char* const* argv,
                                                              std::ostream& out, std::ostream& err);

}  // namespace rux_align
