// Runs the built program as a user would and checks its output, messages and exit status.
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <string>

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::filesystem::path scratch() {
    static const std::filesystem::path dir = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "rux-e2e-XXXXXX").string();
        return std::filesystem::path(mkdtemp(pattern.data()));
    }();
    return dir;
}

std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs rux-align with `args` (shell words), capturing both streams.
Outcome run(const std::string& args) {
    const auto out = scratch() / "stdout";
    const auto err = scratch() / "stderr";
    const std::string command = std::string(RUX_ALIGN_BINARY) + " " + args + " >" + out.string() +
                                " 2>" + err.string() + " </dev/null";
    const int raw = std::system(command.c_str());
    return Outcome{.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1,
                   .out = slurp(out),
                   .err = slurp(err)};
}

std::string write_file(const std::string& name, const std::string& text) {
    const auto path = scratch() / name;
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
}

// Drops the only nondeterministic member so that outputs can be compared byte for byte.
std::string without_elapsed(std::string text) {
    std::string out;
    std::size_t pos = 0;
    while (true) {
        const std::size_t at = text.find("\"elapsed_ms\":", pos);
        if (at == std::string::npos) break;
        out.append(text, pos, at - pos);
        pos = text.find_first_of(",}", at);
    }
    out.append(text, pos);
    return out;
}

TEST(EndToEnd, UsageAndFatalMessages) {
    struct Case {
        std::string args;
        int status;
        std::string err_prefix;
    };
    const Case cases[] = {
        {"", 2, ""},
        {"--version", 0, ""},
        {"solve global-linear --query A --target A --scope score --format paf", 2,
         "rux-align: PAF and SAM require --scope alignment\n"},
        {"solve edit-distance --query A --target A --backend rux", 2,
         "rux-align: backend 'rux' is not supported for edit-distance; choose auto, "
         "adaptive-banded\n"},
        {"solve global-affine --query A --target A --scope score --backend banded-affine", 2,
         "rux-align: backend 'banded-affine' is not supported for global-affine; choose auto\n"},
        {"solve global-linear --query A --target A --block-size 0", 2,
         "rux-align: --block-size must be greater than zero\n"},
        {"solve global-linear --query A --target A --output /nonexistent/dir/out", 2,
         "rux-align: failed to create /nonexistent/dir/out: No such file or directory\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const Outcome o = run(c.args);
        EXPECT_EQ(o.status, c.status);
        if (!c.err_prefix.empty()) {
            EXPECT_EQ(o.err, c.err_prefix);
        }
    }
    EXPECT_EQ(run("--version").out, "rux-align 0.2.0-alpha.2\n");
}

TEST(EndToEnd, JsonFramingForZeroOneAndThreeRecords) {
    const std::string empty = write_file("empty.fa", "");
    const std::string one_q = write_file("one_q.fa", ">a\nACGT\n");
    const std::string one_t = write_file("one_t.fa", ">b\nAGT\n");
    const std::string three_q = write_file("three_q.fa", ">a\nACGT\n>b\nGG\n>c\nTTA\n");
    const std::string three_t = write_file("three_t.fa", ">x\nAGT\n>y\nGA\n>z\nTA\n");

    const Outcome none = run("solve edit-distance --query-file " + empty + " --target-file " +
                             empty + " --format json");
    // An empty FASTA is a sequence error, not an empty pair list; the run reports it.
    EXPECT_EQ(none.status, 2);

    const Outcome one = run("solve edit-distance --query-file " + one_q + " --target-file " +
                            one_t + " --format json");
    EXPECT_EQ(one.status, 0);
    ASSERT_FALSE(one.out.empty());
    EXPECT_EQ(one.out.front(), '{');
    EXPECT_EQ(one.out.back(), '\n');

    const Outcome three = run("solve edit-distance --query-file " + three_q + " --target-file " +
                              three_t + " --format json");
    EXPECT_EQ(three.status, 0);
    EXPECT_EQ(three.out.substr(0, 3), "[\n{");
    EXPECT_EQ(three.out.substr(three.out.size() - 4), "}\n]\n");
    EXPECT_EQ(std::count(three.out.begin(), three.out.end(), '\n'), 5);
}

TEST(EndToEnd, ErrorRecordsInlineOrInTheSidecar) {
    // The third target is missing: a non-recoverable pair count mismatch at pair 2.
    const std::string q = write_file("mm_q.fa", ">a\nACGT\n>b\nGG\n>c\nTTA\n");
    const std::string t = write_file("mm_t.fa", ">x\nAGT\n>y\nGA\n");
    const Outcome inline_run =
        run("solve global-linear --query-file " + q + " --target-file " + t + " --format jsonl");
    EXPECT_EQ(inline_run.status, 2);
    EXPECT_EQ(std::count(inline_run.out.begin(), inline_run.out.end(), '\n'), 3);
    EXPECT_NE(inline_run.out.find("\"code\":\"pair_count_mismatch\""), std::string::npos);
    EXPECT_NE(inline_run.out.find("query and target sources differ at pair 2"),
              std::string::npos);

    const std::string sidecar = (scratch() / "errors.jsonl").string();
    const Outcome side = run("solve global-linear --query-file " + q + " --target-file " + t +
                             " --format jsonl --errors " + sidecar);
    EXPECT_EQ(side.status, 2);
    EXPECT_EQ(std::count(side.out.begin(), side.out.end(), '\n'), 2);
    const std::string errors = slurp(sidecar);
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1);
    EXPECT_NE(errors.find("\"pair_index\":2"), std::string::npos);

    // Text output without a sidecar fails fast with the record's own message.
    const Outcome text =
        run("solve global-linear --query-file " + q + " --target-file " + t);
    EXPECT_EQ(text.status, 2);
    EXPECT_EQ(text.err, "rux-align: query and target sources differ at pair 2\n");
}

TEST(EndToEnd, SolveVerifyCompareRoundTripsAndExitStatuses) {
    const std::string q = write_file("rt_q.fa", ">a\nACGTTGCA\n>b\nGGATTACA\n");
    const std::string t = write_file("rt_t.fa", ">x\nACGTGCA\n>y\nGGATCACA\n");
    const std::string inputs = " --query-file " + q + " --target-file " + t;
    const std::string scoring = " --match 2 --mismatch-penalty 1 --gap=-2";
    for (const std::string mode : {"global-linear", "local-linear", "semiglobal-linear"}) {
        SCOPED_TRACE(mode);
        for (const std::string format : {"jsonl", "paf", "sam"}) {
            SCOPED_TRACE(format);
            const std::string path = (scratch() / ("rt." + format)).string();
            ASSERT_EQ(run("solve " + mode + inputs + " --format " + format + " --output " + path)
                          .status,
                      0);
            const std::string problem =
                format == "jsonl" ? "" : " --mode " + mode + scoring;
            const Outcome verified = run("verify --alignment " + path + " --format " + format +
                                         problem + inputs);
            EXPECT_EQ(verified.status, 0) << verified.out << verified.err;
            EXPECT_NE(verified.out.find("Verified (Optimal)"), std::string::npos);
            EXPECT_EQ(verified.out.find("Invalid"), std::string::npos);
        }
    }
    // SAM output is a well-formed file for samtools as well.
    if (std::system("command -v samtools >/dev/null 2>&1") == 0) {
        const std::string sam = (scratch() / "check.sam").string();
        ASSERT_EQ(run("solve global-affine" + inputs + " --format sam --output " + sam).status, 0);
        EXPECT_EQ(std::system(("samtools quickcheck " + sam).c_str()), 0);
        EXPECT_EQ(std::system(("samtools view " + sam + " >/dev/null 2>&1").c_str()), 0);
    }
    // A record claiming a better score than its alignment realises is invalid: status 1.
    const std::string good = (scratch() / "good.jsonl").string();
    ASSERT_EQ(run("solve global-linear" + inputs + " --format jsonl --output " + good).status, 0);
    std::string text = slurp(good);
    const std::size_t at = text.find("\"value\":");
    ASSERT_NE(at, std::string::npos);
    text.insert(at + 8, "1");
    const std::string bad = write_file("bad.jsonl", text);
    EXPECT_EQ(run("verify --alignment " + bad + " --format jsonl" + inputs).status, 1);
    // Too few cells allowed for the reference: inconclusive only, status 3.
    EXPECT_EQ(run("verify --alignment " + good + " --format jsonl --max-cells 1" + inputs).status,
              3);
    EXPECT_EQ(run("compare --left " + good + " --left-format jsonl --right " + good +
                  " --right-format jsonl" + inputs)
                  .status,
              0);
    EXPECT_EQ(run("compare --left " + good + " --left-format jsonl --right " + bad +
                  " --right-format jsonl" + inputs)
                  .status,
              1);
}

TEST(EndToEnd, OutputIsIdenticalForOneAndTwoThreads) {
    std::mt19937_64 rng(42);
    std::string queries, targets;
    for (int k = 0; k < 300; ++k) {
        std::string q, t;
        const std::size_t len = 20 + rng() % 60;
        for (std::size_t i = 0; i < len; ++i) q.push_back("ACGT"[rng() % 4]);
        for (char c : q) {
            const auto roll = rng() % 20;
            if (roll == 0) continue;
            t.push_back(roll == 1 ? "ACGT"[rng() % 4] : c);
            if (roll == 2) t.push_back("ACGT"[rng() % 4]);
        }
        queries += ">q" + std::to_string(k) + "\n" + q + "\n";
        targets += ">t" + std::to_string(k) + "\n" + t + "\n";
    }
    const std::string q = write_file("many_q.fa", queries);
    const std::string t = write_file("many_t.fa", targets);
    for (const std::string mode : {"edit-distance", "global-affine", "local-linear"}) {
        SCOPED_TRACE(mode);
        const std::string base =
            "solve " + mode + " --query-file " + q + " --target-file " + t + " --format jsonl";
        const Outcome one = run(base + " --threads 1");
        const Outcome two = run(base + " --threads 2 --max-in-flight 7");
        ASSERT_EQ(one.status, 0);
        ASSERT_EQ(two.status, 0);
        EXPECT_EQ(std::count(one.out.begin(), one.out.end(), '\n'), 300);
        EXPECT_EQ(without_elapsed(one.out), without_elapsed(two.out));
    }
}

}  // namespace
