#include "rux_dp/oracle/paf.hpp"

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

TEST(RecordToPaf, WritesTheTwelveColumnsAndTags) {
    const AlignmentRecord record =
        solved_record(AlignmentMode::global_linear, "ACGT", "ACTT", {0, 4}, {0, 4}, "2=1X1=", 5);
    const auto line = record_to_paf(record);
    ASSERT_TRUE(line.has_value()) << line.error();
    EXPECT_EQ(*line, "q1\t4\t0\t4\t+\tt1\t4\t0\t4\t3\t4\t255\tcg:Z:2=1X1=\tNM:i:1\tAS:i:5\n");
}

TEST(RecordToPaf, DistanceIsCarriedByNmAlone) {
    const AlignmentRecord record =
        solved_record(AlignmentMode::edit_distance, "ACGT", "AGGTC", {0, 4}, {0, 5}, "1=1X2=1D", 2);
    const auto line = record_to_paf(record);
    ASSERT_TRUE(line.has_value()) << line.error();
    EXPECT_EQ(*line, "q1\t4\t0\t4\t+\tt1\t5\t0\t5\t3\t5\t255\tcg:Z:1=1X2=1D\tNM:i:2\n");
}

TEST(RecordToPaf, WritesDeclaredLengthsAndEmptyCigars) {
    AlignmentRecord record =
        solved_record(AlignmentMode::local_linear, "ACGT", "GGG", {2, 2}, {1, 1}, "", -3);
    record.pair.query.length = 40;
    const auto line = record_to_paf(record);
    ASSERT_TRUE(line.has_value()) << line.error();
    EXPECT_EQ(*line, "q1\t40\t2\t2\t+\tt1\t3\t1\t1\t0\t0\t255\tcg:Z:\tNM:i:0\tAS:i:-3\n");
}

TEST(RecordToPaf, RequiresATraceback) {
    AlignmentRecord record =
        solved_record(AlignmentMode::global_linear, "ACGT", "ACTT", {0, 4}, {0, 4}, "2=1X1=", 5);
    record.alignment.trace.reset();
    EXPECT_EQ(record_to_paf(record).error(), "PAF requires a traceback");
}

TEST(PafRoundTrip, EveryModeReadsBackUnchanged) {
    auto cases =
        std::vector(std::begin(testing::round_trip_cases), std::end(testing::round_trip_cases));
    // An empty alignment at the end of the query, which SAM cannot tell from one at the start.
    cases.push_back({"empty local at the query end",
                     AlignmentMode::local_linear,
                     "ACGT",
                     "GGG",
                     {4, 4},
                     {3, 3},
                     "",
                     0});
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name));
        const AlignmentRecord record =
            solved_record(c.mode, c.query, c.target, c.query_span, c.target_span, c.cigar, c.value);
        const auto line = record_to_paf(record);
        ASSERT_TRUE(line.has_value()) << line.error();
        const auto read =
            records_from_paf(*line, record.problem, {{"q1", c.query}}, {{"t1", c.target}});
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
        EXPECT_EQ(back.producer.name, "external-paf");
        const auto again = record_to_paf(back);
        ASSERT_TRUE(again.has_value()) << again.error();
        EXPECT_EQ(*again, *line);
    }
}

const ProblemSpec linear = problem_for(AlignmentMode::global_linear);
const SequenceMap queries = {{"q1", "ACGT"}, {"q2", "ACGTACGT"}};
const SequenceMap targets = {{"t1", "ACTT"}, {"t2", "ACGTACGT"}};

// The columns of a valid line of q1 against t1; tests replace some of them.
std::vector<std::string> base_fields() {
    return {"q1", "4", "0", "4",   "+",           "t1",     "4",     "0",
            "4",  "3", "4", "255", "cg:Z:2=1X1=", "NM:i:1", "AS:i:5"};
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

TEST(RecordsFromPaf, ResolvesMToTheSourceBases) {
    const auto read = records_from_paf(line_with({{13, "cg:Z:4M"}}), linear, queries, targets);
    ASSERT_TRUE(read.has_value()) << read.error();
    ASSERT_EQ(read->size(), 1u);
    EXPECT_EQ(read->front().alignment.trace->cigar, cigar_of("2=1X1="));
    EXPECT_EQ(read->front().alignment.objective, (Objective{ObjectiveKind::score, 5}));

    EXPECT_EQ(
        records_from_paf(line_with({{13, "cg:Z:4M"}, {10, "4"}}), linear, queries, targets).error(),
        "PAF line 1 reports 4 matching bases but cg:Z implies 3");
}

TEST(RecordsFromPaf, KeepsDeclaredLengthsAndIgnoresMappingQuality) {
    for (const std::string_view quality : {"255", "*", "", "60"}) {
        SCOPED_TRACE(std::string(quality));
        const auto read = records_from_paf(line_with({{2, "99"}, {12, std::string(quality)}}),
                                           linear, queries, targets);
        ASSERT_TRUE(read.has_value()) << read.error();
        EXPECT_EQ(read->front().pair.query.length, 99u);
        EXPECT_EQ(read->front().pair.query.sha256,
                  "1dff3e84fe7877e0673b69bbddcf40124e396e3f9943dd890c91b6a09adb9af0");
    }
    // Unknown tags are ignored, and NM is optional.
    const auto read = records_from_paf(join({"q1", "4", "0", "4", "+", "t1", "4", "0", "4", "3",
                                             "4", "255", "tp:A:P", "cg:Z:2=1X1=", "AS:i:5"}),
                                       linear, queries, targets);
    EXPECT_TRUE(read.has_value()) << read.error();
}

struct PafErrorCase {
    std::string line;
    std::string_view error;
    AlignmentMode mode = AlignmentMode::global_linear;
};

TEST(RecordsFromPaf, RejectsBadLinesWithTheirMessage) {
    std::vector<std::string> eleven = base_fields();
    eleven.resize(11);
    std::vector<std::string> without_cg = base_fields();
    without_cg.erase(without_cg.begin() + 12);
    std::vector<std::string> without_as = base_fields();
    without_as.pop_back();
    std::vector<std::string> with_tag = base_fields();
    with_tag.push_back("NM");
    std::vector<std::string> twice = base_fields();
    twice.push_back("cg:Z:4M");

    const PafErrorCase cases[] = {
        {join(eleven), "PAF line 1 has fewer than 12 fields"},
        {"q1 4 0 4 + t1 4 0 4 3 4 255", "PAF line 1 has fewer than 12 fields"},
        {line_with({{5, "-"}}), "PAF line 1 uses unsupported reverse strand"},
        {line_with({{5, ""}}), "PAF line 1 uses unsupported reverse strand"},
        {line_with({{5, "-"}, {1, "q9"}}), "PAF line 1 uses unsupported reverse strand"},
        {line_with({{1, "q9"}, {6, "t9"}}), "PAF query id 'q9' is missing from query sources"},
        {line_with({{6, "t9"}, {2, "x"}}), "PAF target id 't9' is missing from target sources"},
        {line_with({{2, "x"}, {3, "x"}}), "PAF query length is not a non-negative integer"},
        {line_with({{3, "-1"}}), "PAF query start is not a non-negative integer"},
        {line_with({{4, ""}}), "PAF query end is not a non-negative integer"},
        {line_with({{7, "4.0"}}), "PAF target length is not a non-negative integer"},
        {line_with({{8, " 0"}}), "PAF target start is not a non-negative integer"},
        {line_with({{9, "0x4"}, {13, "cg:Z:S"}}), "PAF target end is not a non-negative integer"},
        {join(with_tag), "malformed optional tag 'NM'"},
        {join(twice), "duplicate optional tag 'cg'"},
        {join(without_cg), "PAF line 1 is missing cg:Z"},
        {line_with({{13, "cg:B:2=1X1="}}), "PAF line 1 cg tag must use type Z"},
        {line_with({{13, "cg:Z:4="}}), "external CIGAR '=' disagrees with source bases"},
        {line_with({{13, "cg:Z:2=1S1="}}), "unsupported external CIGAR operation 'S'"},
        {line_with({{13, "cg:Z:2=1X1"}}), "CIGAR ends with a length and no operation"},
        {line_with({{13, "cg:Z:2=1X2="}}), "external CIGAR consumes query out of bounds"},
        {line_with({{13, "cg:Z:2=1X1="}, {10, "three"}}),
         "PAF matching-base count is not a non-negative integer"},
        {line_with({{11, "+"}}), "PAF alignment block length is not a non-negative integer"},
        {line_with({{10, "2"}, {11, "5"}}),
         "PAF line 1 reports 2 matching bases but cg:Z implies 3"},
        {line_with({{11, "5"}}), "PAF line 1 reports block length 5 but cg:Z implies 4"},
        // cg:Z consumes 5 query bases, columns 3 and 4 cover 4.
        {line_with({{13, "cg:Z:2=1X1=1I"}, {11, "5"}, {14, "NM:i:2"}}),
         "PAF line 1 coordinates disagree with cg:Z consumption"},
        {line_with({{13, "cg:Z:2=1X1=1D"}, {11, "5"}, {14, "NM:i:2"}}),
         "PAF line 1 coordinates disagree with cg:Z consumption"},
        {line_with({{14, "NM:i:2"}}), "PAF line 1 reports NM:i:2 but CIGAR and sources imply 1"},
        {line_with({{14, "NM:i:-1"}}), "PAF line 1 has invalid NM:i"},
        {line_with({{14, "NM:Z:1"}}), "PAF line 1 tag NM must use integer type i",
         AlignmentMode::edit_distance},
        {join(without_as), "PAF line 1 is missing AS:i"},
        {line_with({{15, "AS:i:five"}}), "PAF line 1 has invalid AS:i"},
        {line_with({{15, "AS:f:5"}}), "PAF line 1 tag AS must use integer type i"},
        {line_with({{14, "XS:i:1"}}), "PAF line 1 is missing NM:i", AlignmentMode::edit_distance},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const auto read = records_from_paf(c.line, problem_for(c.mode), queries, targets);
        ASSERT_FALSE(read.has_value());
        EXPECT_EQ(read.error(), c.error);
    }
}

TEST(RecordsFromPaf, NumbersOnlyNonBlankLines) {
    const std::string good = line_with({});
    const std::string other = join({"q2", "8", "0", "8", "+", "t2", "8", "0", "8", "8", "8", "255",
                                    "cg:Z:8M", "NM:i:0", "AS:i:16"});
    const std::string text = "\n  \n" + good + "\r\n\t\r\n" + other + "\n\n";
    const auto read = records_from_paf(text, linear, queries, targets);
    ASSERT_TRUE(read.has_value()) << read.error();
    ASSERT_EQ(read->size(), 2u);
    EXPECT_EQ((*read)[0].pair.index, 0u);
    EXPECT_EQ((*read)[0].pair.query.id, "q1");
    EXPECT_EQ((*read)[1].pair.index, 1u);
    EXPECT_EQ((*read)[1].pair.target.id, "t2");
    EXPECT_EQ((*read)[1].alignment.trace->cigar, cigar_of("8="));

    // The third non-blank line is line 3, and nothing read before it is returned.
    const auto bad =
        records_from_paf(text + " \n" + line_with({{5, "-"}}) + "\n", linear, queries, targets);
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(bad.error(), "PAF line 3 uses unsupported reverse strand");

    const auto none = records_from_paf("\n \r\n", linear, queries, targets);
    ASSERT_TRUE(none.has_value()) << none.error();
    EXPECT_TRUE(none->empty());
}

}  // namespace
}  // namespace rux_dp
