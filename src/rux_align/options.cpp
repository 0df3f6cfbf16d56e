#include "rux_align/options.hpp"

#include "rux_dp/base/version.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#include <functional>
#include <limits>
#include <system_error>
#include <utility>
#include <vector>

namespace rux_align {
namespace {

constexpr std::array<std::string_view, 5> mode_names{
    "edit-distance", "global-linear", "global-affine", "local-linear", "semiglobal-linear"};
constexpr std::array<std::string_view, 5> output_format_names{"text", "json", "jsonl", "paf",
                                                              "sam"};
constexpr std::array<std::string_view, 4> record_format_names{"json", "jsonl", "paf", "sam"};
constexpr std::array<std::string_view, 3> report_format_names{"text", "json", "jsonl"};
constexpr std::array<std::string_view, 2> scope_names{"alignment", "score"};
constexpr std::array<std::string_view, 3> level_names{"structure", "score", "optimal"};
constexpr std::array<std::string_view, 1> matrix_names{"blosum62"};

template <class E, std::size_t N>
std::string_view table_name(const std::array<std::string_view, N>& names, E value) {
    return names.at(static_cast<std::size_t>(value));
}

constexpr std::string_view about_text =
    "Exact alignment reference generation, verification, and comparison";

/// Strict decimal: no sign for unsigned types, no "+", no spaces, no base prefix, in range.
/// The parser's own conversion would take "-1" as 2^64 - 1 and "010" as octal.
template <class T>
std::optional<T> parse_decimal(std::string_view text) {
    T value{};
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end)
        return std::nullopt;
    return value;
}

template <class T>
CLI::Validator decimal_check() {
    const std::string kind = std::is_signed_v<T> ? "a signed 32-bit" : "an unsigned 64-bit";
    return CLI::Validator(
        [kind](std::string& text) -> std::string {
            if (parse_decimal<T>(text))
                return {};
            return "'" + text + "' is not " + kind + " decimal number";
        },
        "");
}

/// Options keep their values in the command records, so each binding writes into a field.
template <class T>
CLI::Option* add_number(CLI::App& app, const std::string& flag, const std::string& value_name,
                        std::function<void(T)> store, const std::string& help = "") {
    return app
        .add_option_function<std::string>(
            flag, [store](const std::string& text) { store(*parse_decimal<T>(text)); }, help)
        ->type_name(value_name)
        ->check(decimal_check<T>());
}

template <class E, std::size_t N>
CLI::Option* add_choice(CLI::App& app, const std::string& flag, const std::string& value_name,
                        const std::array<std::string_view, N>& names, std::function<void(E)> store,
                        const std::string& help = "") {
    const std::vector<std::string> allowed(names.begin(), names.end());
    return app
        .add_option_function<std::string>(
            flag,
            [names, store](const std::string& text) {
                const auto* found = std::find(names.begin(), names.end(), text);
                store(static_cast<E>(found - names.begin()));
            },
            help)
        ->type_name(value_name)
        ->check(CLI::IsMember(allowed));
}

CLI::Option* add_text(CLI::App& app, const std::string& flag, const std::string& value_name,
                      std::function<void(const std::string&)> store, const std::string& help = "") {
    return app.add_option_function<std::string>(flag, std::move(store), help)
        ->type_name(value_name);
}

CLI::Option* add_path(CLI::App& app, const std::string& flag, const std::string& value_name,
                      std::function<void(std::filesystem::path)> store,
                      const std::string& help = "") {
    return add_text(
        app, flag, value_name,
        [store](const std::string& text) { store(std::filesystem::path(text)); }, help);
}

CLI::Option* add_switch(CLI::App& app, const std::string& flag, bool& field,
                        const std::string& help) {
    return app.add_flag(flag, field, help)->disable_flag_override();
}

void add_input_args(CLI::App& app, InputArgs& args) {
    const std::string group = "Input";
    add_text(app, "--query", "QUERY", [&args](const std::string& v) {
        args.query = v;
    })->group(group);
    add_path(app, "--query-file", "QUERY_FILE", [&args](std::filesystem::path v) {
        args.query_file = std::move(v);
    })->group(group);
    add_text(app, "--target", "TARGET", [&args](const std::string& v) {
        args.target = v;
    })->group(group);
    add_path(app, "--target-file", "TARGET_FILE", [&args](std::filesystem::path v) {
        args.target_file = std::move(v);
    })->group(group);
}

void add_batch_args(CLI::App& app, BatchArgs& args) {
    const std::string group = "Batch";
    add_number<std::uint64_t>(
        app, "--threads", "THREADS", [&args](std::uint64_t v) { args.threads = v; },
        "Number of worker threads (default: min(available CPUs, 8))")
        ->group(group);
    add_number<std::uint64_t>(
        app, "--max-in-flight", "MAX_IN_FLIGHT",
        [&args](std::uint64_t v) { args.max_in_flight = v; },
        "Maximum submitted but not emitted records (default: 2 x threads)")
        ->group(group);
    add_number<std::uint64_t>(
        app, "--max-in-flight-bases", "MAX_IN_FLIGHT_BASES",
        [&args](std::uint64_t v) { args.max_in_flight_bases = v; },
        "Maximum submitted but not emitted query+target bases")
        ->default_str(std::to_string(args.max_in_flight_bases))
        ->group(group);
    add_switch(app, "--fail-fast", args.fail_fast, "Stop after the first record-scoped error")
        ->group(group);
    add_path(
        app, "--errors", "ERRORS", [&args](std::filesystem::path v) { args.errors = std::move(v); },
        "Write recoverable errors as JSONL and continue non-JSONL output")
        ->group(group);
    add_path(
        app, "--temp-dir", "TEMP_DIR",
        [&args](std::filesystem::path v) { args.temp_dir = std::move(v); },
        "Parent directory for transient sequence and SAM stores")
        ->group(group);
}

void add_common_solve(CLI::App& app, CommonSolve& args) {
    add_input_args(app, args.input);

    add_choice<OutputFormat>(app, "--format", "FORMAT", output_format_names,
                             [&args](OutputFormat v) { args.output.format = v; })
        ->default_str(std::string(name(args.output.format)))
        ->group("Output");
    add_path(app, "--output", "OUTPUT", [&args](std::filesystem::path v) {
        args.output.output = std::move(v);
    })->group("Output");

    const std::string group = "Solve";
    add_choice<Scope>(
        app, "--scope", "SCOPE", scope_names, [&args](Scope v) { args.scope = v; },
        "Emit only the exact objective, without traceback")
        ->default_str(std::string(name(args.scope)))
        ->group(group);
    add_text(
        app, "--backend", "BACKEND", [&args](const std::string& v) { args.backend = v; },
        "Exact backend policy: auto, rux, or banded-affine where applicable")
        ->default_str(args.backend)
        ->group(group);
    add_number<std::uint64_t>(
        app, "--block-size", "BLOCK_SIZE", [&args](std::uint64_t v) { args.block_size = v; },
        "RUX summary-tree block size")
        ->group(group);
    add_number<std::uint64_t>(
        app, "--band", "BAND", [&args](std::uint64_t v) { args.band = v; },
        "Diagonal half-band for banded-affine")
        ->default_str(std::to_string(args.band))
        ->group(group);
    add_switch(app, "--cross-check", args.cross_check,
               "Cross-check the result with an independent rolling-frontier optimum")
        ->group(group);
    add_switch(app, "--operations", args.operations, "Include per-operation JSON details")
        ->group(group);
    add_switch(app, "--integrity", args.integrity,
               "Add a SHA-256 integrity fingerprint over deterministic record fields")
        ->group(group);

    add_batch_args(app, args.batch);
}

void add_matrix(CLI::App& app, std::optional<MatrixName>& field, const std::string& group) {
    add_choice<MatrixName>(app, "--matrix", "MATRIX", matrix_names, [&field](MatrixName v) {
        field = v;
    })->group(group);
}

void add_signed(CLI::App& app, const std::string& flag, const std::string& value_name,
                std::int32_t& field, const std::string& group) {
    add_number<std::int32_t>(app, flag, value_name, [&field](std::int32_t v) { field = v; })
        ->default_str(std::to_string(field))
        ->group(group);
}

void add_optional_signed(CLI::App& app, const std::string& flag, const std::string& value_name,
                         std::optional<std::int32_t>& field, const std::string& group) {
    add_number<std::int32_t>(app, flag, value_name, [&field](std::int32_t v) {
        field = v;
    })->group(group);
}

void add_linear_scoring(CLI::App& app, LinearScoringArgs& args) {
    add_signed(app, "--match", "MATCH_SCORE", args.match, "Scoring");
    add_signed(app, "--mismatch-penalty", "MISMATCH_PENALTY", args.mismatch_penalty, "Scoring");
    add_signed(app, "--gap", "GAP", args.gap, "Scoring");
    add_matrix(app, args.matrix, "Scoring");
}

void add_affine_scoring(CLI::App& app, AffineScoringArgs& args) {
    add_signed(app, "--match", "MATCH_SCORE", args.match, "Scoring");
    add_signed(app, "--mismatch-penalty", "MISMATCH_PENALTY", args.mismatch_penalty, "Scoring");
    add_signed(app, "--gap-open", "GAP_OPEN", args.gap_open, "Scoring");
    add_signed(app, "--gap-extend", "GAP_EXTEND", args.gap_extend, "Scoring");
    add_matrix(app, args.matrix, "Scoring");
}

/// `--mode` followed by the scoring that builds the problem of PAF and SAM records.
void add_problem(CLI::App& app, std::optional<Mode>& mode, VerificationScoring& args,
                 const std::string& mode_help) {
    const std::string group = "Problem";
    add_choice<Mode>(
        app, "--mode", "MODE", mode_names, [&mode](Mode v) { mode = v; }, mode_help)
        ->group(group);
    add_optional_signed(app, "--match", "MATCH_SCORE", args.match, group);
    add_optional_signed(app, "--mismatch-penalty", "MISMATCH_PENALTY", args.mismatch_penalty,
                        group);
    add_optional_signed(app, "--gap", "GAP", args.gap, group);
    add_optional_signed(app, "--gap-open", "GAP_OPEN", args.gap_open, group);
    add_optional_signed(app, "--gap-extend", "GAP_EXTEND", args.gap_extend, group);
    add_matrix(app, args.matrix, group);
}

void add_report_output(CLI::App& app, ReportFormat& format,
                       std::optional<std::filesystem::path>& output) {
    add_choice<ReportFormat>(app, "--output-format", "OUTPUT_FORMAT", report_format_names,
                             [&format](ReportFormat v) { format = v; })
        ->default_str(std::string(name(format)))
        ->group("Output");
    add_path(app, "--output", "OUTPUT", [&output](std::filesystem::path v) {
        output = std::move(v);
    })->group("Output");
}

void add_verify(CLI::App& app, VerifyCommand& args) {
    add_path(
        app, "--alignment", "ALIGNMENT",
        [&args](std::filesystem::path v) { args.alignment = std::move(v); },
        "Alignment records, or '-' for stdin")
        ->required()
        ->group("Records");
    add_choice<RecordFormat>(app, "--format", "FORMAT", record_format_names,
                             [&args](RecordFormat v) { args.format = v; })
        ->required()
        ->group("Records");
    add_input_args(app, args.input);
    add_batch_args(app, args.batch);
    add_problem(app, args.mode, args.scoring,
                "Required for PAF/SAM; ignored when native JSON embeds a problem");
    add_choice<Level>(app, "--level", "LEVEL", level_names, [&args](Level v) { args.level = v; })
        ->default_str(std::string(name(args.level)))
        ->group("Verification");
    add_number<std::uint64_t>(
        app, "--max-cells", "MAX_CELLS", [&args](std::uint64_t v) { args.max_cells = v; },
        "Maximum reference DP cells; 0 means unlimited")
        ->default_str(std::to_string(args.max_cells))
        ->group("Verification");
    add_report_output(app, args.output_format, args.output);
}

void add_compare(CLI::App& app, CompareCommand& args) {
    const std::string group = "Records";
    add_path(app, "--left", "LEFT", [&args](std::filesystem::path v) { args.left = std::move(v); })
        ->required()
        ->group(group);
    add_choice<RecordFormat>(app, "--left-format", "LEFT_FORMAT", record_format_names,
                             [&args](RecordFormat v) { args.left_format = v; })
        ->required()
        ->group(group);
    add_path(app, "--right", "RIGHT",
             [&args](std::filesystem::path v) { args.right = std::move(v); })
        ->required()
        ->group(group);
    add_choice<RecordFormat>(app, "--right-format", "RIGHT_FORMAT", record_format_names,
                             [&args](RecordFormat v) { args.right_format = v; })
        ->required()
        ->group(group);
    add_input_args(app, args.input);
    add_batch_args(app, args.batch);
    add_problem(app, args.mode, args.scoring, "Required when either input is PAF or SAM");
    add_report_output(app, args.output_format, args.output);
}

/// Storage for every command's options; the parsed subcommand picks one.
struct Bindings {
    EditSolve edit_distance;
    LinearSolve global_linear;
    AffineSolve global_affine;
    LinearSolve local_linear;
    LinearSolve semiglobal_linear;
    VerifyCommand verify;
    CompareCommand compare;
};

struct Definition {
    CLI::App app{std::string(about_text), std::string(rux_dp::tool_name)};
    CLI::App* solve = nullptr;
    std::array<CLI::App*, 5> modes{};  ///< indexed by `Mode`
    CLI::App* verify = nullptr;
    CLI::App* compare = nullptr;
};

void define(Definition& def, Bindings& bind) {
    CLI::App& app = def.app;
    app.set_version_flag("-V,--version",
                         std::string(rux_dp::tool_name) + " " + std::string(rux_dp::tool_version));
    app.require_subcommand(1);
    app.get_formatter()->column_width(36);

    def.solve = app.add_subcommand("solve", "Generate an exact reference score or alignment");
    def.solve->require_subcommand(1);
    for (std::size_t k = 0; k < mode_names.size(); ++k)
        def.modes[k] = def.solve->add_subcommand(std::string(mode_names[k]));
    const auto mode_app = [&def](Mode mode) { return def.modes[static_cast<std::size_t>(mode)]; };
    add_common_solve(*mode_app(Mode::edit_distance), bind.edit_distance.common);
    for (auto [mode, solve] : {std::pair{Mode::global_linear, &bind.global_linear},
                               std::pair{Mode::local_linear, &bind.local_linear},
                               std::pair{Mode::semiglobal_linear, &bind.semiglobal_linear}}) {
        add_common_solve(*mode_app(mode), solve->common);
        add_linear_scoring(*mode_app(mode), solve->scoring);
    }
    add_common_solve(*mode_app(Mode::global_affine), bind.global_affine.common);
    add_affine_scoring(*mode_app(Mode::global_affine), bind.global_affine.scoring);

    def.verify = app.add_subcommand(
        "verify", "Verify JSON, JSONL, PAF, or SAM records against source sequences");
    add_verify(*def.verify, bind.verify);
    def.compare = app.add_subcommand(
        "compare", "Compare two alignment result sets by exact objective equivalence");
    add_compare(*def.compare, bind.compare);
}

/// "rux-align solve global-linear" for the mode's subcommand.
std::string full_name(const CLI::App& app) {
    std::string path = app.get_name();
    for (const CLI::App* up = app.get_parent(); up != nullptr; up = up->get_parent())
        path = up->get_name() + " " + path;
    return path;
}

/// The innermost subcommand the parser entered, or the program itself.
const CLI::App& innermost(const CLI::App& app) {
    const CLI::App* current = &app;
    for (;;) {
        const std::vector<CLI::App*> chosen = current->get_subcommands();
        if (chosen.empty())
            return *current;
        current = chosen.front();
    }
}

EarlyExit usage_error(const CLI::App& app, const std::string& message, std::ostream& err) {
    err << message << '\n'
        << CLI::Formatter().make_usage(&app, full_name(app))
        << "Run with --help for more information.\n";
    return EarlyExit{2};
}

struct Rejected {
    const CLI::App* app;
    std::string message;
};

const CLI::App* named_subcommand(const CLI::App& app, const std::string& arg) {
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
        if (!sub->get_name().empty() && sub->check_name(arg))
            return sub;
    return nullptr;
}

/// Prepares the arguments for the parser, which would take any following argument as a value.
/// A separate value of two or more characters beginning with "-" is rejected instead (negative
/// numbers are attached: --gap=-2; a lone "-" stays a value). An attached value is passed as an
/// argument of its own, so an empty one ("--query=") stays empty: the parser would otherwise take
/// the next argument in its place.
std::variant<std::vector<std::string>, Rejected> prepare_arguments(const CLI::App& top, int argc,
                                                                   const char* const* argv) {
    std::vector<std::string> args;
    const CLI::App* current = &top;
    bool past_options = false;
    for (int k = 1; k < argc; ++k) {
        const std::string arg = argv[k];
        if (past_options || arg == "--") {
            past_options = true;
            args.push_back(arg);
            continue;
        }
        if (const CLI::App* sub = named_subcommand(*current, arg)) {
            current = sub;
            args.push_back(arg);
            continue;
        }
        const std::size_t equals = arg.find('=');
        const CLI::Option* option =
            arg.starts_with("--") ? current->get_option_no_throw(arg.substr(0, equals)) : nullptr;
        if (option == nullptr || option->get_items_expected_max() == 0) {
            args.push_back(arg);  // not a value-taking option: the parser judges it
            continue;
        }
        if (equals != std::string::npos) {
            args.push_back(arg.substr(0, equals));
            args.push_back(arg.substr(equals + 1));
            continue;
        }
        args.push_back(arg);
        if (k + 1 < argc) {
            const std::string value = argv[k + 1];
            if (value.size() >= 2 && value.front() == '-') {
                const std::string flag = option->get_name();
                return Rejected{current, flag + ": a value beginning with '-' must be attached "
                                                "with '=', as in " + flag + "=" + value};
            }
            args.push_back(value);
            ++k;
        }
    }
    std::reverse(args.begin(), args.end());  // the parser takes them last to first
    return args;
}

Command chosen_command(const Definition& def, Bindings& bind) {
    if (def.verify->parsed())
        return std::move(bind.verify);
    if (def.compare->parsed())
        return std::move(bind.compare);
    const auto parsed = [&def](Mode mode) {
        return def.modes[static_cast<std::size_t>(mode)]->parsed();
    };
    if (parsed(Mode::edit_distance))
        return SolveCommand{.mode = Mode::edit_distance, .settings = std::move(bind.edit_distance)};
    if (parsed(Mode::global_affine))
        return SolveCommand{.mode = Mode::global_affine, .settings = std::move(bind.global_affine)};
    if (parsed(Mode::global_linear))
        return SolveCommand{.mode = Mode::global_linear, .settings = std::move(bind.global_linear)};
    if (parsed(Mode::local_linear))
        return SolveCommand{.mode = Mode::local_linear, .settings = std::move(bind.local_linear)};
    return SolveCommand{.mode = Mode::semiglobal_linear,
                        .settings = std::move(bind.semiglobal_linear)};
}

}  // namespace

std::string_view name(Mode value) {
    return table_name(mode_names, value);
}
std::string_view name(OutputFormat value) {
    return table_name(output_format_names, value);
}
std::string_view name(RecordFormat value) {
    return table_name(record_format_names, value);
}
std::string_view name(ReportFormat value) {
    return table_name(report_format_names, value);
}
std::string_view name(Scope value) {
    return table_name(scope_names, value);
}
std::string_view name(Level value) {
    return table_name(level_names, value);
}
std::string_view name(MatrixName value) {
    return table_name(matrix_names, value);
}

rux_dp::Result<rux_dp::BatchOptions> BatchArgs::options(bool jsonl_output) const {
    rux_dp::BatchOptions result = rux_dp::BatchOptions::defaults();
    if (threads)
        result.threads = *threads;
    if (max_in_flight) {
        result.max_in_flight = *max_in_flight;
    } else {
        const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
        result.max_in_flight =
            std::max<std::uint64_t>(result.threads > max / 2 ? max : 2 * result.threads, 1);
    }
    result.max_in_flight_bases = max_in_flight_bases;
    // Without JSON Lines output an error record cannot travel in the output itself, so without
    // a sidecar the first one ends the run.
    result.fail_fast = jsonl_output ? fail_fast : fail_fast || !errors;
    if (auto valid = result.validate(); !valid)
        return std::unexpected(std::move(valid).error());
    if (temp_dir) {
        std::error_code ec;
        if (!std::filesystem::is_directory(*temp_dir, ec))
            return std::unexpected("--temp-dir " + temp_dir->string() + " is not a directory");
    }
    return result;
}

rux_dp::Result<void> CommonSolve::validate() const {
    // The engine needs at least one row per block.
    if (block_size && *block_size == 0)
        return std::unexpected("--block-size must be greater than zero");
    return {};
}

const CommonSolve& SolveCommand::common() const {
    return std::visit([](const auto& s) -> const CommonSolve& { return s.common; }, settings);
}

rux_dp::Result<ParseOutcome> parse_command_line(int argc, const char* const* argv,
                                                std::ostream& out, std::ostream& err) {
    try {
        Bindings bind;
        Definition def;
        define(def, bind);
        auto prepared = prepare_arguments(def.app, argc, argv);
        if (auto* rejected = std::get_if<Rejected>(&prepared))
            return usage_error(*rejected->app, rejected->message, err);
        try {
            def.app.parse(std::move(std::get<std::vector<std::string>>(prepared)));
        } catch (const CLI::ParseError& e) {
            if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
                def.app.exit(e, out, err);  // help or version
                return EarlyExit{0};
            }
            const CLI::App& at = innermost(def.app);
            const bool lacks_subcommand =
                !at.get_subcommands([](const CLI::App*) { return true; }).empty();
            if (lacks_subcommand && dynamic_cast<const CLI::RequiredError*>(&e) != nullptr) {
                const std::vector<std::string> extras = def.app.remaining(true);
                if (!extras.empty())
                    return usage_error(at, CLI::ExtrasError(extras).what(), err);
                err << def.app.help();  // the help of the innermost command
                return EarlyExit{2};
            }
            return usage_error(at, e.what(), err);
        }
        return Cli{.command = chosen_command(def, bind)};
    } catch (const CLI::Error& e) {
        return std::unexpected(std::string("invalid command-line definition: ") + e.what());
    }
}

}  // namespace rux_align
