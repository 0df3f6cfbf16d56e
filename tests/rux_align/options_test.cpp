#include "rux_align/options.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace rux_align {
namespace {

struct Parsed {
    rux_dp::Result<ParseOutcome> outcome;
    std::string out;
    std::string err;
};

Parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "rux-align");
    std::vector<const char*> argv;
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    std::ostringstream out, err;
    auto outcome = parse_command_line(static_cast<int>(argv.size()), argv.data(), out, err);
    return Parsed{std::move(outcome), out.str(), err.str()};
}

std::string joined(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& arg : args)
        text += (text.empty() ? "" : " ") + arg;
    return text;
}

/// The command of a command line that must parse, with nothing written.
Command command_of(const std::vector<std::string>& args) {
    Parsed p = parse(args);
    EXPECT_TRUE(p.outcome.has_value()) << joined(args);
    if (!p.outcome)
        return {};
    const Cli* cli = std::get_if<Cli>(&*p.outcome);
    EXPECT_NE(cli, nullptr) << joined(args) << "\nstderr: " << p.err;
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.err, "");
    return cli != nullptr ? cli->command : Command{};
}

SolveCommand solve_of(const std::vector<std::string>& args) {
    Command command = command_of(args);
    EXPECT_TRUE(std::holds_alternative<SolveCommand>(command)) << joined(args);
    return std::holds_alternative<SolveCommand>(command) ? std::get<SolveCommand>(command)
                                                         : SolveCommand{};
}

/// The exit status of a command line that must not run a command.
int early_status(const Parsed& p) {
    EXPECT_TRUE(p.outcome.has_value());
    if (!p.outcome)
        return -1;
    const EarlyExit* early = std::get_if<EarlyExit>(&*p.outcome);
    EXPECT_NE(early, nullptr);
    return early != nullptr ? early->status : -1;
}

/// A rejected command line: status 2, nothing on stdout, the message then the usage line on stderr.
void expect_usage_error(const std::vector<std::string>& args, const std::string& message,
                        const std::string& usage) {
    SCOPED_TRACE(joined(args));
    const Parsed p = parse(args);
    EXPECT_EQ(early_status(p), 2);
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.err, message + "\n" + usage + "\nRun with --help for more information.\n");
}

const std::string linear_usage = "Usage: rux-align solve global-linear [OPTIONS]";

TEST(Options, SolveDefaultsPerMode) {
    const SolveCommand edit = solve_of({"solve", "edit-distance"});
    EXPECT_EQ(edit.mode, Mode::edit_distance);
    ASSERT_TRUE(std::holds_alternative<EditSolve>(edit.settings));
    const CommonSolve& common = edit.common();
    EXPECT_EQ(common.input, InputArgs{});
    EXPECT_FALSE(common.input.query || common.input.query_file || common.input.target
                 || common.input.target_file);
    EXPECT_EQ(common.output.format, OutputFormat::text);
    EXPECT_FALSE(common.output.output);
    EXPECT_EQ(common.scope, Scope::alignment);
    EXPECT_EQ(common.backend, "auto");
    EXPECT_FALSE(common.block_size);
    EXPECT_EQ(common.band, 64u);
    EXPECT_FALSE(common.cross_check || common.operations || common.integrity);
    EXPECT_FALSE(common.batch.threads || common.batch.max_in_flight || common.batch.errors
                 || common.batch.temp_dir);
    EXPECT_EQ(common.batch.max_in_flight_bases, 64'000'000u);
    EXPECT_FALSE(common.batch.fail_fast);

    for (const auto& [mode_name, mode] :
         {std::pair{"global-linear", Mode::global_linear},
          std::pair{"local-linear", Mode::local_linear},
          std::pair{"semiglobal-linear", Mode::semiglobal_linear}}) {
        SCOPED_TRACE(mode_name);
        const SolveCommand linear = solve_of({"solve", mode_name});
        EXPECT_EQ(linear.mode, mode);
        ASSERT_TRUE(std::holds_alternative<LinearSolve>(linear.settings));
        const LinearSolve& s = std::get<LinearSolve>(linear.settings);
        EXPECT_EQ(s.common, common);
        EXPECT_EQ(s.scoring.match, 2);
        EXPECT_EQ(s.scoring.mismatch_penalty, 1);
        EXPECT_EQ(s.scoring.gap, -2);
        EXPECT_FALSE(s.scoring.matrix);
    }

    const SolveCommand affine = solve_of({"solve", "global-affine"});
    EXPECT_EQ(affine.mode, Mode::global_affine);
    ASSERT_TRUE(std::holds_alternative<AffineSolve>(affine.settings));
    const AffineSolve& a = std::get<AffineSolve>(affine.settings);
    EXPECT_EQ(a.common, common);
    EXPECT_EQ(a.scoring.match, 2);
    EXPECT_EQ(a.scoring.mismatch_penalty, 1);
    EXPECT_EQ(a.scoring.gap_open, -3);
    EXPECT_EQ(a.scoring.gap_extend, -1);
    EXPECT_FALSE(a.scoring.matrix);
}

TEST(Options, SolveEveryOption) {
    const SolveCommand got = solve_of({"solve",
                                       "global-linear",
                                       "--query",
                                       "ACGT",
                                       "--query-file",
                                       "q.fa",
                                       "--target=TTT",
                                       "--target-file=-",
                                       "--format",
                                       "jsonl",
                                       "--output",
                                       "out.jsonl",
                                       "--scope",
                                       "score",
                                       "--backend",
                                       "rux",
                                       "--block-size",
                                       "7",
                                       "--band=9",
                                       "--cross-check",
                                       "--operations",
                                       "--integrity",
                                       "--threads",
                                       "3",
                                       "--max-in-flight",
                                       "5",
                                       "--max-in-flight-bases",
                                       "100",
                                       "--fail-fast",
                                       "--errors",
                                       "errors.jsonl",
                                       "--temp-dir",
                                       "/tmp",
                                       "--match",
                                       "4",
                                       "--mismatch-penalty",
                                       "6",
                                       "--gap=-5",
                                       "--matrix",
                                       "blosum62"});
    LinearSolve want;
    want.common.input = {
        .query = "ACGT", .query_file = "q.fa", .target = "TTT", .target_file = "-"};
    want.common.output = {.format = OutputFormat::jsonl, .output = "out.jsonl"};
    want.common.scope = Scope::score;
    want.common.backend = "rux";
    want.common.block_size = 7;
    want.common.band = 9;
    want.common.cross_check = want.common.operations = want.common.integrity = true;
    want.common.batch = {.threads = 3,
                         .max_in_flight = 5,
                         .max_in_flight_bases = 100,
                         .fail_fast = true,
                         .errors = "errors.jsonl",
                         .temp_dir = "/tmp"};
    want.scoring = {.match = 4, .mismatch_penalty = 6, .gap = -5, .matrix = MatrixName::blosum62};
    const SolveCommand expected{.mode = Mode::global_linear, .settings = want};
    EXPECT_EQ(got, expected);

    const SolveCommand affine =
        solve_of({"solve", "global-affine", "--gap-open=-11", "--gap-extend=-2", "--match=-1",
                  "--mismatch-penalty", "0", "--band", "0"});
    ASSERT_TRUE(std::holds_alternative<AffineSolve>(affine.settings));
    const AffineSolve& a = std::get<AffineSolve>(affine.settings);
    EXPECT_EQ(
        a.scoring,
        (AffineScoringArgs{.match = -1, .mismatch_penalty = 0, .gap_open = -11, .gap_extend = -2}));
    EXPECT_EQ(a.common.band, 0u);
}

TEST(Options, VerifyAndCompareEveryOption) {
    const Command verify = command_of({"verify",
                                       "--alignment",
                                       "-",
                                       "--format",
                                       "paf",
                                       "--query-file",
                                       "q.fa",
                                       "--target-file",
                                       "t.fa.gz",
                                       "--threads=2",
                                       "--errors",
                                       "e.jsonl",
                                       "--mode",
                                       "global-affine",
                                       "--match",
                                       "3",
                                       "--mismatch-penalty",
                                       "4",
                                       "--gap=-1",
                                       "--gap-open=-6",
                                       "--gap-extend=-2",
                                       "--matrix=blosum62",
                                       "--level",
                                       "score",
                                       "--max-cells",
                                       "0",
                                       "--output-format",
                                       "jsonl",
                                       "--output",
                                       "report.jsonl"});
    const VerifyCommand expected_verify{.alignment = "-",
                                        .format = RecordFormat::paf,
                                        .input = {.query_file = "q.fa", .target_file = "t.fa.gz"},
                                        .batch = {.threads = 2, .errors = "e.jsonl"},
                                        .mode = Mode::global_affine,
                                        .scoring = {.match = 3,
                                                    .mismatch_penalty = 4,
                                                    .gap = -1,
                                                    .gap_open = -6,
                                                    .gap_extend = -2,
                                                    .matrix = MatrixName::blosum62},
                                        .level = Level::score,
                                        .max_cells = 0,
                                        .output_format = ReportFormat::jsonl,
                                        .output = "report.jsonl"};
    ASSERT_TRUE(std::holds_alternative<VerifyCommand>(verify));
    EXPECT_EQ(std::get<VerifyCommand>(verify), expected_verify);

    const Command minimal = command_of({"verify", "--alignment=a.json", "--format=json"});
    ASSERT_TRUE(std::holds_alternative<VerifyCommand>(minimal));
    const VerifyCommand& v = std::get<VerifyCommand>(minimal);
    EXPECT_EQ(v.level, Level::optimal);
    EXPECT_EQ(v.max_cells, 25'000'000u);
    EXPECT_EQ(v.output_format, ReportFormat::text);
    EXPECT_FALSE(v.mode || v.output);
    EXPECT_EQ(v.scoring, VerificationScoring{});
    EXPECT_FALSE(v.scoring.match || v.scoring.gap || v.scoring.matrix);

    const Command compare = command_of({"compare",
                                        "--left",
                                        "l.sam",
                                        "--left-format",
                                        "sam",
                                        "--right",
                                        "r.jsonl",
                                        "--right-format",
                                        "jsonl",
                                        "--query",
                                        "AC",
                                        "--target",
                                        "AG",
                                        "--max-in-flight",
                                        "4",
                                        "--mode",
                                        "edit-distance",
                                        "--gap=-0",
                                        "--output-format",
                                        "json"});
    const CompareCommand expected_compare{.left = "l.sam",
                                          .left_format = RecordFormat::sam,
                                          .right = "r.jsonl",
                                          .right_format = RecordFormat::jsonl,
                                          .input = {.query = "AC", .target = "AG"},
                                          .batch = {.max_in_flight = 4},
                                          .mode = Mode::edit_distance,
                                          .scoring = {.gap = 0},
                                          .output_format = ReportFormat::json};
    ASSERT_TRUE(std::holds_alternative<CompareCommand>(compare));
    EXPECT_EQ(std::get<CompareCommand>(compare), expected_compare);
}

TEST(Options, ValuesThatLookLikeOtherThings) {
    // A lone "-" is a value, so are words that name commands; "--query=" gives an empty sequence.
    const SolveCommand s =
        solve_of({"solve", "global-linear", "--query-file", "-", "--output", "-", "--query",
                  "verify", "--backend", "global-affine", "--target="});
    const CommonSolve& c = s.common();
    EXPECT_EQ(c.input.query_file, std::filesystem::path("-"));
    EXPECT_EQ(c.output.output, std::filesystem::path("-"));
    EXPECT_EQ(c.input.query, "verify");
    EXPECT_EQ(c.backend, "global-affine");
    EXPECT_EQ(c.input.target, "");
    EXPECT_EQ(solve_of({"solve", "edit-distance", "--query", ""}).common().input.query, "");

    const Command v = command_of({"verify", "--alignment", "compare", "--format", "sam"});
    ASSERT_TRUE(std::holds_alternative<VerifyCommand>(v));
    EXPECT_EQ(std::get<VerifyCommand>(v).alignment, std::filesystem::path("compare"));

    // Paths are bytes, not text.
    const std::string raw = "q\xff\xfe.fa";
    EXPECT_EQ(solve_of({"solve", "edit-distance", "--query-file", raw}).common().input.query_file,
              std::filesystem::path(raw));
}

TEST(Options, NegativeNumbersMustBeAttached) {
    const SolveCommand s = solve_of({"solve", "global-linear", "--gap=-2147483648", "--match=-0"});
    const LinearSolve& l = std::get<LinearSolve>(s.settings);
    EXPECT_EQ(l.scoring.gap, std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(l.scoring.match, 0);

    expect_usage_error({"solve", "global-linear", "--gap", "-2"},
                       "--gap: a value beginning with '-' must be attached with '=', as in "
                       "--gap=-2",
                       linear_usage);
    expect_usage_error({"verify", "--alignment", "--format", "json"},
                       "--alignment: a value beginning with '-' must be attached with '=', as in "
                       "--alignment=--format",
                       "Usage: rux-align verify [OPTIONS]");
    expect_usage_error({"solve", "global-linear", "--query", "-h"},
                       "--query: a value beginning with '-' must be attached with '=', as in "
                       "--query=-h",
                       linear_usage);
}

struct Rejection {
    std::vector<std::string> args;
    std::string message;
    std::string usage;
};

TEST(Options, RejectedCommandLines) {
    const std::string verify_usage = "Usage: rux-align verify [OPTIONS]";
    const std::string compare_usage = "Usage: rux-align compare [OPTIONS]";
    const std::vector<Rejection> cases = {
        {{"solve", "global-linear", "--format", "SAM"},
         "--format: SAM not in {text,json,jsonl,paf,sam}",
         linear_usage},
        {{"solve", "global-linear", "--scope=Score"},
         "--scope: Score not in {alignment,score}",
         linear_usage},
        {{"solve", "global-linear", "--matrix", "BLOSUM62"},
         "--matrix: BLOSUM62 not in {blosum62}",
         linear_usage},
        {{"verify", "--alignment", "a", "--format", "text"},
         "--format: text not in {json,jsonl,paf,sam}",
         verify_usage},
        {{"verify", "--alignment", "a", "--format", "json", "--mode", "global"},
         "--mode: global not in "
         "{edit-distance,global-linear,global-affine,local-linear,semiglobal-linear}",
         verify_usage},
        {{"verify", "--alignment", "a", "--format", "json", "--level", "full"},
         "--level: full not in {structure,score,optimal}",
         verify_usage},
        {{"verify", "--alignment", "a", "--format", "json", "--output-format", "paf"},
         "--output-format: paf not in {text,json,jsonl}",
         verify_usage},
        {{"compare", "--left", "l", "--left-format", "JSON", "--right", "r", "--right-format",
          "json"},
         "--left-format: JSON not in {json,jsonl,paf,sam}",
         compare_usage},
        {{"solve", "global-linear", "--threads=-1"},
         "--threads: '-1' is not an unsigned 64-bit decimal number",
         linear_usage},
        {{"solve", "global-linear", "--threads", "0x10"},
         "--threads: '0x10' is not an unsigned 64-bit decimal number",
         linear_usage},
        {{"solve", "global-linear", "--block-size", "2.5"},
         "--block-size: '2.5' is not an unsigned 64-bit decimal number",
         linear_usage},
        {{"solve", "global-linear", "--band", "18446744073709551616"},
         "--band: '18446744073709551616' is not an unsigned 64-bit decimal number",
         linear_usage},
        {{"solve", "global-linear", "--gap=2147483648"},
         "--gap: '2147483648' is not a signed 32-bit decimal number",
         linear_usage},
        {{"solve", "global-linear", "--match", "+2"},
         "--match: '+2' is not a signed 32-bit decimal number",
         linear_usage},
        {{"solve", "global-linear", "--match="},
         "--match: '' is not a signed 32-bit decimal number",
         linear_usage},
        {{"solve", "global-linear", "--gap-open=-3"},
         "The following argument was not expected: --gap-open=-3",
         linear_usage},
        {{"solve", "edit-distance", "--match=1"},
         "The following argument was not expected: --match=1",
         "Usage: rux-align solve edit-distance [OPTIONS]"},
        {{"solve", "global-linear", "--query"}, "--query: 1 required QUERY missing", linear_usage},
        {{"solve", "global-linear", "--fail-fast=no"},
         "fail-fast was given a disallowed flag override",
         linear_usage},
        {{"solve", "global-linear", "-V"},
         "The following argument was not expected: -V",
         linear_usage},
        {{"align"},
         "The following argument was not expected: align",
         "Usage: rux-align [OPTIONS] SUBCOMMAND"},
        {{"solve", "--threads=2"},
         "The following argument was not expected: --threads=2",
         "Usage: rux-align solve [OPTIONS] SUBCOMMAND"},
        {{"verify", "--format", "json"}, "--alignment is required", verify_usage},
        {{"compare", "--left", "l", "--left-format", "json", "--right", "r"},
         "--right-format is required",
         compare_usage},
    };
    for (const Rejection& c : cases)
        expect_usage_error(c.args, c.message, c.usage);
}

TEST(Options, HelpAndVersionRouting) {
    const Parsed top = parse({"--help"});
    EXPECT_EQ(early_status(top), 0);
    EXPECT_EQ(top.err, "");
    EXPECT_TRUE(
        top.out.starts_with("Exact alignment reference generation, verification, and comparison\n"
                            "Usage: rux-align [OPTIONS] SUBCOMMAND\n"))
        << top.out;
    EXPECT_EQ(parse({"-h"}).out, top.out);

    // Without a command, or without a solve mode, the help goes to stderr and the run fails.
    const Parsed none = parse({});
    EXPECT_EQ(early_status(none), 2);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, top.out);

    const Parsed solve_help = parse({"solve", "--help"});
    EXPECT_EQ(early_status(solve_help), 0);
    EXPECT_TRUE(
        solve_help.out.starts_with("Generate an exact reference score or alignment\n"
                                   "Usage: rux-align solve [OPTIONS] SUBCOMMAND\n"));
    const Parsed no_mode = parse({"solve"});
    EXPECT_EQ(early_status(no_mode), 2);
    EXPECT_EQ(no_mode.out, "");
    EXPECT_EQ(no_mode.err, solve_help.out);

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"solve", "semiglobal-linear", "--help"},
          {"solve", "semiglobal-linear", "--gap=-1", "-h"},
          {"verify", "-h"},
          {"compare", "--help"}}) {
        SCOPED_TRACE(joined(args));
        const Parsed p = parse(args);
        EXPECT_EQ(early_status(p), 0);
        EXPECT_EQ(p.err, "");
        const std::string usage = "Usage: rux-align "
                                  + (args[0] == "solve" ? args[0] + " " + args[1] : args[0])
                                  + " [OPTIONS]\n";
        EXPECT_NE(p.out.find(usage), std::string::npos) << p.out;
    }

    for (const char* flag : {"--version", "-V"}) {
        const Parsed p = parse({flag});
        EXPECT_EQ(early_status(p), 0);
        EXPECT_EQ(p.out, "rux-align 0.2.0-alpha.2\n");
        EXPECT_EQ(p.err, "");
    }
}

/// The help line of `option` (with its value name), and the line after it, where a long option
/// column pushes the description.
std::string help_entry(const std::string& help, const std::string& option) {
    const std::size_t at = help.find("\n  " + option);
    if (at == std::string::npos)
        return {};
    std::size_t end = help.find('\n', at + 1);
    if (end != std::string::npos && help.compare(end + 1, 5, "     ") == 0)
        end = help.find('\n', end + 1);
    return help.substr(at + 1, end - at - 1);
}

TEST(Options, HelpListsValueNamesDefaultsAndTexts) {
    const std::string top = parse({"--help"}).out;
    EXPECT_NE(top.find("Generate an exact reference score or alignment"), std::string::npos);
    EXPECT_NE(top.find("Verify JSON, JSONL, PAF, or SAM records against source sequences"),
              std::string::npos);
    EXPECT_NE(top.find("Compare two alignment result sets by exact objective equivalence"),
              std::string::npos);

    const std::string solve = parse({"solve", "--help"}).out;
    std::size_t last = 0;
    for (const char* mode :
         {"edit-distance", "global-linear", "global-affine", "local-linear", "semiglobal-linear"}) {
        const std::size_t at = solve.find(std::string("\n  ") + mode);
        EXPECT_NE(at, std::string::npos) << mode;
        EXPECT_GT(at, last) << mode;
        last = at;
    }

    struct Entry {
        const char* option;
        const char* text;  ///< value name, allowed values and default; then the help text
        const char* help;
    };
    const std::string linear = parse({"solve", "global-linear", "--help"}).out;
    const std::vector<Entry> linear_entries = {
        {"--query ", "--query QUERY", ""},
        {"--query-file", "--query-file QUERY_FILE", ""},
        {"--target ", "--target TARGET", ""},
        {"--target-file", "--target-file TARGET_FILE", ""},
        {"--format", "--format FORMAT:{text,json,jsonl,paf,sam}=text", ""},
        {"--output", "--output OUTPUT", ""},
        {"--scope", "--scope SCOPE:{alignment,score}=alignment",
         "Emit only the exact objective, without traceback"},
        {"--backend", "--backend BACKEND=auto",
         "Exact backend policy: auto, rux, or banded-affine where applicable"},
        {"--block-size", "--block-size BLOCK_SIZE", "RUX summary-tree block size"},
        {"--band", "--band BAND=64", "Diagonal half-band for banded-affine"},
        {"--cross-check", "--cross-check",
         "Cross-check the result with an independent rolling-frontier optimum"},
        {"--operations", "--operations", "Include per-operation JSON details"},
        {"--integrity", "--integrity",
         "Add a SHA-256 integrity fingerprint over deterministic record fields"},
        {"--threads", "--threads THREADS",
         "Number of worker threads (default: min(available CPUs, 8))"},
        {"--max-in-flight ", "--max-in-flight MAX_IN_FLIGHT",
         "Maximum submitted but not emitted records (default: 2 x threads)"},
        {"--max-in-flight-bases", "--max-in-flight-bases MAX_IN_FLIGHT_BASES=64000000",
         "Maximum submitted but not emitted query+target bases"},
        {"--fail-fast", "--fail-fast", "Stop after the first record-scoped error"},
        {"--errors", "--errors ERRORS",
         "Write recoverable errors as JSONL and continue non-JSONL output"},
        {"--temp-dir", "--temp-dir TEMP_DIR",
         "Parent directory for transient sequence and SAM stores"},
        {"--match", "--match MATCH_SCORE=2", ""},
        {"--mismatch-penalty", "--mismatch-penalty MISMATCH_PENALTY=1", ""},
        {"--gap ", "--gap GAP=-2", ""},
        {"--matrix", "--matrix MATRIX:{blosum62}", ""},
    };
    const std::string verify = parse({"verify", "--help"}).out;
    const std::vector<Entry> verify_entries = {
        {"--alignment", "--alignment ALIGNMENT REQUIRED", "Alignment records, or '-' for stdin"},
        {"--format", "--format FORMAT:{json,jsonl,paf,sam} REQUIRED", ""},
        {"--mode",
         "--mode MODE:{edit-distance,global-linear,global-affine,local-linear,"
         "semiglobal-linear}",
         "Required for PAF/SAM; ignored when native JSON embeds a problem"},
        {"--gap-open", "--gap-open GAP_OPEN", ""},
        {"--level", "--level LEVEL:{structure,score,optimal}=optimal", ""},
        {"--max-cells", "--max-cells MAX_CELLS=25000000",
         "Maximum reference DP cells; 0 means unlimited"},
        {"--output-format", "--output-format OUTPUT_FORMAT:{text,json,jsonl}=text", ""},
    };
    const std::string compare = parse({"compare", "--help"}).out;
    const std::vector<Entry> compare_entries = {
        {"--left ", "--left LEFT REQUIRED", ""},
        {"--right-format", "--right-format RIGHT_FORMAT:{json,jsonl,paf,sam} REQUIRED", ""},
        {"--mode",
         "--mode MODE:{edit-distance,global-linear,global-affine,local-linear,"
         "semiglobal-linear}",
         "Required when either input is PAF or SAM"},
    };
    for (const auto& [help, entries] :
         {std::pair{&linear, &linear_entries}, std::pair{&verify, &verify_entries},
          std::pair{&compare, &compare_entries}}) {
        for (const Entry& e : *entries) {
            SCOPED_TRACE(e.option);
            const std::string entry = help_entry(*help, e.option);
            EXPECT_TRUE(entry.starts_with(std::string("  ") + e.text)) << entry;
            // Options without a help text show nothing after the value column.
            std::string described = entry.substr(2 + std::string(e.text).size());
            described.erase(0, described.find_first_not_of(" \n"));
            EXPECT_EQ(described, e.help);
        }
    }
    EXPECT_EQ(help_entry(linear, "--gap-open"), "");
    EXPECT_EQ(help_entry(parse({"solve", "global-affine", "--help"}).out, "--gap-open"),
              "  --gap-open GAP_OPEN=-3            ");
}

TEST(BatchArgs, ThreadsAndWindow) {
    const rux_dp::BatchOptions defaults = rux_dp::BatchOptions::defaults();
    auto o = BatchArgs{}.options(true);
    ASSERT_TRUE(o) << o.error();
    EXPECT_EQ(o->threads, defaults.threads);
    EXPECT_EQ(o->max_in_flight, 2 * defaults.threads);
    EXPECT_EQ(o->max_in_flight_bases, 64'000'000u);

    o = BatchArgs{.threads = 3}.options(true);
    ASSERT_TRUE(o) << o.error();
    EXPECT_EQ(o->threads, 3u);
    EXPECT_EQ(o->max_in_flight, 6u);

    o = BatchArgs{.threads = 3, .max_in_flight = 1, .max_in_flight_bases = 10}.options(true);
    ASSERT_TRUE(o) << o.error();
    EXPECT_EQ(o->max_in_flight, 1u);
    EXPECT_EQ(o->max_in_flight_bases, 10u);

    // 2 x threads saturates instead of wrapping to a small window.
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    o = BatchArgs{.threads = max / 2 + 1}.options(true);
    ASSERT_TRUE(o) << o.error();
    EXPECT_EQ(o->max_in_flight, max);
}

TEST(BatchArgs, ValidationMessages) {
    EXPECT_EQ(BatchArgs{.threads = 0}.options(true).error(), "--threads must be greater than zero");
    EXPECT_EQ(BatchArgs{.max_in_flight = 0}.options(true).error(),
              "--max-in-flight must be greater than zero");
    EXPECT_EQ(BatchArgs{.max_in_flight_bases = 0}.options(true).error(),
              "--max-in-flight-bases must be greater than zero");
    // --threads 0 is reported as such, not through the window derived from it.
    EXPECT_EQ(BatchArgs{.threads = 0}.options(false).error(),
              "--threads must be greater than zero");
}

TEST(BatchArgs, FailFastRule) {
    struct Case {
        bool jsonl;
        bool fail_fast;
        bool errors;
        bool expected;
    };
    constexpr Case cases[] = {
        {true, false, false, false}, {true, true, false, true},   {true, false, true, false},
        {true, true, true, true},    {false, false, false, true}, {false, true, false, true},
        {false, false, true, false}, {false, true, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "jsonl " << c.jsonl << " fail_fast " << c.fail_fast
                                        << " errors " << c.errors);
        BatchArgs args{.fail_fast = c.fail_fast};
        if (c.errors)
            args.errors = "errors.jsonl";
        const auto o = args.options(c.jsonl);
        ASSERT_TRUE(o) << o.error();
        EXPECT_EQ(o->fail_fast, c.expected);
    }

    // As parsed: verify with JSON Lines output keeps going without --errors, text output stops.
    const Command verify =
        command_of({"verify", "--alignment", "a", "--format", "json", "--output-format", "jsonl"});
    const BatchArgs& batch = std::get<VerifyCommand>(verify).batch;
    EXPECT_FALSE(batch.options(true)->fail_fast);
    EXPECT_TRUE(batch.options(false)->fail_fast);
}

TEST(BatchArgs, TempDirMustBeADirectory) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("rux_options_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::filesystem::path file = dir / "file";
    std::ofstream(file) << "x";

    EXPECT_TRUE(BatchArgs{.temp_dir = dir}.options(false));
    EXPECT_EQ(BatchArgs{.temp_dir = file}.options(false).error(),
              "--temp-dir " + file.string() + " is not a directory");
    EXPECT_EQ(BatchArgs{.temp_dir = dir / "missing"}.options(false).error(),
              "--temp-dir " + (dir / "missing").string() + " is not a directory");
    // The batch checks come first.
    EXPECT_EQ((BatchArgs{.threads = 0, .temp_dir = file}.options(false).error()),
              "--threads must be greater than zero");
    std::filesystem::remove_all(dir);
}

TEST(CommonSolve, BlockSizeZeroIsTurnedAway) {
    const SolveCommand zero = solve_of({"solve", "global-affine", "--block-size", "0"});
    EXPECT_EQ(zero.common().block_size, 0u);
    EXPECT_EQ(zero.common().validate().error(), "--block-size must be greater than zero");
    EXPECT_TRUE(solve_of({"solve", "global-affine", "--block-size", "1"}).common().validate());
    EXPECT_TRUE(solve_of({"solve", "edit-distance"}).common().validate());
}

struct ProcessRun {
    int status;
    std::string out;
    std::string err;
};

ProcessRun run_program(const std::string& args) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path();
    const std::string stem = "rux_options_process_" + std::to_string(::getpid());
    const std::filesystem::path out = dir / (stem + ".out"), err = dir / (stem + ".err");
    const std::string command =
        std::string(RUX_ALIGN_BINARY) + " " + args + " >" + out.string() + " 2>" + err.string();
    const int raw = std::system(command.c_str());
    const auto slurp = [](const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    ProcessRun run{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return run;
}

TEST(Options, ProgramExitStatuses) {
    const ProcessRun none = run_program("");
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.out, "");
    EXPECT_TRUE(none.err.starts_with(
        "Exact alignment reference generation, verification, and comparison\n"));

    const ProcessRun version = run_program("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "rux-align 0.2.0-alpha.2\n");
    EXPECT_EQ(version.err, "");

    const ProcessRun help = run_program("verify --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_NE(help.out.find("Usage: rux-align verify [OPTIONS]"), std::string::npos);

    const ProcessRun rejected = run_program("solve global-linear --format SAM");
    EXPECT_EQ(rejected.status, 2);
    EXPECT_EQ(rejected.out, "");
    EXPECT_TRUE(rejected.err.starts_with("--format: SAM not in {text,json,jsonl,paf,sam}\n"));
}

TEST(Options, OutwardNames) {
    EXPECT_EQ(name(Mode::semiglobal_linear), "semiglobal-linear");
    EXPECT_EQ(name(OutputFormat::sam), "sam");
    EXPECT_EQ(name(RecordFormat::jsonl), "jsonl");
    EXPECT_EQ(name(ReportFormat::text), "text");
    EXPECT_EQ(name(Scope::score), "score");
    EXPECT_EQ(name(Level::structure), "structure");
    EXPECT_EQ(name(MatrixName::blosum62), "blosum62");
}

}  // namespace
}  // namespace rux_align
