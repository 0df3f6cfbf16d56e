#include "rux_dp/sequence_io/sequence_source.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace rux_dp {
namespace {

struct NormalizeCase {
    std::string_view bytes, expected;
};
constexpr NormalizeCase normalize_cases[] = {
    {"", ""},
    {"acgt", "ACGT"},
    {"ac gt\tn", "ACGTN"},
    {"a\nc\rg\fT ", "ACGT"},
    {"ac-1*", "AC-1*"},
    {"xyz.AZ", "XYZ.AZ"},
    {"a\x0b"
     "b",
     "A\x0b"
     "B"},  // 0x0B is not a blank here
    {std::string_view("a\0b", 3), std::string_view("A\0B", 3)},
    {"`{@[", "`{@["},  // the neighbours of the letter ranges pass unchanged
};

TEST(NormalizeSequence, KnownCases) {
    for (const auto& c : normalize_cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.bytes)));
        auto normalized = normalize_sequence(c.bytes, "query");
        ASSERT_TRUE(normalized) << normalized.error();
        EXPECT_EQ(*normalized, c.expected);
    }
}

TEST(NormalizeSequence, NonAsciiByteFailsWithTheSourceName) {
    for (const std::string_view bytes : {"\xc3", "AC\x80",
                                         "\xff"
                                         "AC"}) {
        auto normalized = normalize_sequence(bytes, "target");
        ASSERT_FALSE(normalized);
        EXPECT_EQ(normalized.error(), "target sequence contains non-ASCII data");
    }
}

struct IdCase {
    std::string_view header;
    std::uint64_t number;
    std::string_view expected;
};
constexpr IdCase id_cases[] = {
    {"seq1 sample=4", 1, "seq1"},
    {"", 3, "record_3"},
    {" \t\r\f", 12, "record_12"},
    {"  lead\ttab", 1, "lead"},
    {"a\x0b"
     "b c",
     1,
     "a\x0b"
     "b"},
    {"r1", 18446744073709551615ull, "r1"},
    {"", 18446744073709551615ull, "record_18446744073709551615"},
};

TEST(ParseRecordId, KnownCases) {
    for (const auto& c : id_cases) {
        SCOPED_TRACE(std::string(c.header));
        EXPECT_EQ(parse_record_id(c.header, c.number), c.expected);
    }
}

struct RawIdCase {
    std::string_view path, expected;
};
constexpr RawIdCase raw_id_cases[] = {
    {"reads.txt", "reads"},
    {"reads.txt.gz", "reads"},
    {"dir/reads.gz", "reads"},
    {"dir.d/reads", "reads"},
    {"a.b.c", "a.b"},
    {"reads.GZ", "reads"},
    {"reads.gzip", "reads"},
    {"-", "-"},
    {"./-", "-"},
    {".gz", ".gz"},  // a leading "." starts no extension
    {".hidden", ".hidden"},
    {"dir/", "query"},  // no file name: the source name
    {"", "query"},
};

TEST(RawId, KnownCases) {
    for (const auto& c : raw_id_cases) {
        SCOPED_TRACE(std::string(c.path));
        EXPECT_EQ(raw_id(c.path, "query"), c.expected);
    }
}

}  // namespace
}  // namespace rux_dp
