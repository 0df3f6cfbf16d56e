#include "rux_dp/alignment/trace.hpp"

#include "rux_dp/base/invariant.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace rux_dp {
namespace {

using Cells = std::vector<PathCell>;
using Op = AlignmentOpKind;

AlignmentStep pair_step(Op op, std::uint64_t i, std::uint64_t j, char32_t q, char32_t t) {
    return {.op = op, .query_pos = i, .target_pos = j, .query_base = q, .target_base = t};
}
AlignmentStep insertion(std::uint64_t i, char32_t q) {
    return {.op = Op::insertion,
            .query_pos = i,
            .target_pos = std::nullopt,
            .query_base = q,
            .target_base = std::nullopt};
}
AlignmentStep deletion(std::uint64_t j, char32_t t) {
    return {.op = Op::deletion,
            .query_pos = std::nullopt,
            .target_pos = j,
            .query_base = std::nullopt,
            .target_base = t};
}

TEST(AlignmentTrace, WorkedExample) {
    const Cells cells{{0, 0}, {1, 1}, {2, 1}, {3, 2}, {4, 3}};
    const AlignmentTrace trace = AlignmentTrace::from_cells("ACGT", "AGT", cells);
    EXPECT_EQ(trace.cigar, "1=1I2=");
    EXPECT_EQ(trace.operations, (std::vector<AlignmentStep>{
                                    pair_step(Op::match, 0, 0, 'A', 'A'),
                                    insertion(1, 'C'),
                                    pair_step(Op::match, 2, 1, 'G', 'G'),
                                    pair_step(Op::match, 3, 2, 'T', 'T'),
                                }));
    EXPECT_EQ(trace.query_span, (SpanPair{0, 4}));
    EXPECT_EQ(trace.target_span, (SpanPair{0, 3}));
}

TEST(AlignmentTrace, EmptyAndSingleCellPaths) {
    EXPECT_EQ(AlignmentTrace::from_cells("ACGT", "AGT", {}), AlignmentTrace{});
    const Cells one{{3, 2}};
    const AlignmentTrace trace = AlignmentTrace::from_cells("ACGT", "AGT", one);
    EXPECT_EQ(trace.cigar, "");
    EXPECT_TRUE(trace.operations.empty());
    EXPECT_EQ(trace.query_span, (SpanPair{3, 3}));
    EXPECT_EQ(trace.target_span, (SpanPair{2, 2}));
}

TEST(AlignmentTrace, PathStartingInsideTheTable) {
    const Cells cells{{2, 5}, {3, 6}, {3, 7}, {4, 8}, {5, 9}};
    const AlignmentTrace trace = AlignmentTrace::from_cells("GGACG", "TTTTTAGCCG", cells);
    EXPECT_EQ(trace.query_span, (SpanPair{2, 5}));
    EXPECT_EQ(trace.target_span, (SpanPair{5, 9}));
    ASSERT_EQ(trace.operations.size(), 4u);
    EXPECT_EQ(trace.operations[0], pair_step(Op::match, 2, 5, 'A', 'A'));
    EXPECT_EQ(trace.operations[1], deletion(6, 'G'));
    EXPECT_EQ(trace.operations[2], pair_step(Op::match, 3, 7, 'C', 'C'));
    EXPECT_EQ(trace.operations[3], pair_step(Op::mismatch, 4, 8, 'G', 'C'));
    EXPECT_EQ(trace.cigar, "1=1D1=1X");
}

TEST(AlignmentTrace, RunsAreEncodedWithMultiDigitLengths) {
    const std::string q = "AAAAAAAAAAAAC";
    const std::string t = "AAAAAAAAAAAAGTT";
    Cells cells;
    for (std::uint64_t k = 0; k <= q.size(); ++k)
        cells.emplace_back(k, k);
    cells.emplace_back(13, 14);
    cells.emplace_back(13, 15);
    EXPECT_EQ(AlignmentTrace::from_cells(q, t, cells).cigar, "12=1X2D");
}

TEST(AlignmentTrace, NonAsciiBytesBecomeReplacementCharacters) {
    const std::string q = {'\x80', 'A'};
    const std::string t = {'\xff', 'a'};
    const Cells cells{{0, 0}, {1, 1}, {2, 2}};
    const AlignmentTrace trace = AlignmentTrace::from_cells(q, t, cells);
    ASSERT_EQ(trace.operations.size(), 2u);
    // Bases are compared as the characters the steps hold.
    EXPECT_EQ(trace.operations[0], pair_step(Op::match, 0, 0, U'\uFFFD', U'\uFFFD'));
    EXPECT_EQ(trace.operations[1], pair_step(Op::mismatch, 1, 1, 'A', 'a'));
    EXPECT_EQ(trace.cigar, "1=1X");
}

TEST(AlignmentTrace, MalformedPathsBreakInvariants) {
    struct BadPath {
        std::string_view query, target;
        Cells cells;
        std::string_view message;
    };
    const BadPath cases[] = {
        {"AC", "AC", {{1, 1}, {0, 0}}, "alignment path rows must be monotone"},
        {"AC", "AC", {{0, 1}, {1, 0}}, "alignment path columns must be monotone"},
        {"AC", "AC", {{0, 0}, {1, 1}, {1, 1}}, "alignment path contains a non-unit move"},
        {"AC", "AC", {{0, 0}, {0, 2}}, "alignment path contains a non-unit move"},
        {"AC", "AC", {{0, 0}, {2, 0}}, "alignment path contains a non-unit move"},
        {"AC", "AC", {{0, 0}, {1, 2}}, "alignment path contains a non-unit move"},
        {"AC", "AC", {{0, 0}, {2, 2}}, "alignment path contains a non-unit move"},
        {"A", "A", {{0, 1}, {0, 2}}, "target path coordinate out of bounds"},
        {"A", "A", {{1, 0}, {2, 0}}, "query path coordinate out of bounds"},
        // A diagonal move checks the query position before the target position.
        {"A", "A", {{1, 1}, {2, 2}}, "query path coordinate out of bounds"},
        {"AA", "A", {{1, 1}, {2, 2}}, "target path coordinate out of bounds"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.message));
        try {
            (void)AlignmentTrace::from_cells(c.query, c.target, c.cells);
            ADD_FAILURE() << "no invariant violation";
        } catch (const InvariantViolation& e) {
            EXPECT_EQ(std::string_view(e.what()), c.message);
        }
    }
}

TEST(AlignmentTrace, OperationNames) {
    EXPECT_EQ(op_kind_name(Op::match), "match");
    EXPECT_EQ(op_kind_name(Op::mismatch), "mismatch");
    EXPECT_EQ(op_kind_name(Op::insertion), "insertion");
    EXPECT_EQ(op_kind_name(Op::deletion), "deletion");
}

}  // namespace
}  // namespace rux_dp
