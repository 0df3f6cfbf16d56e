#include "rux_dp/oracle/json_reader.hpp"
#include "rux_dp/oracle/json_writer.hpp"
#include "rux_dp/oracle/records.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "support/sample_records.hpp"

namespace rux_dp {
namespace {

using test::full_record;
using test::minimal_record;
using test::minimal_record_json;

std::string replaced(std::string_view text, std::string_view from, std::string_view to) {
    std::string out(text);
    const std::size_t at = out.find(from);
    EXPECT_NE(at, std::string::npos) << "no " << from << " in the base text";
    if (at != std::string::npos)
        out.replace(at, from.size(), to);
    return out;
}

// ---- writing ----

TEST(JsonWriter, MinimalRecordHasSevenMembersInOrder) {
    EXPECT_EQ(json_text(minimal_record()), minimal_record_json);
}

TEST(JsonWriter, MetricsAndIntegrityComeLast) {
    AlignmentRecord record = minimal_record();
    record.metrics = Metrics{.elapsed_ms = 0.5, .work_cells = 6};
    record.integrity = IntegrityFingerprint{
        .version = "v", .hash_algorithm = "sha256", .deterministic_fields_sha256 = "cc"};
    const std::string expected =
        std::string(minimal_record_json.substr(0, minimal_record_json.size() - 1))
        + R"(,"metrics":{"elapsed_ms":0.5,"work_cells":6},)"
          R"("integrity":{"version":"v","hash_algorithm":"sha256","deterministic_fields_sha256":"cc"}})";
    EXPECT_EQ(json_text(record), expected);
}

TEST(JsonWriter, ProducerCommitSitsBetweenVersionAndBackend) {
    Producer producer{.name = "rux-align", .version = "1", .commit = std::nullopt, .backend = "b"};
    EXPECT_EQ(json_text(producer), R"({"name":"rux-align","version":"1","backend":"b"})");
    producer.commit = "c0";
    EXPECT_EQ(json_text(producer),
              R"({"name":"rux-align","version":"1","commit":"c0","backend":"b"})");
}

TEST(JsonWriter, CheckDetailOnlyWhenPresent) {
    EXPECT_EQ(json_text(CheckResult{.name = "n", .passed = true, .detail = std::nullopt}),
              R"({"name":"n","passed":true})");
    EXPECT_EQ(json_text(CheckResult{.name = "n", .passed = false, .detail = "d"}),
              R"({"name":"n","passed":false,"detail":"d"})");
}

TEST(JsonWriter, ScoringVariantsPutKindFirst) {
    const ScoringScheme affine =
        AffineScoring{.substitution = MatrixScheme{.name = "tiny",
                                                   .alphabet = {"A", "C"},
                                                   .scores = {{1, -1}, {-1, 1}},
                                                   .source_sha256 = "dd"},
                      .gap_open = -5,
                      .gap_extend = -1};
    EXPECT_EQ(json_text(affine),
              R"({"kind":"affine","substitution":{"kind":"matrix","name":"tiny",)"
              R"("alphabet":["A","C"],"scores":[[1,-1],[-1,1]],"source_sha256":"dd"},)"
              R"("gap_open":-5,"gap_extend":-1})");
    const ScoringScheme linear = LinearScoring{
        .substitution = MatchMismatchScheme{.match_score = 2, .mismatch_penalty = 3}, .gap = -2};
    EXPECT_EQ(json_text(linear),
              R"({"kind":"linear","substitution":{"kind":"match-mismatch","match_score":2,)"
              R"("mismatch_penalty":3},"gap":-2})");
    EXPECT_EQ(json_text(ScoringScheme(LinearScoring{.substitution = Blosum62Scheme{}, .gap = 0})),
              R"({"kind":"linear","substitution":{"kind":"blosum62"},"gap":0})");
    const ScoringScheme empty_matrix = LinearScoring{.substitution = MatrixScheme{}, .gap = 1};
    EXPECT_EQ(json_text(empty_matrix),
              R"({"kind":"linear","substitution":{"kind":"matrix","name":"","alphabet":[],)"
              R"("scores":[]},"gap":1})");
}

TEST(JsonWriter, TraceWithAndWithoutOperations) {
    TraceRecord trace{.query_span = {.start = 0, .end = 2},
                      .target_span = {.start = 5, .end = 6},
                      .cigar = *Cigar::parse("1=1I"),
                      .operations = std::nullopt};
    EXPECT_EQ(json_text(trace),
              R"({"query_span":{"start":0,"end":2},"target_span":{"start":5,"end":6},)"
              R"("cigar":"1=1I"})");
    trace.operations = std::vector<AlignmentStep>{{.op = AlignmentOpKind::match,
                                                   .query_pos = 0,
                                                   .target_pos = 5,
                                                   .query_base = U'A',
                                                   .target_base = U'A'},
                                                  {.op = AlignmentOpKind::insertion,
                                                   .query_pos = 1,
                                                   .target_pos = std::nullopt,
                                                   .query_base = U'C',
                                                   .target_base = std::nullopt}};
    EXPECT_EQ(json_text(trace),
              R"({"query_span":{"start":0,"end":2},"target_span":{"start":5,"end":6},)"
              R"("cigar":"1=1I","operations":[)"
              R"({"op":"match","query_pos":0,"target_pos":5,"query_base":"A","target_base":"A"},)"
              R"({"op":"insertion","query_pos":1,"target_pos":null,"query_base":"C",)"
              R"("target_base":null}]})");
    EXPECT_EQ(json_text(TraceRecord{}),
              R"({"query_span":{"start":0,"end":0},"target_span":{"start":0,"end":0},)"
              R"("cigar":""})");
}

TEST(JsonWriter, StepBasesAreEscapedCharacters) {
    const AlignmentStep step{.op = AlignmentOpKind::mismatch,
                             .query_pos = 0,
                             .target_pos = 0,
                             .query_base = U'"',
                             .target_base = char32_t{0xFFFD}};
    EXPECT_EQ(json_text(step),
              "{\"op\":\"mismatch\",\"query_pos\":0,\"target_pos\":0,\"query_base\":\"\\\"\","
              "\"target_base\":\"\xEF\xBF\xBD\"}");
    // A code point that is no character (a surrogate) is written as U+FFFD.
    const AlignmentStep odd{.op = AlignmentOpKind::deletion,
                            .query_pos = std::nullopt,
                            .target_pos = 7,
                            .query_base = std::nullopt,
                            .target_base = char32_t{0xD800}};
    EXPECT_EQ(json_text(odd),
              "{\"op\":\"deletion\",\"query_pos\":null,\"target_pos\":7,\"query_base\":null,"
              "\"target_base\":\"\xEF\xBF\xBD\"}");
}

struct EscapeCase {
    std::string_view text;
    std::string_view json;
};
constexpr EscapeCase escape_cases[] = {
    {"", R"("")"},
    {"tab\t quote\" \xC3\xA9", "\"tab\\t quote\\\" \xC3\xA9\""},
    {"back\\slash /", R"("back\\slash /")"},
    {"\b\f\n\r", R"("\b\f\n\r")"},
    {{"\0", 1}, R"("\u0000")"},
    {"\x01\x1f\x0b", R"("\u0001\u001f\u000b")"},
    {"\x7f", "\"\x7f\""},
    {"\xF0\x9F\x98\x80 \xE2\x82\xAC", "\"\xF0\x9F\x98\x80 \xE2\x82\xAC\""},
    // Ill-formed UTF-8: each maximal ill-formed subsequence becomes one U+FFFD.
    {"a\xFF"
     "b",
     "\"a\xEF\xBF\xBD"
     "b\""},
    {"\xC3", "\"\xEF\xBF\xBD\""},
    {"\xF0\x9F\x98", "\"\xEF\xBF\xBD\""},
    {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},                                  // overlong "/"
    {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},                  // surrogate
    {"\xF4\x90\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // > U+10FFFF
    {"\xE2\x82"
     "x",
     "\"\xEF\xBF\xBD"
     "x\""},
};

TEST(JsonWriter, TextEscaping) {
    for (const auto& c : escape_cases) {
        SCOPED_TRACE(std::string(c.json));
        std::string out;
        write_json_string(out, c.text);
        EXPECT_EQ(out, c.json);
    }
}

TEST(JsonWriter, Numbers) {
    const std::pair<double, std::string_view> doubles[] = {
        {0.0, "0"},
        {0.5, "0.5"},
        {0.1 + 0.2, "0.30000000000000004"},
        {1.25, "1.25"},
        {-1.5, "-1.5"},
        {123456789.0, "123456789"},
        {1e21, "1e+21"},
        {5e-324, "5e-324"},
        {1.7976931348623157e308, "1.7976931348623157e+308"},
        {std::numeric_limits<double>::quiet_NaN(), "null"},
        {std::numeric_limits<double>::infinity(), "null"},
        {-std::numeric_limits<double>::infinity(), "null"},
    };
    for (const auto& [value, text] : doubles) {
        SCOPED_TRACE(std::string(text));
        EXPECT_EQ(json_text(Metrics{.elapsed_ms = value, .work_cells = 0}),
                  R"({"elapsed_ms":)" + std::string(text) + R"(,"work_cells":0})");
    }
    EXPECT_EQ(json_text(Objective{.kind = ObjectiveKind::score,
                                  .value = std::numeric_limits<std::int64_t>::min()}),
              R"({"kind":"score","value":-9223372036854775808})");
    EXPECT_EQ(
        json_text(AlignmentSpan{.start = 0, .end = std::numeric_limits<std::uint64_t>::max()}),
        R"({"start":0,"end":18446744073709551615})");
}

TEST(JsonWriter, Reports) {
    const AlignmentRecord record = minimal_record();
    const VerificationReport report{.schema_version = "rux-align.v2",
                                    .record_type = "verification",
                                    .pair = record.pair,
                                    .problem = record.problem,
                                    .submitted = record.alignment,
                                    .verification = record.verification,
                                    .metrics = {.elapsed_ms = 2, .work_cells = 6}};
    EXPECT_EQ(json_text(report),
              R"({"schema_version":"rux-align.v2","record_type":"verification",)"
              R"("pair":{"index":0,"query":{"id":"q","length":2,"sha256":"aa"},)"
              R"("target":{"id":"t","length":1,"sha256":"bb"}},)"
              R"("problem":{"mode":"edit-distance","scoring":{"kind":"edit-distance"}},)"
              R"("submitted":{"objective":{"kind":"distance","value":1}},)"
              R"("verification":{"level":"structure","status":"verified",)"
              R"("checks":[{"name":"structure","passed":true}]},)"
              R"("metrics":{"elapsed_ms":2,"work_cells":6}})");

    const ComparisonReport comparison{.schema_version = "rux-align.v2",
                                      .record_type = "comparison",
                                      .inputs = {.query = "AC", .target = "A"},
                                      .pair = record.pair,
                                      .problem = record.problem,
                                      .left = record,
                                      .right = record,
                                      .objectives_equal = true,
                                      .traces_equal = false,
                                      .equivalent = false,
                                      .differences = {"one", "two"}};
    const std::string left = std::string(minimal_record_json);
    EXPECT_EQ(json_text(comparison),
              R"({"schema_version":"rux-align.v2","record_type":"comparison",)"
              R"("inputs":{"query":"AC","target":"A"},)"
              R"("pair":{"index":0,"query":{"id":"q","length":2,"sha256":"aa"},)"
              R"("target":{"id":"t","length":1,"sha256":"bb"}},)"
              R"("problem":{"mode":"edit-distance","scoring":{"kind":"edit-distance"}},)"
              R"("left":)"
                  + left + R"(,"right":)" + left
                  + R"(,"objectives_equal":true,"traces_equal":false,"equivalent":false,)"
                    R"("differences":["one","two"]})");
}

TEST(JsonWriter, AppendsToTheBuffer) {
    std::string out = "prefix ";
    write_json(out, AlignmentSpan{.start = 1, .end = 2});
    write_json(out, Cigar{});
    EXPECT_EQ(out, R"(prefix {"start":1,"end":2}"")");
}

// ---- reading ----

TEST(JsonReader, RoundTripOfAFullRecord) {
    const AlignmentRecord record = full_record();
    const std::string text = json_text(record);
    const auto read = read_alignment_record(text);
    ASSERT_TRUE(read) << read.error();
    EXPECT_EQ(*read, record);
    EXPECT_EQ(json_text(*read), text);
}

TEST(JsonReader, MinimalRecord) {
    const auto read = read_alignment_record(minimal_record_json);
    ASSERT_TRUE(read) << read.error();
    EXPECT_EQ(*read, minimal_record());
}

TEST(JsonReader, MembersInAnyOrderAndNullsForAbsentMembers) {
    // Reversed member order everywhere, "kind" last, and null for every optional member.
    const std::string text =
        R"( {"integrity":null,"metrics":null,)"
        R"("verification":{"reason":null,"reference_backend":null,)"
        R"("checks":[{"detail":null,"passed":true,"name":"structure"}],)"
        R"("status":"verified","level":"structure"},)"
        R"("alignment":{"trace":null,"objective":{"value":1,"kind":"distance"}},)"
        R"("problem":{"scoring":{"kind":"edit-distance"},"mode":"edit-distance"},)"
        R"("pair":{"target":{"sha256":"bb","length":1,"id":"t"},)"
        R"("query":{"sha256":"aa","length":2,"id":"q"},"index":0},)"
        R"("producer":{"backend":"bit-parallel","commit":null,)"
        R"("version":"0.2.0-alpha.2","name":"rux-align"},)"
        R"("record_type":"alignment","schema_version":"rux-align.v2"})"
        "\r\n\t ";
    const auto read = read_alignment_record(text);
    ASSERT_TRUE(read) << read.error();
    EXPECT_EQ(*read, minimal_record());
    EXPECT_EQ(json_text(*read), minimal_record_json);
}

TEST(JsonReader, GapBeforeSubstitutionIsWrittenBackKindFirst) {
    const std::string text = replaced(minimal_record_json, R"("scoring":{"kind":"edit-distance"})",
                                      R"("scoring":{"gap":-2,"substitution":{"kind":"blosum62"},)"
                                      R"("kind":"linear"})");
    const auto read = read_alignment_record(text);
    ASSERT_TRUE(read) << read.error();
    EXPECT_EQ(read->problem.scoring,
              ScoringScheme(LinearScoring{.substitution = Blosum62Scheme{}, .gap = -2}));
    EXPECT_NE(json_text(*read).find(
                  R"("scoring":{"kind":"linear","substitution":{"kind":"blosum62"},"gap":-2})"),
              std::string::npos);
}

TEST(JsonReader, NullMetricsReadsAsAbsent) {
    const std::string text =
        std::string(minimal_record_json.substr(0, minimal_record_json.size() - 1))
        + R"(,"metrics":null})";
    const auto read = read_alignment_record(text);
    ASSERT_TRUE(read) << read.error();
    EXPECT_FALSE(read->metrics);
    EXPECT_EQ(json_text(*read), minimal_record_json);
}

TEST(JsonReader, ElapsedTimeTakesAnyNumberAndNull) {
    const std::string base =
        std::string(minimal_record_json.substr(0, minimal_record_json.size() - 1));
    const std::pair<std::string_view, double> times[] = {
        {"7", 7.0},
        {"-3", -3.0},
        {"2.5e3", 2500.0},
        {"18446744073709551616", 18446744073709551616.0}};
    for (const auto& [text, value] : times) {
        SCOPED_TRACE(std::string(text));
        const auto read = read_alignment_record(base + R"(,"metrics":{"elapsed_ms":)"
                                                + std::string(text) + R"(,"work_cells":1}})");
        ASSERT_TRUE(read) << read.error();
        ASSERT_TRUE(read->metrics);
        EXPECT_EQ(read->metrics->elapsed_ms, value);
    }
    // What the writer gives for a time that is not finite reads back as such.
    const auto nan =
        read_alignment_record(base + R"(,"metrics":{"elapsed_ms":null,"work_cells":1}})");
    ASSERT_TRUE(nan) << nan.error();
    EXPECT_TRUE(std::isnan(nan->metrics->elapsed_ms));
}

TEST(JsonReader, StepMembersMayBeMissing) {
    const std::string text = replaced(
        minimal_record_json, R"("alignment":{"objective":{"kind":"distance","value":1}})",
        R"("alignment":{"objective":{"kind":"distance","value":1},"trace":{)"
        R"("query_span":{"start":0,"end":1},"target_span":{"start":0,"end":0},)"
        R"("cigar":"1I","operations":[{"op":"insertion","query_pos":0,"query_base":"A"}]}})");
    const auto read = read_alignment_record(text);
    ASSERT_TRUE(read) << read.error();
    const AlignmentStep expected{.op = AlignmentOpKind::insertion,
                                 .query_pos = 0,
                                 .target_pos = std::nullopt,
                                 .query_base = U'A',
                                 .target_base = std::nullopt};
    ASSERT_TRUE(read->alignment.trace && read->alignment.trace->operations);
    EXPECT_EQ(read->alignment.trace->operations->at(0), expected);
}

struct ReadErrorCase {
    std::string_view name;
    std::string_view from;  // replaced in the minimal record's text ("" = the whole text)
    std::string_view to;
    std::string_view message;
};

// A trace with two steps and a custom matrix, as mutation targets.
const std::string rich_record_json = replaced(
    replaced(minimal_record_json, R"("alignment":{"objective":{"kind":"distance","value":1}})",
             R"("alignment":{"objective":{"kind":"distance","value":1},"trace":{)"
             R"("query_span":{"start":0,"end":2},"target_span":{"start":0,"end":1},)"
             R"("cigar":"1=1I","operations":[)"
             R"({"op":"match","query_pos":0,"target_pos":0,"query_base":"A","target_base":"A"},)"
             R"({"op":"insertion","query_pos":1,"target_pos":null,"query_base":"C",)"
             R"("target_base":null}]}})"),
    R"("scoring":{"kind":"edit-distance"})",
    R"("scoring":{"kind":"linear","substitution":{"kind":"matrix","name":"m",)"
    R"("alphabet":["A","C"],"scores":[[1,-1],[-1,1]]},"gap":-2})");

const ReadErrorCase read_error_cases[] = {
    {"unknown top-level member", R"("record_type":"alignment")",
     R"("record_type":"alignment","extra":1)",
     "unknown field `extra`, expected one of `schema_version`, `record_type`, `producer`, "
     "`pair`, `problem`, `alignment`, `verification`, `metrics`, `integrity`"},
    {"unknown nested member", R"("id":"q")", R"("idx":"q")",
     "pair.query: unknown field `idx`, expected one of `id`, `length`, `sha256`"},
    {"unknown member with a control character", R"("id":"q")", R"("i\nd":"q")",
     "pair.query: unknown field `i\\nd`, expected one of `id`, `length`, `sha256`"},
    {"unknown step member", R"("op":"match",)", R"("op":"match","qpos":0,)",
     "alignment.trace.operations[0]: unknown field `qpos`, expected one of `op`, `query_pos`, "
     "`target_pos`, `query_base`, `target_base`"},
    {"two expected names", R"("kind":"distance","value":1)", R"("kind":"distance","valu":1)",
     "alignment.objective: unknown field `valu`, expected `kind` or `value`"},
    {"member next to a variant without members",
     R"({"kind":"matrix","name":"m","alphabet":["A","C"],"scores":[[1,-1],[-1,1]]})",
     R"({"kind":"blosum62","gap":1})",
     "problem.scoring.substitution: unknown field `gap`, expected `kind`"},
    {"unknown variant member", R"("name":"m")", R"("name":"m","gap":1)",
     "problem.scoring.substitution: unknown field `gap`, expected one of `kind`, `name`, "
     "`alphabet`, `scores`, `source_sha256`"},
    {"duplicate top-level member", R"("record_type":"alignment")",
     R"("record_type":"alignment","record_type":"error")", "duplicate field `record_type`"},
    {"duplicate member in a list element", R"("passed":true)", R"("passed":true,"passed":false)",
     "verification.checks[0]: duplicate field `passed`"},
    {"duplicate in the second step", R"("target_base":null)", R"("target_base":null,"op":"match")",
     "alignment.trace.operations[1]: duplicate field `op`"},
    {"duplicate even inside an unknown member", R"("record_type":"alignment")",
     R"("record_type":"alignment","x":{"a":[{"b":1,"b":2}]})", "x.a[0]: duplicate field `b`"},
    {"missing top-level member", R"("record_type":"alignment",)", "",
     "missing field `record_type`"},
    {"missing nested member", R"(,"sha256":"bb")", "", "pair.target: missing field `sha256`"},
    {"missing step op", R"("op":"match",)", "",
     "alignment.trace.operations[0]: missing field `op`"},
    {"missing kind", R"("kind":"linear",)", "", "problem.scoring: missing field `kind`"},
    {"missing variant member", R"(,"gap":-2)", "", "problem.scoring: missing field `gap`"},
    {"mode in capitals", R"("mode":"edit-distance")", R"("mode":"Edit-Distance")",
     "problem.mode: unknown variant `Edit-Distance`, expected one of `edit-distance`, "
     "`global-linear`, `global-affine`, `local-linear`, `semiglobal-linear`"},
    {"unknown scoring kind", R"("kind":"linear")", R"("kind":"Linear")",
     "problem.scoring.kind: unknown variant `Linear`, expected one of `edit-distance`, `linear`, "
     "`affine`"},
    {"kind that is not a string", R"("kind":"linear")", R"("kind":1)",
     "problem.scoring.kind: invalid type: integer `1`, expected variant identifier"},
    {"unknown step op", R"("op":"insertion")", R"("op":"ins")",
     "alignment.trace.operations[1].op: unknown variant `ins`, expected one of `match`, "
     "`mismatch`, `insertion`, `deletion`"},
    {"unknown status", R"("status":"verified")", R"("status":"ok")",
     "verification.status: unknown variant `ok`, expected one of `verified`, `invalid`, "
     "`inconclusive`, `error`"},
    {"null level", R"("level":"structure")", R"("level":null)",
     "verification.level: invalid type: null, expected enum VerificationLevel"},
    {"unknown objective kind", R"("kind":"distance")", R"("kind":"Distance")",
     "alignment.objective.kind: unknown variant `Distance`, expected `score` or `distance`"},
    {"fractional objective", R"("value":1)", R"("value":1.5)",
     "alignment.objective.value: invalid type: floating point `1.5`, expected i64"},
    {"integral float objective", R"("value":1)", R"("value":1.0)",
     "alignment.objective.value: invalid type: floating point `1.0`, expected i64"},
    {"objective above i64", R"("value":1)", R"("value":9223372036854775808)",
     "alignment.objective.value: invalid value: integer `9223372036854775808`, expected i64"},
    {"negative length", R"("length":2)", R"("length":-1)",
     "pair.query.length: invalid value: integer `-1`, expected u64"},
    {"index above u64", R"("index":0)", R"("index":18446744073709551616)",
     "pair.index: invalid type: floating point `18446744073709551616.0`, expected u64"},
    {"index as text", R"("index":0)", R"("index":"0")",
     "pair.index: invalid type: string \"0\", expected u64"},
    {"gap above i32", R"("gap":-2)", R"("gap":2147483648)",
     "problem.scoring.gap: invalid value: integer `2147483648`, expected i32"},
    {"gap below i32", R"("gap":-2)", R"("gap":-2147483649)",
     "problem.scoring.gap: invalid value: integer `-2147483649`, expected i32"},
    {"matrix cell", R"([[1,-1],[-1,1]])", R"([[1,-1],["x",1]])",
     "problem.scoring.substitution.scores[1][0]: invalid type: string \"x\", expected i32"},
    {"matrix row", R"([[1,-1],[-1,1]])", R"([[1,-1],{}])",
     "problem.scoring.substitution.scores[1]: invalid type: map, expected a sequence"},
    {"non-canonical cigar", R"("cigar":"1=1I")", R"("cigar":"2M")",
     "alignment.trace.cigar: unsupported canonical CIGAR operation 'M'"},
    {"cigar without operation", R"("cigar":"1=1I")", R"("cigar":"12")",
     "alignment.trace.cigar: CIGAR ends with a length and no operation"},
    {"cigar as number", R"("cigar":"1=1I")", R"("cigar":5)",
     "alignment.trace.cigar: invalid type: integer `5`, expected a CIGAR string"},
    {"base of two characters", R"("query_base":"C")", R"("query_base":"CA")",
     "alignment.trace.operations[1].query_base: invalid value: string \"CA\", expected a "
     "character"},
    {"empty base", R"("query_base":"C")", R"("query_base":"")",
     "alignment.trace.operations[1].query_base: invalid value: string \"\", expected a "
     "character"},
    {"boolean as text", R"("passed":true)", R"("passed":"yes")",
     "verification.checks[0].passed: invalid type: string \"yes\", expected a boolean"},
    {"null for a required text", R"("schema_version":"rux-align.v2")", R"("schema_version":null)",
     "schema_version: invalid type: null, expected a string"},
    {"checks not a list", R"("checks":[{"name":"structure","passed":true}])", R"("checks":{})",
     "verification.checks: invalid type: map, expected a sequence"},
    {"producer not an object", R"("producer":{)", R"("producer":true,"x":{)",
     "producer: invalid type: boolean `true`, expected struct Producer"},
    {"not an object", "", "[]", "invalid type: sequence, expected struct AlignmentRecord"},
    {"syntax error", "", R"({"a")",
     "parse error at line 1, column 5: syntax error while parsing object separator - unexpected "
     "end of input; expected ':'"},
    {"empty input", "", "",
     "parse error at line 1, column 1: syntax error while parsing value - unexpected end of "
     "input; expected '[', '{', or a literal"},
};

TEST(JsonReader, RejectionsNameWhatAndWhere) {
    for (const auto& c : read_error_cases) {
        SCOPED_TRACE(std::string(c.name));
        const std::string text =
            c.from.empty() ? std::string(c.to) : replaced(rich_record_json, c.from, c.to);
        const auto read = read_alignment_record(text);
        ASSERT_FALSE(read) << text;
        EXPECT_EQ(read.error(), c.message);
    }
}

TEST(JsonReader, NothingButWhitespaceAfterTheObject) {
    const auto read = read_alignment_record(std::string(minimal_record_json) + " x");
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error(),
              "parse error at line 1, column " + std::to_string(minimal_record_json.size() + 2) +
                  ": syntax error while parsing value - invalid literal; last read: "
                  "'\"passed\":true}]}} x'; expected end of input");
    EXPECT_FALSE(read_alignment_record(std::string(minimal_record_json) + "{}"));
}

TEST(JsonReader, RichBaseRecordReads) {
    const auto read = read_alignment_record(rich_record_json);
    ASSERT_TRUE(read) << read.error();
    EXPECT_EQ(json_text(*read), rich_record_json);
}

TEST(JsonReader, DuplicateInALargeObject) {
    std::string text = "{";
    for (int k = 0; k < 40; ++k)
        text += "\"k" + std::to_string(k) + "\":0,";
    text += "\"k17\":1}";
    const auto read = read_alignment_record(text);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error(), "duplicate field `k17`");
}

TEST(JsonReader, IllFormedUtf8IsRejected) {
    const std::string text = replaced(minimal_record_json, R"("id":"q")", "\"id\":\"\xFF\"");
    const auto read = read_alignment_record(text);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().find('\n'), std::string::npos);
    EXPECT_TRUE(read.error().starts_with("parse error at line 1")) << read.error();
}

TEST(JsonReader, EscapedTextsReadBack) {
    const std::string text =
        replaced(minimal_record_json, R"("id":"q")", R"("id":"\u0041\t\"\u00e9\ud83d\ude00\/")");
    const auto read = read_alignment_record(text);
    ASSERT_TRUE(read) << read.error();
    EXPECT_EQ(read->pair.query.id, "A\t\"\xC3\xA9\xF0\x9F\x98\x80/");
}

}  // namespace
}  // namespace rux_dp
