#include "rux_dp/alignment/cigar.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace rux_dp {
namespace {

constexpr std::uint64_t u64_max = ~std::uint64_t{0};

struct ParseCase {
    std::string_view text;
    std::string_view written;  // the text form of the parsed CIGAR, when it parses
    std::string_view error;    // the message, when it does not
};
constexpr ParseCase parse_cases[] = {
    {"", "", ""},
    {"*", "", ""},
    {"10=", "10=", ""},
    {"3=1X2I4D", "3=1X2I4D", ""},
    {"1=1=", "2=", ""},
    {"2=3=1X1X1X", "5=3X", ""},
    {"01=", "1=", ""},
    {"18446744073709551615D", "18446744073709551615D", ""},
    {"5M", "", "unsupported canonical CIGAR operation 'M'"},
    {"3=2S", "", "unsupported canonical CIGAR operation 'S'"},
    {"1H", "", "unsupported canonical CIGAR operation 'H'"},
    {"4N", "", "unsupported canonical CIGAR operation 'N'"},
    {"2P", "", "unsupported canonical CIGAR operation 'P'"},
    {"3=1x", "", "unsupported canonical CIGAR operation 'x'"},
    {"3\xC3\xA9", "", "unsupported canonical CIGAR operation '\xC3\xA9'"},
    {"=", "", "invalid CIGAR run before '='"},
    {"3=X", "", "invalid CIGAR run before 'X'"},
    {"0=", "", "invalid CIGAR run before '='"},
    {"00I", "", "invalid CIGAR run before 'I'"},
    {"3=0X", "", "invalid CIGAR run before 'X'"},
    {"-1=", "", "invalid CIGAR run before '-'"},
    {"3= 2X", "", "invalid CIGAR run before ' '"},
    {"1=*", "", "invalid CIGAR run before '*'"},
    {"**", "", "invalid CIGAR run before '*'"},
    {"\xC3\xA9"
     "1=",
     "", "invalid CIGAR run before '\xC3\xA9'"},
    {"12", "", "CIGAR ends with a length and no operation"},
    {"3=12", "", "CIGAR ends with a length and no operation"},
    {"999999999999999999999=", "", "CIGAR run length overflowed usize"},
    {"18446744073709551616=", "", "CIGAR run length overflowed usize"},
    {"18446744073709551615=1=", "", "CIGAR run length overflowed usize"},
};

TEST(Cigar, ParseTable) {
    for (const auto& c : parse_cases) {
        SCOPED_TRACE(std::string(c.text));
        const Result<Cigar> cigar = Cigar::parse(c.text);
        if (c.error.empty()) {
            ASSERT_TRUE(cigar.has_value()) << cigar.error();
            EXPECT_EQ(cigar->text(), c.written);
        } else {
            ASSERT_FALSE(cigar.has_value()) << cigar->text();
            EXPECT_EQ(cigar.error(), c.error);
        }
    }
}

TEST(Cigar, EmptyCigarWritesEmptyText) {
    const Result<Cigar> star = Cigar::parse("*");
    ASSERT_TRUE(star.has_value());
    EXPECT_TRUE(star->empty());
    EXPECT_EQ(star->text(), "");
    EXPECT_EQ(*star, Cigar{});
}

TEST(Cigar, MakeChecksEveryRunBeforeMerging) {
    // The zero run comes last and after a merge that would overflow: positivity is checked first.
    const Result<Cigar> zero = Cigar::make({{3, CigarOp::match}, {0, CigarOp::mismatch}});
    ASSERT_FALSE(zero.has_value());
    EXPECT_EQ(zero.error(), "CIGAR runs must be positive");
    const Result<Cigar> both =
        Cigar::make({{u64_max, CigarOp::match}, {1, CigarOp::match}, {0, CigarOp::deletion}});
    ASSERT_FALSE(both.has_value());
    EXPECT_EQ(both.error(), "CIGAR runs must be positive");

    const Result<Cigar> overflow = Cigar::make({{u64_max, CigarOp::match}, {1, CigarOp::match}});
    ASSERT_FALSE(overflow.has_value());
    EXPECT_EQ(overflow.error(), "CIGAR run length overflowed usize");
}

TEST(Cigar, MakeMergesAdjacentRuns) {
    const Result<Cigar> cigar = Cigar::make({{2, CigarOp::insertion},
                                             {3, CigarOp::insertion},
                                             {1, CigarOp::deletion},
                                             {u64_max - 1, CigarOp::match},
                                             {1, CigarOp::match}});
    ASSERT_TRUE(cigar.has_value());
    EXPECT_EQ(cigar->runs(),
              (std::vector<CigarRun>{
                  {5, CigarOp::insertion}, {1, CigarOp::deletion}, {u64_max, CigarOp::match}}));
    EXPECT_EQ(cigar->text(), "5I1D18446744073709551615=");
    const Result<Cigar> none = Cigar::make({});
    ASSERT_TRUE(none.has_value());
    EXPECT_TRUE(none->empty());
}

TEST(Cigar, PushRunWritesPlainDecimal) {
    std::string text = "7=";
    push_cigar_run(text, 12, CigarOp::deletion);
    push_cigar_run(text, 1, CigarOp::mismatch);
    push_cigar_run(text, u64_max, CigarOp::insertion);
    EXPECT_EQ(text, "7=12D1X18446744073709551615I");
    EXPECT_EQ(cigar_char(CigarOp::match), '=');
    EXPECT_EQ(cigar_char(CigarOp::mismatch), 'X');
    EXPECT_EQ(cigar_char(CigarOp::insertion), 'I');
    EXPECT_EQ(cigar_char(CigarOp::deletion), 'D');
}

TEST(Cigar, RandomRunsRoundTrip) {
    std::mt19937_64 rng(3);
    for (int rep = 0; rep < 200; ++rep) {
        std::vector<CigarRun> runs(rng() % 8);
        std::string text;
        for (CigarRun& run : runs) {
            run = {1 + rng() % 1000, static_cast<CigarOp>(rng() % 4)};
            text += std::to_string(run.length) + "=XID"[static_cast<int>(run.op)];
        }
        const Result<Cigar> made = Cigar::make(runs);
        const Result<Cigar> parsed = Cigar::parse(text);
        ASSERT_TRUE(made.has_value() && parsed.has_value()) << text;
        ASSERT_EQ(*made, *parsed) << text;
        ASSERT_EQ(Cigar::parse(made->text()).value(), *made) << text;
        for (std::size_t k = 1; k < made->runs().size(); ++k)
            ASSERT_NE(made->runs()[k].op, made->runs()[k - 1].op) << text;
    }
}

}  // namespace
}  // namespace rux_dp
