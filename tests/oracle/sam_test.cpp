#include "rux_dp/oracle/sam.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "oracle/external_fixtures.hpp"

namespace rux_dp {
namespace {

using testing::cigar_of;
using testing::problem_for;
using testing::solved_record;

struct WriteCase {
    std::string_view name;
    AlignmentMode mode;
    std::string_view query, target;
    AlignmentSpan query_span, target_span;
    std::string_view cigar;
    std::int64_t value;
    std::string_view line;
};
constexpr WriteCase write_cases[] = {
    {"local inside both sequences",
     AlignmentMode::local_linear,
     "GGACGTACTT",
     "TTTTTACGTACTT",
     {2, 8},
     {5, 11},
     "6=",
     12,
     "q1\t0\tt1\t6\t255\t2S6=2S\t*\t0\t0\tGGACGTACTT\t*\tAS:i:12\tNM:i:0\n"},
    {"global edit distance",
     AlignmentMode::edit_distance,
     "ACGT",
     "AGT",
     {0, 4},
     {0, 3},
     "1=1I2=",
     1,
     "q1\t0\tt1\t1\t255\t1=1I2=\t*\t0\t0\tACGT\t*\tNM:i:1\n"},
    {"empty local",
     AlignmentMode::local_linear,
     "ACGT",
     "GG",
     {0, 0},
     {0, 0},
     "",
     0,
     "q1\t0\tt1\t1\t255\t4S\t*\t0\t0\tACGT\t*\tAS:i:0\tNM:i:0\n"},
    {"empty local inside the query",
     AlignmentMode::local_linear,
     "ACGT",
     "GGG",
     {2, 2},
     {1, 1},
     "",
     0,
     "q1\t0\tt1\t2\t255\t2S2S\t*\t0\t0\tACGT\t*\tAS:i:0\tNM:i:0\n"},
    {"empty query",
     AlignmentMode::local_linear,
     "",
     "GG",
     {0, 0},
     {0, 0},
     "",
     0,
     "q1\t0\tt1\t1\t255\t*\t*\t0\t0\t\t*\tAS:i:0\tNM:i:0\n"},
    {"semiglobal with a negative score",
     AlignmentMode::semiglobal_linear,
     "ACG",
     "TTAGGTT",
     {0, 3},
     {2, 5},
     "1=1X1=",
     -4,
     "q1\t0\tt1\t3\t255\t1=1X1=\t*\t0\t0\tACG\t*\tAS:i:-4\tNM:i:1\n"},
};

TEST(RecordToSam, WritesClipsSequenceAndTags) {
    for (const auto& c : write_cases) {
        SCOPED_TRACE(std::string(c.name));
        const AlignmentRecord record =
            solved_record(c.mode, c.query, c.target, c.query_span, c.target_span, c.cigar, c.value);
        const auto line = record_to_sam(record, c.query);
        ASSERT_TRUE(line.has_value()) << line.error();
        EXPECT_EQ(*line, c.line);
    }
}

TEST(RecordToSam, RejectsRecordsItCannotWrite) {
    AlignmentRecord record =
        solved_record(AlignmentMode::global_linear, "ACGT", "ACTT", {0, 4}, {0, 4}, "2=1X1=", 5);
    EXPECT_EQ(record_to_sam(record, "ACGTA").error(),
              "query sequence 'q1' has length 5 but record declares 4");
    record.alignment.trace.reset();
    EXPECT_EQ(record_to_sam(record, "ACGT").error(), "SAM requires a traceback");
}

TEST(SamRoundTrip, EveryModeReadsBackUnchanged) {
    for (const auto& c : testing::round_trip_cases) {
        SCOPED_TRACE(std::string(c.name));
        const AlignmentRecord record =
            solved_record(c.mode, c.query, c.target, c.query_span, c.target_span, c.cigar, c.value);
        const auto line = record_to_sam(record, c.query);
        ASSERT_TRUE(line.has_value()) << line.error();
        const auto read =
            records_from_sam(*line, record.problem, {{"q1", c.query}}, {{"t1", c.target}});
        ASSERT_TRUE(read.has_value()) << read.error() << "\n" << *line;
        ASSERT_EQ(read->size(), 1u);
        const AlignmentRecord& back = read->front();
        EXPECT_EQ(back.alignment, record.alignment);
        EXPECT_EQ(back.problem, record.problem);
        EXPECT_EQ(back.pair.index, 0u);
        EXPECT_EQ(back.pair.query.id, "q1");
        EXPECT_EQ(back.pair.query.length, c.query.size());
        EXPECT_EQ(back.pair.target.id, "t1");
        EXPECT_EQ(back.pair.target.length, c.target.size());
        EXPECT_EQ(back.producer.name, "external-sam");
        const auto again = record_to_sam(back, c.query);
        ASSERT_TRUE(again.has_value()) << again.error();
        EXPECT_EQ(*again, *line);
    }
}

// The only run of a CIGAR such as "4S" is the clip after an empty alignment at the query start,
// not a clip on both sides.
TEST(RecordsFromSam, LoneSoftClipIsATrailingClip) {
    const ProblemSpec local = problem_for(AlignmentMode::local_linear);
    const auto read = records_from_sam("q1\t0\tt1\t3\t255\t4S\t*\t0\t0\tACGT\t*\tAS:i:0", local,
                                       {{"q1", "ACGT"}}, {{"t1", "GGGG"}});
    ASSERT_TRUE(read.has_value()) << read.error();
    const TraceRecord& trace = *read->front().alignment.trace;
    EXPECT_EQ(trace.query_span, (AlignmentSpan{0, 0}));
    EXPECT_EQ(trace.target_span, (AlignmentSpan{2, 2}));
    EXPECT_TRUE(trace.cigar.empty());

    EXPECT_EQ(records_from_sam("q1\t0\tt1\t3\t255\t5S\t*\t0\t0\tACGT\t*\tAS:i:0", local,
                               {{"q1", "ACGT"}}, {{"t1", "GGGG"}})
                  .error(),
              "SAM line 1 clipping exceeds query length");
}

const ProblemSpec linear = problem_for(AlignmentMode::global_linear);
const SequenceMap queries = {{"q1", "ACGT"}, {"q2", "TTTACGTAGG"}};
const SequenceMap targets = {{"t1", "ACTT"}, {"t2", "ACGTA"}};

// The columns of a valid line of q1 against t1; tests replace some of them.
std::vector<std::string> base_fields() {
    return {"q1", "0", "t1", "1", "255", "2=1X1=", "*", "0", "0", "ACGT", "*", "AS:i:5", "NM:i:1"};
}

std::string join(const std::vector<std::string>& fields) {
    std::string line;
    for (const std::string& field : fields) {
        if (!line.empty())
            line.push_back('\t');
        line += field;
    }
    return line;
}

std::string line_with(std::vector<std::pair<std::size_t, std::string>> replaced) {
    std::vector<std::string> fields = base_fields();
    for (auto& [column, value] : replaced)
        fields[column - 1] = std::move(value);
    return join(fields);
}

struct ReadCase {
    std::string line;
    AlignmentSpan query_span, target_span;
    std::string_view cigar;
};

TEST(RecordsFromSam, ReadsClipsFlagsAndPositions) {
    const ReadCase cases[] = {
        {line_with({}), {0, 4}, {0, 4}, "2=1X1="},
        {line_with({{6, "4M"}}), {0, 4}, {0, 4}, "2=1X1="},
        {line_with({{2, "256"}}), {0, 4}, {0, 4}, "2=1X1="},
        {line_with({{2, "2048"}}), {0, 4}, {0, 4}, "2=1X1="},
        {line_with({{2, "+3"}, {4, "+1"}}), {0, 4}, {0, 4}, "2=1X1="},
        {line_with({{10, "*"}, {11, "II#I"}, {5, "*"}, {7, "="}, {8, "x"}, {9, "-5"}}),
         {0, 4},
         {0, 4},
         "2=1X1="},
        // Without a trailing "S" the span runs to the query end, whatever the CIGAR consumes.
        {line_with({{6, "1S1M"}, {4, "3"}}), {1, 4}, {2, 3}, "1X"},
        {"q2\t0\tt2\t1\t255\t3S5M2S\t*\t0\t0\tTTTACGTAGG\t*\tAS:i:10\tNM:i:0",
         {3, 8},
         {0, 5},
         "5="},
        {"q2\t0\tt2\t1\t255\t3S1M1D2M4S\t*\t0\t0\tTTTACGTAGG\t*\tAS:i:1", {3, 6}, {0, 4}, "1=1D2X"},
        {"q2\t0\tt2\t1\t255\t2I3S\t*\t0\t0\t*\t*\tAS:i:-4", {0, 7}, {0, 0}, "2I"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const auto read = records_from_sam(c.line, linear, queries, targets);
        ASSERT_TRUE(read.has_value()) << read.error();
        ASSERT_EQ(read->size(), 1u);
        const TraceRecord& trace = *read->front().alignment.trace;
        EXPECT_EQ(trace.query_span, c.query_span);
        EXPECT_EQ(trace.target_span, c.target_span);
        EXPECT_EQ(trace.cigar, cigar_of(c.cigar));
    }
}

struct SamErrorCase {
    std::string line;
    std::string_view error;
    AlignmentMode mode = AlignmentMode::global_linear;
};

TEST(RecordsFromSam, RejectsBadLinesWithTheirMessage) {
    std::vector<std::string> ten = base_fields();
    ten.resize(10);
    std::vector<std::string> without_as = base_fields();
    without_as.erase(without_as.begin() + 11);
    std::vector<std::string> without_nm = base_fields();
    without_nm.pop_back();
    std::vector<std::string> twice = base_fields();
    twice.push_back("NM:i:1");
    std::vector<std::string> bad_tag = base_fields();
    bad_tag.push_back("AS");

    const SamErrorCase cases[] = {
        {join(ten), "SAM line 1 has fewer than 11 fields"},
        {"   ", "SAM line 1 has fewer than 11 fields"},
        {line_with({{2, "x"}, {1, "q9"}}), "SAM line 1 has invalid FLAG"},
        {line_with({{2, ""}}), "SAM line 1 has invalid FLAG"},
        {line_with({{2, "-1"}}), "SAM line 1 has invalid FLAG"},
        {line_with({{2, "65536"}}), "SAM line 1 has invalid FLAG"},
        {line_with({{2, "0x10"}}), "SAM line 1 has invalid FLAG"},
        {line_with({{2, "4"}}), "SAM line 1 is unmapped"},
        {line_with({{2, "20"}}), "SAM line 1 is unmapped"},
        {line_with({{2, "16"}, {1, "q9"}}), "SAM line 1 uses unsupported reverse strand"},
        {line_with({{1, "q9"}, {3, "t9"}}), "SAM query id 'q9' is missing from query sources"},
        {line_with({{3, "t9"}, {4, "x"}}), "SAM target id 't9' is missing from target sources"},
        {line_with({{4, "x"}, {6, "M"}}), "SAM line 1 has invalid POS"},
        {line_with({{4, "-1"}}), "SAM line 1 has invalid POS"},
        {line_with({{4, "18446744073709551616"}}), "SAM line 1 has invalid POS"},
        {line_with({{4, "0"}}), "SAM line 1 POS must be positive"},
        {line_with({{6, "M"}}), "invalid CIGAR run before 'M'"},
        {line_with({{6, "2=1X1"}}), "CIGAR ends with a length and no operation"},
        {line_with({{6, "1S1=1S1=1S"}}), "SAM line 1 has internal soft clipping"},
        {"q2\t0\tt2\t1\t255\t3S5M2S4M\t*\t0\t0\t*\t*\tAS:i:0",
         "SAM line 1 has internal soft clipping"},
        {line_with({{6, "3M1H"}}), "unsupported external CIGAR operation 'H'"},
        {line_with({{6, "2M1N1M"}}), "unsupported external CIGAR operation 'N'"},
        {line_with({{6, "1S3="}}), "external CIGAR '=' disagrees with source bases"},
        {line_with({{4, "2"}}), "external CIGAR '=' disagrees with source bases"},
        {line_with({{6, "3S2M"}}), "external CIGAR consumes query out of bounds"},
        {line_with({{6, "2=5S"}}), "SAM line 1 clipping exceeds query length"},
        {line_with({{10, "acgt"}}), "SAM line 1 SEQ does not match the resolved query source"},
        {line_with({{10, "ACG"}}), "SAM line 1 SEQ does not match the resolved query source"},
        {line_with({{10, ""}}), "SAM line 1 SEQ does not match the resolved query source"},
        {join(bad_tag), "malformed optional tag 'AS'"},
        {join(twice), "duplicate optional tag 'NM'"},
        {line_with({{6, "*"}}), "SAM line 1 reports NM:i:1 but CIGAR and sources imply 0"},
        {line_with({{13, "NM:i:0"}}), "SAM line 1 reports NM:i:0 but CIGAR and sources imply 1"},
        {line_with({{13, "NM:Z:1"}}), "SAM line 1 tag NM must use integer type i",
         AlignmentMode::edit_distance},
        {line_with({{13, "NM:i:-1"}}), "SAM line 1 has invalid NM:i", AlignmentMode::edit_distance},
        {join(without_as), "SAM line 1 is missing AS:i"},
        {join(without_as), "SAM line 1 is missing AS:i", AlignmentMode::local_linear},
        {join(without_nm), "SAM line 1 is missing NM:i", AlignmentMode::edit_distance},
        {line_with({{12, "AS:i:1.5"}}), "SAM line 1 has invalid AS:i"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const auto read = records_from_sam(c.line, problem_for(c.mode), queries, targets);
        ASSERT_FALSE(read.has_value());
        EXPECT_EQ(read.error(), c.error);
    }
}

TEST(RecordsFromSam, ObjectiveFollowsTheMode) {
    const std::string line = line_with({{12, "AS:i:-12"}});
    const auto as_score = records_from_sam(line, linear, queries, targets);
    ASSERT_TRUE(as_score.has_value()) << as_score.error();
    EXPECT_EQ(as_score->front().alignment.objective, (Objective{ObjectiveKind::score, -12}));
    const auto as_distance =
        records_from_sam(line, problem_for(AlignmentMode::edit_distance), queries, targets);
    ASSERT_TRUE(as_distance.has_value()) << as_distance.error();
    EXPECT_EQ(as_distance->front().alignment.objective, (Objective{ObjectiveKind::distance, 1}));
}

TEST(RecordsFromSam, CountsEveryLineAndIndexesOnlyRecords) {
    const std::string good = line_with({});
    const std::string other = "q2\t0\tt2\t1\t255\t3S5M2S\t*\t0\t0\t*\t*\tAS:i:10";
    const std::string header = "@HD\tVN:1.6\n@SQ\tSN:t1\tLN:4\r\n";
    const auto read =
        records_from_sam(header + good + "\r\n\n" + other + "\n", linear, queries, targets);
    ASSERT_TRUE(read.has_value()) << read.error();
    ASSERT_EQ(read->size(), 2u);
    EXPECT_EQ((*read)[0].pair.index, 0u);
    EXPECT_EQ((*read)[0].pair.query.id, "q1");
    EXPECT_EQ((*read)[1].pair.index, 1u);
    EXPECT_EQ((*read)[1].pair.query.length, 10u);
    EXPECT_EQ((*read)[1].pair.target.id, "t2");

    const auto first = records_from_sam(header + line_with({{4, "0"}}), linear, queries, targets);
    EXPECT_EQ(first.error(), "SAM line 3 POS must be positive");
    // Records read before a bad line are not returned.
    const auto later = records_from_sam(header + good + "\n\n@CO\tx\n" + line_with({{2, "16"}}),
                                        linear, queries, targets);
    EXPECT_EQ(later.error(), "SAM line 6 uses unsupported reverse strand");

    const auto none = records_from_sam("@HD\tVN:1.6\n\n", linear, queries, targets);
    ASSERT_TRUE(none.has_value()) << none.error();
    EXPECT_TRUE(none->empty());
}

}  // namespace
}  // namespace rux_dp
