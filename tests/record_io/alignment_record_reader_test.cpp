#include "rux_dp/record_io/alignment_record_reader.hpp"

#include "rux_dp/oracle/json_reader.hpp"
#include "rux_dp/oracle/json_writer.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "support/sample_records.hpp"
#include "support/scratch_directory.hpp"

namespace rux_dp {
namespace {

// Sequences in the store shared by every test.
constexpr std::string_view query_fasta = ">q1\nACGT\n>q2 second\nGGACGTAC\n";
constexpr std::string_view target_fasta = ">t1\nACTT\n>t2\nTACTGTACCC\n";

/// One line per item: records by pair index and resolved sequences, errors by every field.
std::string describe(const RecordItem& item) {
    if (const auto* resolved = std::get_if<ResolvedAlignment>(&item)) {
        const PairIdentity& pair = resolved->record.pair;
        return "record " + std::to_string(pair.index) + " " + pair.query.id + ":" + resolved->query
               + " " + pair.target.id + ":" + resolved->target;
    }
    const ErrorRecord& error = std::get<ErrorRecord>(item);
    std::string text = "error " + std::string(stage_name(error.error.stage)) + " "
                       + error.error.code + " '" + error.error.message + "' "
                       + (error.error.recoverable ? "recoverable" : "fatal");
    const ErrorContext& context = error.context;
    if (context.pair_index)
        text += " pair " + std::to_string(*context.pair_index);
    if (context.query_id || context.target_id)
        text += " ids " + context.query_id.value_or("-") + "/" + context.target_id.value_or("-");
    if (context.source_line)
        text += " line " + std::to_string(*context.source_line);
    return text;
}

std::string record_item(std::uint64_t index, std::string_view query, std::string_view target) {
    const std::string_view q = query == "q1" ? "ACGT" : "GGACGTAC";
    const std::string_view t = target == "t1" ? "ACTT" : "TACTGTACCC";
    return "record " + std::to_string(index) + " " + std::string(query) + ":" + std::string(q) + " "
           + std::string(target) + ":" + std::string(t);
}

std::string error_item(std::string_view stage, std::string_view code, std::string_view message,
                       bool recoverable, std::uint64_t pair, std::uint64_t line,
                       std::string_view ids = "") {
    return "error " + std::string(stage) + " " + std::string(code) + " '" + std::string(message)
           + "' " + (recoverable ? "recoverable" : "fatal") + " pair " + std::to_string(pair)
           + (ids.empty() ? "" : " ids " + std::string(ids)) + " line " + std::to_string(line);
}

/// Canonical JSON of a small record with this pair.
std::string record_json(std::uint64_t index, std::string query, std::string target) {
    AlignmentRecord record = test::minimal_record();
    record.pair.index = index;
    record.pair.query.id = std::move(query);
    record.pair.target.id = std::move(target);
    return json_text(record);
}

const ProblemSpec global_linear{
    .mode = AlignmentMode::global_linear,
    .scoring = LinearScoring{
        .substitution = MatchMismatchScheme{.match_score = 2, .mismatch_penalty = 3}, .gap = -2}};

// q1 against t1 and q2 against t2, in both external formats.
constexpr std::string_view paf_q1 =
    "q1\t4\t0\t4\t+\tt1\t4\t0\t4\t3\t4\t255\tcg:Z:2=1X1=\tNM:i:1\tAS:i:5";
constexpr std::string_view paf_q2 =
    "q2\t8\t2\t8\t+\tt2\t10\t1\t8\t5\t7\t255\tcg:Z:2=1X1D3=\tNM:i:2\tAS:i:-1";
constexpr std::string_view sam_q1 = "q1\t0\tt1\t1\t255\t4M\t*\t0\t0\tACGT\t*\tAS:i:5\tNM:i:1";
constexpr std::string_view sam_q2 =
    "q2\t0\tt2\t2\t255\t2S2=1X1D3=\t*\t0\t0\tGGACGTAC\t*\tAS:i:-1\tNM:i:2";

struct ReaderCase {
    std::string name;
    std::string input;
    std::vector<std::string> items;
};

class AlignmentRecordReaderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch_ = new rux_test::ScratchDirectory();
        auto store = SequenceStore::create(scratch_->path());
        if (!store)
            throw std::runtime_error(store.error());
        store_ = new SequenceStore(std::move(*store));
        ingest(SequenceSide::query, "queries.fa", query_fasta);
        ingest(SequenceSide::target, "targets.fa", target_fasta);
    }
    static void TearDownTestSuite() {
        delete store_;
        delete scratch_;
    }
    static void ingest(SequenceSide side, const std::string& name, std::string_view fasta) {
        auto source = open_sequence_source(std::nullopt, scratch_->write(name, fasta).string(),
                                           side == SequenceSide::query ? "query" : "target");
        if (!source)
            throw std::runtime_error(source.error());
        auto count = store_->ingest(side, std::move(*source));
        if (!count)
            throw std::runtime_error(count.error());
    }

    /// The items of `input` read as standard input, checking that the end stays the end.
    static std::vector<std::string> read_all(RecordInputFormat format, std::string_view input,
                                             const ProblemSpec* problem = &global_linear) {
        std::istringstream in{std::string(input)};
        auto reader = AlignmentRecordReader::open("-", format, problem, *store_, in);
        if (!reader) {
            ADD_FAILURE() << reader.error();
            return {};
        }
        return drain(*reader);
    }
    static std::vector<std::string> drain(AlignmentRecordReader& reader) {
        std::vector<std::string> items;
        for (int guard = 0; guard < 1000; ++guard) {
            std::optional<RecordItem> item = reader.next();
            if (!item) {
                EXPECT_FALSE(reader.next().has_value()) << "the end is not sticky";
                return items;
            }
            items.push_back(describe(*item));
        }
        ADD_FAILURE() << "reader never ends";
        return items;
    }
    static void expect_items(RecordInputFormat format, const std::vector<ReaderCase>& cases) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(read_all(format, c.input), c.items);
        }
    }

    static inline rux_test::ScratchDirectory* scratch_ = nullptr;
    static inline SequenceStore* store_ = nullptr;
};

TEST(RecordInputFormat, NamesRoundTrip) {
    for (const auto format : {RecordInputFormat::json, RecordInputFormat::jsonl,
                              RecordInputFormat::paf, RecordInputFormat::sam}) {
        EXPECT_EQ(record_input_format_from_name(record_input_format_name(format)), format);
    }
    EXPECT_EQ(record_input_format_name(RecordInputFormat::jsonl), "jsonl");
    EXPECT_EQ(record_input_format_from_name("JSON"), std::nullopt);
    EXPECT_EQ(record_input_format_from_name("bam"), std::nullopt);
}

TEST_F(AlignmentRecordReaderTest, JsonFraming) {
    const std::string r5 = record_json(5, "q1", "t1");
    const std::string r7 = record_json(7, "q2", "t2");
    const std::string rec5 = record_item(5, "q1", "t1");
    const std::string rec7 = record_item(7, "q2", "t2");
    auto input_error = [](std::string_view code, std::string_view message, std::uint64_t pair,
                          std::uint64_t line) {
        return error_item("input_parse", code, message, false, pair, line);
    };
    const std::string empty = "JSON input contains no alignment records";
    const std::vector<ReaderCase> cases = {
        {"empty input", "", {input_error("empty_json", empty, 0, 1)}},
        {"only whitespace", " \n\t\r\n\f ", {input_error("empty_json", empty, 0, 1)}},
        {"empty array", " [ \n ] ", {}},
        {"lone bracket", "[", {input_error("truncated_json", "JSON array is not closed", 0, 1)}},
        {"bracket and whitespace",
         "[\n\n",
         {input_error("truncated_json", "JSON array is not closed", 0, 1)}},
        {"one object", "\n" + r5 + "\n", {rec5}},
        {"two objects",
         r5 + "\n" + r7,
         {rec5, input_error("trailing_json", "unexpected data after JSON alignment record", 1, 1)}},
        {"array of two", "[" + r5 + ",\n" + r7 + "]", {rec5, rec7}},
        {"bytes after the closing bracket are never read", "[" + r5 + "] junk", {rec5}},
        {"trailing comma",
         "[" + r5 + ",]",
         {rec5, input_error("invalid_json_container", "JSON alignment input must contain objects",
                            1, 1)}},
        {"missing comma",
         "[" + r5 + r7 + "]",
         {rec5, input_error("invalid_json_separator",
                            "expected ',' or ']' after JSON alignment record", 1, 1)}},
        {"array not closed after an element", "[" + r5 + ",\n" + r7 + "\n", {rec5, rec7}},
        {"array ends after a comma",
         "[" + r5 + " , ",
         {rec5, input_error("truncated_json", "JSON array ends after a comma", 1, 1)}},
        {"element cut short",
         "[" + r5 + ",\n\n{\"schema_version\":\"rux-align.v2\"",
         {rec5,
          input_error("truncated_json", "JSON input ended inside an alignment record", 1, 3)}},
        {"cut inside a string after a backslash",
         "{\"a\":\"\\",
         {input_error("truncated_json", "JSON input ended inside an alignment record", 0, 1)}},
        {"a number instead of an object",
         " 5",
         {input_error("invalid_json_container", "JSON alignment input must contain objects", 0,
                      1)}},
        {"an array inside the array",
         "[\n[" + r5 + "]]",
         {input_error("invalid_json_container", "JSON alignment input must contain objects", 0,
                      2)}},
    };
    expect_items(RecordInputFormat::json, cases);
}

TEST_F(AlignmentRecordReaderTest, JsonRecordThatDoesNotParseEndsTheStream) {
    const std::string r5 = record_json(5, "q1", "t1");
    const std::string bad = "{\"record_type\":[1,{\"x\":\"}\"}]}";
    const std::string message = read_alignment_record(bad).error();
    ASSERT_FALSE(message.empty());
    EXPECT_EQ(read_all(RecordInputFormat::json, "[" + r5 + ",\n" + bad + ",\n" + r5 + "]"),
              (std::vector<std::string>{
                  record_item(5, "q1", "t1"),
                  error_item("record_parse", "invalid_alignment_json", message, false, 1, 2)}));
}

TEST_F(AlignmentRecordReaderTest, JsonStringsMayHoldBracesBracketsAndEscapedQuotes) {
    AlignmentRecord record = test::minimal_record();
    record.pair.query.id = "q1";
    record.pair.target.id = "t1";
    // An escaped quote, a closing brace and bracket, then an escaped backslash just before the
    // closing quote: a framer that ignored escapes would end or extend the element here.
    record.producer.backend = "x\"}]{[\\";
    record.verification.reason = "]]}}\"\\";
    const std::string json = json_text(record);
    std::istringstream in("[" + json + "," + json + "]");
    auto reader = AlignmentRecordReader::open("-", RecordInputFormat::json, nullptr, *store_, in);
    ASSERT_TRUE(reader.has_value()) << reader.error();
    for (int k = 0; k < 2; ++k) {
        std::optional<RecordItem> item = reader->next();
        ASSERT_TRUE(item.has_value());
        ASSERT_TRUE(std::holds_alternative<ResolvedAlignment>(*item)) << describe(*item);
        EXPECT_EQ(std::get<ResolvedAlignment>(*item),
                  (ResolvedAlignment{.record = record, .query = "ACGT", .target = "ACTT"}));
    }
    EXPECT_FALSE(reader->next().has_value());
}

TEST_F(AlignmentRecordReaderTest, JsonResolveErrorsCarryTheRecordsOwnIndexIdsAndLine) {
    const std::string input = "[\n" + record_json(5, "q1", "t1") + ",\n\n"
                              + record_json(9, "qx", "t1") + ",\n" + record_json(11, "q2", "tx")
                              + ",\n" + record_json(7, "q2", "t2") + "\n]";
    EXPECT_EQ(read_all(RecordInputFormat::json, input),
              (std::vector<std::string>{
                  record_item(5, "q1", "t1"),
                  error_item("resolve", "missing_query_id",
                             "query id 'qx' is missing from query sources", true, 9, 4, "qx/t1"),
                  error_item("resolve", "missing_target_id",
                             "target id 'tx' is missing from target sources", true, 11, 5, "q2/tx"),
                  record_item(7, "q2", "t2"),
              }));
}

TEST_F(AlignmentRecordReaderTest, JsonLines) {
    const std::string r5 = record_json(5, "q1", "t1");
    const std::string r7 = record_json(7, "q2", "t2");
    const std::string rec5 = record_item(5, "q1", "t1");
    const std::string rec7 = record_item(7, "q2", "t2");
    const std::string not_json = read_alignment_record("not json").error();
    const std::string empty_object = read_alignment_record("{}").error();
    const std::string non_ascii = "alignment record contains non-ASCII data";
    const std::vector<ReaderCase> cases = {
        {"empty input", "", {}},
        {"a bad line in the middle",
         r5 + "\nnot json\n" + r7 + "\n",
         {rec5, error_item("record_parse", "invalid_alignment_json", not_json, true, 1, 2), rec7}},
        {"CRLF, several CRs and no final newline", r5 + "\r\n" + r7 + "\r\r\r", {rec5, rec7}},
        {"blank lines use no index",
         "\n   \t\x0b\r\n" + r5 + "\n\n \n{}\n",
         {rec5, error_item("record_parse", "invalid_alignment_json", empty_object, true, 1, 6)}},
        {"non-ASCII line",
         r5 + "\n  \xc3\xa9\n" + r7,
         {rec5, error_item("record_parse", "non_ascii_record", non_ascii, true, 1, 2), rec7}},
        {"non-ASCII line before any record",
         "\n\xff\n",
         {error_item("record_parse", "non_ascii_record", non_ascii, true, 0, 2)}},
        {"missing ids",
         record_json(3, "q1", "tx") + "\n" + record_json(4, "qx", "tx"),
         {error_item("resolve", "missing_target_id",
                     "target id 'tx' is missing from target sources", true, 3, 1, "q1/tx"),
          error_item("resolve", "missing_query_id", "query id 'qx' is missing from query sources",
                     true, 4, 2, "qx/tx")}},
        {"an array is not a JSON line",
         "[" + r5 + "]\n" + r7,
         {error_item("record_parse", "invalid_alignment_json",
                     read_alignment_record("[" + r5 + "]").error(), true, 0, 1),
          rec7}},
    };
    expect_items(RecordInputFormat::jsonl, cases);
}

TEST_F(AlignmentRecordReaderTest, Paf) {
    const std::string q1 = std::string(paf_q1);
    const std::string q2 = std::string(paf_q2);
    const std::string eleven = q1.substr(0, q1.find("\t255"));
    const std::string too_few = "record has fewer than 12 tab-separated fields";
    const std::vector<ReaderCase> cases = {
        {"two records",
         q1 + "\n" + q2 + "\n",
         {record_item(0, "q1", "t1"), record_item(1, "q2", "t2")}},
        {"pair indexes count errors, blank lines do not",
         "\n" + eleven + "\r\n\n" + q2 + "\r\n\t\n" + q1,
         {error_item("record_parse", "too_few_fields", too_few, true, 0, 2),
          record_item(1, "q2", "t2"), record_item(2, "q1", "t1")}},
        {"a line starting with @ is a record",
         "@" + q1 + "\n" + q2,
         {error_item("resolve", "missing_query_id", "query id '@q1' is missing from query sources",
                     true, 0, 1),
          record_item(1, "q2", "t2")}},
        {"unknown ids do not end the stream",
         "qx" + q1.substr(2) + "\n" + "q1\t4\t0\t4\t+\ttx" + q1.substr(q1.find("\t4\t0\t4\t3"))
             + "\n" + q2,
         {error_item("resolve", "missing_query_id", "query id 'qx' is missing from query sources",
                     true, 0, 1),
          error_item("resolve", "missing_target_id",
                     "target id 'tx' is missing from target sources", true, 1, 2),
          record_item(2, "q2", "t2")}},
        {"the converter numbers every line 1",
         q1 + "\n\n" + "q2\t8\t2\t8\t-" + q2.substr(q2.find("\tt2")) + "\n" + q1,
         {record_item(0, "q1", "t1"),
          error_item("record_parse", "invalid_alignment_record",
                     "PAF line 1 uses unsupported reverse strand", true, 1, 3),
          record_item(2, "q1", "t1")}},
    };
    expect_items(RecordInputFormat::paf, cases);
}

TEST_F(AlignmentRecordReaderTest, Sam) {
    const std::string q1 = std::string(sam_q1);
    const std::string q2 = std::string(sam_q2);
    std::string ten = q1.substr(0, q1.rfind("\t*\tAS"));
    const std::vector<ReaderCase> cases = {
        {"headers are skipped",
         "@HD\tVN:1.6\n@SQ\tSN:t1\tLN:4\n" + q1 + "\n@CO\tcomment\n" + q2 + "\n",
         {record_item(0, "q1", "t1"), record_item(1, "q2", "t2")}},
        {"ten fields",
         "@HD\tVN:1.6\r\n" + ten + "\r\n" + q2,
         {error_item("record_parse", "too_few_fields",
                     "record has fewer than 11 tab-separated fields", true, 0, 2),
          record_item(1, "q2", "t2")}},
        {"the target id is RNAME",
         "q1\t0\ttx" + q1.substr(q1.find("\t1\t255")) + "\n" + q1,
         {error_item("resolve", "missing_target_id",
                     "target id 'tx' is missing from target sources", true, 0, 1),
          record_item(1, "q1", "t1")}},
        {"an unmapped line",
         "q1\t4" + q1.substr(q1.find("\tt1")) + "\n" + q1,
         {error_item("record_parse", "invalid_alignment_record", "SAM line 1 is unmapped", true, 0,
                     1),
          record_item(1, "q1", "t1")}},
    };
    expect_items(RecordInputFormat::sam, cases);
}

TEST_F(AlignmentRecordReaderTest, ExternalRecordsAreConvertedAgainstTheirSequences) {
    std::istringstream in("q2" + std::string(paf_q2).substr(2) + "\n");
    auto reader =
        AlignmentRecordReader::open("-", RecordInputFormat::paf, &global_linear, *store_, in);
    ASSERT_TRUE(reader.has_value()) << reader.error();
    std::optional<RecordItem> item = reader->next();
    ASSERT_TRUE(item.has_value());
    ASSERT_TRUE(std::holds_alternative<ResolvedAlignment>(*item)) << describe(*item);
    const ResolvedAlignment& resolved = std::get<ResolvedAlignment>(*item);
    EXPECT_EQ(resolved.query, "GGACGTAC");
    EXPECT_EQ(resolved.target, "TACTGTACCC");
    EXPECT_EQ(resolved.record.problem, global_linear);
    ASSERT_TRUE(resolved.record.alignment.trace.has_value());
    EXPECT_EQ(resolved.record.alignment.trace->cigar.text(), "2=1X1D3=");
    EXPECT_EQ(resolved.record.alignment.trace->query_span, (AlignmentSpan{2, 8}));
    EXPECT_EQ(resolved.record.alignment.objective, (Objective{ObjectiveKind::score, -1}));
}

TEST_F(AlignmentRecordReaderTest, ExternalFormatsNeedAProblem) {
    const std::string missing = "--mode and scoring are required for PAF/SAM";
    const std::string paf = "qx" + std::string(paf_q1).substr(2) + "\n" + std::string(paf_q1) + "\n"
                            + std::string(paf_q2) + "\n";
    EXPECT_EQ(read_all(RecordInputFormat::paf, paf, nullptr),
              (std::vector<std::string>{
                  error_item("resolve", "missing_query_id",
                             "query id 'qx' is missing from query sources", true, 0, 1),
                  error_item("record_parse", "missing_problem", missing, false, 1, 2)}));
    const std::string sam = "@HD\tVN:1.6\n" + std::string(sam_q2) + "\n" + std::string(sam_q1);
    EXPECT_EQ(read_all(RecordInputFormat::sam, sam, nullptr),
              (std::vector<std::string>{
                  error_item("record_parse", "missing_problem", missing, false, 0, 2)}));
    // Native records carry their own problem.
    EXPECT_EQ(read_all(RecordInputFormat::jsonl, record_json(3, "q1", "t1"), nullptr),
              (std::vector<std::string>{record_item(3, "q1", "t1")}));
}

TEST_F(AlignmentRecordReaderTest, ReadsFilesAndLongInputs) {
    // Enough records to cross several buffer refills, one of them split across a boundary.
    std::string json = "[";
    std::string jsonl;
    std::vector<std::string> expected;
    for (std::uint64_t k = 0; k < 60; ++k) {
        const std::string r = record_json(k, k % 2 == 0 ? "q1" : "q2", k % 3 == 0 ? "t1" : "t2");
        json += (k == 0 ? "" : ",\n") + r;
        jsonl += r + "\n";
        expected.push_back(record_item(k, k % 2 == 0 ? "q1" : "q2", k % 3 == 0 ? "t1" : "t2"));
    }
    json += "]";
    ASSERT_GT(json.size(), 2 * AlignmentRecordReader::buffer_size);
    for (const auto& [name, format, text] :
         {std::tuple{"records.json", RecordInputFormat::json, json},
          std::tuple{"records.jsonl", RecordInputFormat::jsonl, jsonl}}) {
        SCOPED_TRACE(name);
        const std::string path = scratch_->write(name, text).string();
        auto reader = AlignmentRecordReader::open(path, format, nullptr, *store_);
        ASSERT_TRUE(reader.has_value()) << reader.error();
        EXPECT_EQ(drain(*reader), expected);
    }
}

TEST_F(AlignmentRecordReaderTest, OpenAndReadFailures) {
    const std::string missing = (scratch_->path() / "absent.json").string();
    auto absent = AlignmentRecordReader::open(missing, RecordInputFormat::json, nullptr, *store_);
    ASSERT_FALSE(absent.has_value());
    EXPECT_EQ(absent.error(),
              "failed to open alignment input " + missing + ": No such file or directory");

    // "./-" is a file named "-", not standard input.
    std::istringstream unused("");
    scratch_->write("-", record_json(2, "q1", "t1"));
    const std::filesystem::path cwd = std::filesystem::current_path();
    std::filesystem::current_path(scratch_->path());
    auto file =
        AlignmentRecordReader::open("./-", RecordInputFormat::jsonl, nullptr, *store_, unused);
    std::filesystem::current_path(cwd);
    ASSERT_TRUE(file.has_value()) << file.error();
    EXPECT_EQ(drain(*file), std::vector<std::string>{record_item(2, "q1", "t1")});

    // A directory opens, but reading it fails.
    const std::string directory = scratch_->path().string();
    for (const auto& [format, message] :
         {std::pair{RecordInputFormat::json, "failed to read JSON input: Is a directory"},
          std::pair{RecordInputFormat::sam, "failed to read alignment input: Is a directory"}}) {
        auto reader = AlignmentRecordReader::open(directory, format, &global_linear, *store_);
        ASSERT_TRUE(reader.has_value()) << reader.error();
        EXPECT_EQ(drain(*reader), std::vector<std::string>{error_item(
                                      "input_parse", "input_read_failed", message, false, 0, 1)});
    }
}

TEST_F(AlignmentRecordReaderTest, ErrorEndsTheStream) {
    std::istringstream in(record_json(1, "q1", "t1") + "\n" + record_json(2, "q1", "t1") + "\n");
    auto reader = AlignmentRecordReader::open("-", RecordInputFormat::jsonl, nullptr, *store_, in);
    ASSERT_TRUE(reader.has_value()) << reader.error();
    std::optional<RecordItem> first = reader->next();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(describe(*first), record_item(1, "q1", "t1"));
    const ErrorRecord stop = reader->error(ErrorStage::record_parse, "comparison_count_mismatch",
                                           "comparison inputs have different record counts");
    EXPECT_EQ(describe(stop),
              error_item("record_parse", "comparison_count_mismatch",
                         "comparison inputs have different record counts", false, 1, 1));
    EXPECT_FALSE(reader->next().has_value());
}

}  // namespace
}  // namespace rux_dp
