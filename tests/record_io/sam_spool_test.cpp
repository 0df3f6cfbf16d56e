#include "rux_dp/record_io/sam_spool.hpp"

#include "rux_dp/base/invariant.hpp"
#include "rux_dp/oracle/sam.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "oracle/external_fixtures.hpp"

namespace rux_dp {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view hd = "@HD\tVN:1.6\tSO:unknown\n";

// A global edit-distance record of `query` against a target `target_id` declared `target_length`
// long, aligned with all matches then insertions or deletions.
AlignmentRecord record_for(std::string_view query_id, std::string_view query,
                           std::string_view target_id, std::uint64_t target_length) {
    const std::uint64_t m = query.size();
    const std::uint64_t common = std::min(m, target_length);
    std::string cigar;
    if (common > 0)
        cigar += std::to_string(common) + "=";
    if (m > common)
        cigar += std::to_string(m - common) + "I";
    if (target_length > common)
        cigar += std::to_string(target_length - common) + "D";
    AlignmentRecord record = testing::solved_record(
        AlignmentMode::edit_distance, query, std::string(target_length, 'A'), {0, m},
        {0, target_length}, cigar, static_cast<std::int64_t>(m + target_length - 2 * common));
    record.pair.query.id = query_id;
    record.pair.target.id = target_id;
    return record;
}

std::string line_of(const AlignmentRecord& record, std::string_view query) {
    auto line = record_to_sam(record, query);
    EXPECT_TRUE(line.has_value()) << line.error();
    return line.value_or("");
}

// Collects what a finished spool writes, one string per call.
struct CollectingWriter {
    std::vector<std::string> calls;
    Result<void> write_all(std::string_view bytes) {
        calls.emplace_back(bytes);
        return {};
    }
    std::string text() const {
        std::string all;
        for (const auto& call : calls)
            all += call;
        return all;
    }
};

// The spool directories directly under `parent`.
std::vector<fs::path> spool_dirs(const fs::path& parent) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(parent)) {
        if (entry.path().filename().string().starts_with("rux-align-sam-"))
            found.push_back(entry.path());
    }
    return found;
}

class SamSpoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "rux-sam-spool-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    SamSpool make_spool() {
        auto spool = SamSpool::create(dir_);
        EXPECT_TRUE(spool.has_value()) << spool.error();
        return std::move(spool).value();
    }

    // Pushes the records and finishes the spool; returns the SAM text.
    std::string spool_text(const std::vector<std::pair<AlignmentRecord, std::string>>& records) {
        SamSpool spool = make_spool();
        for (const auto& [record, query] : records) {
            auto pushed = spool.push(record, query);
            EXPECT_TRUE(pushed.has_value()) << pushed.error();
        }
        CollectingWriter writer;
        auto finished = std::move(spool).finish(writer);
        EXPECT_TRUE(finished.has_value()) << finished.error();
        return writer.text();
    }

    fs::path dir_;
};

TEST_F(SamSpoolTest, HeaderListsTargetsInByteOrderThenLinesInArrivalOrder) {
    const auto a = record_for("q1", "ACGT", "t2", 5);
    const auto b = record_for("q2", "GG", "t1", 3);
    const auto c = record_for("q3", "TTT", "t2", 5);
    const std::string text = spool_text({{a, "ACGT"}, {b, "GG"}, {c, "TTT"}});
    EXPECT_EQ(text, std::string(hd) + "@SQ\tSN:t1\tLN:3\n@SQ\tSN:t2\tLN:5\n" + line_of(a, "ACGT")
                        + line_of(b, "GG") + line_of(c, "TTT"));
}

TEST_F(SamSpoolTest, TargetOrderIsByteOrder) {
    // Upper case sorts before lower case, a prefix before its extensions, and bytes above 0x7f
    // after ASCII.
    const std::vector<std::string_view> arrival = {"b", "a\xc3\xa9", "ab", "B", "a", "Z", "_"};
    std::vector<std::pair<AlignmentRecord, std::string>> records;
    for (const std::string_view id : arrival)
        records.emplace_back(record_for("q", "AC", id, 2), "AC");
    const std::string text = spool_text(records);
    std::string expected(hd);
    for (const std::string_view id : {"B", "Z", "_", "a", "ab", "a\xc3\xa9", "b"})
        expected += "@SQ\tSN:" + std::string(id) + "\tLN:2\n";
    ASSERT_TRUE(text.starts_with(expected)) << text;
}

TEST_F(SamSpoolTest, InconsistentLengthFailsAndWritesNothing) {
    SamSpool spool = make_spool();
    const auto first = record_for("q1", "ACGT", "t1", 4);
    ASSERT_TRUE(spool.push(first, "ACGT").has_value());
    const auto pushed = spool.push(record_for("q2", "ACGT", "t1", 5), "ACGT");
    ASSERT_FALSE(pushed.has_value());
    EXPECT_EQ(pushed.error(), "target 't1' has inconsistent lengths in SAM records");

    // The earlier push stays intact and the spool goes on.
    const auto later = record_for("q3", "AC", "t1", 4);
    ASSERT_TRUE(spool.push(later, "AC").has_value());
    CollectingWriter writer;
    ASSERT_TRUE(std::move(spool).finish(writer).has_value());
    EXPECT_EQ(writer.text(), std::string(hd) + "@SQ\tSN:t1\tLN:4\n" + line_of(first, "ACGT")
                                 + line_of(later, "AC"));
}

TEST_F(SamSpoolTest, ConversionFailureIsReturnedAndKeepsTheTarget) {
    SamSpool spool = make_spool();
    AlignmentRecord untraced = record_for("q1", "ACGT", "t9", 7);
    untraced.alignment.trace = std::nullopt;
    auto pushed = spool.push(untraced, "ACGT");
    ASSERT_FALSE(pushed.has_value());
    EXPECT_EQ(pushed.error(), "SAM requires a traceback");
    pushed = spool.push(record_for("q1", "ACGT", "t8", 4), "ACG");
    ASSERT_FALSE(pushed.has_value());
    EXPECT_EQ(pushed.error(), "query sequence 'q1' has length 3 but record declares 4");

    CollectingWriter writer;
    ASSERT_TRUE(std::move(spool).finish(writer).has_value());
    EXPECT_EQ(writer.text(), std::string(hd) + "@SQ\tSN:t8\tLN:4\n@SQ\tSN:t9\tLN:7\n");
}

TEST_F(SamSpoolTest, TargetIdBeyondTheStoreKeyLimitFailsCleanly) {
    // The store keys entries by the whole id, at most 511 bytes; a longer id is refused before
    // anything of its record is written.
    SamSpool spool = make_spool();
    const auto kept = record_for("q1", "AC", std::string(511, 'x'), 2);
    ASSERT_TRUE(spool.push(kept, "AC").has_value());
    const auto pushed = spool.push(record_for("q2", "AC", std::string(512, 'x'), 2), "AC");
    ASSERT_FALSE(pushed.has_value());
    EXPECT_EQ(pushed.error(),
              "failed to update SAM reference spool: MDB_BAD_VALSIZE: Unsupported size of key/DB "
              "name/data, or wrong DUPFIXED size");
    CollectingWriter writer;
    ASSERT_TRUE(std::move(spool).finish(writer).has_value());
    EXPECT_EQ(writer.text(), std::string(hd) + "@SQ\tSN:" + std::string(511, 'x') + "\tLN:2\n"
                                 + line_of(kept, "AC"));
}

TEST_F(SamSpoolTest, SpoolWithoutRecordsFinishesWithTheHeaderLine) {
    // No record means no table; the result is still a valid SAM file with no alignments.
    EXPECT_EQ(spool_text({}), hd);
}

TEST_F(SamSpoolTest, BodyLargerThanTheBufferIsCopiedWhole) {
    // Lines of random lengths, one far longer than a buffer, against a few hundred targets, so
    // the body and the "@SQ" lines both span many chunks.
    std::mt19937_64 rng(20261211);
    std::vector<std::pair<AlignmentRecord, std::string>> records;
    std::string body;
    for (int k = 0; k < 600; ++k) {
        const std::size_t m = k == 300 ? 200'000 : rng() % 700;
        std::string query;
        for (std::size_t i = 0; i < m; ++i)
            query.push_back("ACGT"[rng() % 4]);
        const std::string target = "target_" + std::string(200, 'x') + std::to_string(k % 400);
        AlignmentRecord record = record_for("q" + std::to_string(k), query, target, 10);
        body += line_of(record, query);
        records.emplace_back(std::move(record), std::move(query));
    }
    std::vector<std::string> targets;
    for (int t = 0; t < 400; ++t)
        targets.push_back("target_" + std::string(200, 'x') + std::to_string(t));
    std::sort(targets.begin(), targets.end());
    std::string expected(hd);
    for (const auto& target : targets)
        expected += "@SQ\tSN:" + target + "\tLN:10\n";
    expected += body;
    const std::string text = spool_text(records);
    EXPECT_EQ(text.size(), expected.size());
    EXPECT_TRUE(text == expected);
}

TEST_F(SamSpoolTest, FinishWritesInBoundedChunks) {
    SamSpool spool = make_spool();
    const std::string query(100'000, 'A');
    for (int k = 0; k < 20; ++k)
        ASSERT_TRUE(spool.push(record_for("q", query, "t", 100'000), query).has_value());
    CollectingWriter writer;
    ASSERT_TRUE(std::move(spool).finish(writer).has_value());
    for (const auto& call : writer.calls)
        EXPECT_LE(call.size(), 64u * 1024u);
}

TEST_F(SamSpoolTest, DirectoryLivesUnderTheTempDirUntilFinished) {
    SamSpool spool = make_spool();
    const std::vector<fs::path> dirs = spool_dirs(dir_);
    ASSERT_EQ(dirs.size(), 1u);
    EXPECT_EQ(dirs[0].filename().string().size(), std::string_view("rux-align-sam-XXXXXX").size());
    EXPECT_TRUE(fs::is_regular_file(dirs[0] / "body.sam"));
    EXPECT_TRUE(fs::is_regular_file(dirs[0] / "references.mdb"));

    ASSERT_TRUE(spool.push(record_for("q", "AC", "t", 2), "AC").has_value());
    // Moving the spool hands the directory over; the moved-from spool must not remove it.
    {
        SamSpool moved = std::move(spool);
        spool = std::move(moved);
    }
    EXPECT_TRUE(fs::exists(dirs[0]));

    CollectingWriter writer;
    ASSERT_TRUE(std::move(spool).finish(writer).has_value());
    EXPECT_FALSE(fs::exists(dirs[0]));
    EXPECT_TRUE(spool_dirs(dir_).empty());
}

TEST_F(SamSpoolTest, DirectoryIsRemovedWhenReleasedWithoutFinish) {
    {
        SamSpool spool = make_spool();
        ASSERT_TRUE(spool.push(record_for("q", "AC", "t", 2), "AC").has_value());
        ASSERT_EQ(spool_dirs(dir_).size(), 1u);
    }
    EXPECT_TRUE(spool_dirs(dir_).empty());
}

TEST_F(SamSpoolTest, DefaultsToTheSystemTemporaryDirectory) {
    const char* saved = ::getenv("TMPDIR");
    const std::optional<std::string> previous =
        saved != nullptr ? std::optional<std::string>(saved) : std::nullopt;
    ASSERT_EQ(::setenv("TMPDIR", dir_.c_str(), 1), 0);
    {
        auto spool = SamSpool::create();
        ASSERT_TRUE(spool.has_value()) << spool.error();
        EXPECT_EQ(spool_dirs(dir_).size(), 1u);
    }
    EXPECT_TRUE(spool_dirs(dir_).empty());
    if (previous)
        ::setenv("TMPDIR", previous->c_str(), 1);
    else
        ::unsetenv("TMPDIR");
}

TEST_F(SamSpoolTest, CreateUnderAMissingDirectoryFails) {
    const auto spool = SamSpool::create(dir_ / "missing");
    ASSERT_FALSE(spool.has_value());
    EXPECT_EQ(spool.error(), "failed to create SAM spool: No such file or directory");
}

struct SinkFailureCase {
    std::string_view name;
    bool with_record;
    int failing_call;  // 0-based index of the sink call that fails
    std::string_view message;
};
constexpr SinkFailureCase sink_failure_cases[] = {
    {"header", true, 0, "failed to write SAM header: No space left on device"},
    {"header of an empty spool", false, 0, "failed to write SAM header: No space left on device"},
    {"references", true, 1, "failed to write SAM reference: No space left on device"},
    {"body", true, 2, "failed to copy SAM body: No space left on device"},
};

TEST_F(SamSpoolTest, SinkFailuresNameTheStage) {
    for (const auto& c : sink_failure_cases) {
        SCOPED_TRACE(c.name);
        SamSpool spool = make_spool();
        if (c.with_record) {
            ASSERT_TRUE(spool.push(record_for("q", "AC", "t", 2), "AC").has_value());
        }
        int calls = 0;
        const auto finished = std::move(spool).finish([&](std::string_view) -> Result<void> {
            if (calls++ == c.failing_call)
                return std::unexpected("No space left on device");
            return {};
        });
        ASSERT_FALSE(finished.has_value());
        EXPECT_EQ(finished.error(), c.message);
        // A failed finish releases the spool too.
        EXPECT_TRUE(spool_dirs(dir_).empty());
    }
}

TEST_F(SamSpoolTest, UseAfterFinishIsAnInvariantViolation) {
    SamSpool spool = make_spool();
    CollectingWriter writer;
    ASSERT_TRUE(std::move(spool).finish(writer).has_value());
    try {
        // NOLINTNEXTLINE(bugprone-use-after-move): the point of the test
        static_cast<void>(spool.push(record_for("q", "AC", "t", 2), "AC"));
        FAIL() << "expected InvariantViolation";
    } catch (const InvariantViolation& e) {
        EXPECT_STREQ(e.what(), "SAM spool used after finish");
    }
}

}  // namespace
}  // namespace rux_dp
