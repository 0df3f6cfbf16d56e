#include "rux_dp/scoring/substitution.hpp"

#include "rux_dp/base/invariant.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace rux_dp {
namespace {

using Rows = std::vector<std::vector<std::int32_t>>;
using Alphabet = std::vector<std::uint8_t>;

constexpr std::string_view blosum62_symbols = "ARNDCQEGHILKMFPSTWYVBZX*";

TEST(SubstitutionScoring, MatchMismatch) {
    const auto s = SubstitutionScoring::match_mismatch(2, 3);
    EXPECT_FALSE(s.is_matrix());
    EXPECT_EQ(s.score('A', 'A'), 2);
    EXPECT_EQ(s.score('A', 'C'), -3);
    // Exact byte comparison: no case folding in this model.
    EXPECT_EQ(s.score('a', 'A'), -3);
    for (int b = 0; b < 256; ++b)
        EXPECT_TRUE(s.contains(static_cast<std::uint8_t>(b)));
    EXPECT_FALSE(s.first_missing(std::string("J\0\xff", 3)).has_value());
}

TEST(SubstitutionScoring, ExtremeMismatchPenaltyDoesNotOverflow) {
    constexpr std::int32_t low = std::numeric_limits<std::int32_t>::min();
    constexpr std::int32_t high = std::numeric_limits<std::int32_t>::max();
    EXPECT_EQ(SubstitutionScoring::match_mismatch(0, high).score('A', 'C'), -high);
    // The negation of INT32_MIN wraps to itself instead of being undefined.
    EXPECT_EQ(SubstitutionScoring::match_mismatch(0, low).score('A', 'C'), low);
    EXPECT_EQ(SubstitutionScoring::match_mismatch(0, -4).score('A', 'C'), 4);
}

TEST(SubstitutionMatrix, Blosum62) {
    const auto m = SubstitutionMatrix::blosum62();
    EXPECT_EQ(m->name, "BLOSUM62");
    EXPECT_EQ(std::string(m->alphabet.begin(), m->alphabet.end()), blosum62_symbols);
    const auto s = SubstitutionScoring::matrix(m);
    EXPECT_TRUE(s.is_matrix());

    struct Spot {
        char q, t;
        std::int32_t score;
    };
    constexpr Spot spots[] = {
        {'A', 'A', 4},  {'W', 'W', 11}, {'C', 'C', 9},  {'A', 'R', -1}, {'W', 'C', -2},
        {'X', 'X', -1}, {'*', '*', 1},  {'H', 'Y', 2},  {'D', 'B', 4},  {'E', 'Z', 4},
        {'I', 'V', 3},  {'G', 'I', -4}, {'P', 'F', -4}, {'S', 'A', 1},  {'N', 'D', 1},
        {'w', 'W', 11}, {'a', 'r', -1},
    };
    for (const auto& spot : spots)
        EXPECT_EQ(s.score(spot.q, spot.t), spot.score) << spot.q << "/" << spot.t;

    constexpr std::int32_t diagonal[] = {4, 5, 6, 6, 9, 5,  5, 6, 8, 4, 4,  5,
                                         5, 6, 7, 4, 5, 11, 7, 4, 4, 4, -1, 1};
    for (std::size_t r = 0; r < blosum62_symbols.size(); ++r) {
        const char a = blosum62_symbols[r];
        EXPECT_EQ(s.score(a, a), diagonal[r]) << a;
        for (const char b : blosum62_symbols) {
            EXPECT_EQ(s.score(a, b), s.score(b, a)) << a << "/" << b;
            if (a != '*' && b == '*') {
                EXPECT_EQ(s.score(a, b), -4) << a;
            }
        }
    }
}

TEST(SubstitutionMatrix, Blosum62Membership) {
    const auto s = SubstitutionScoring::matrix(SubstitutionMatrix::blosum62());
    for (const char c : std::string_view("ARNDCQEGHILKMFPSTWYVBZX*arndcqeghilkmfpstwyvbzx"))
        EXPECT_TRUE(s.contains(static_cast<std::uint8_t>(c))) << c;
    for (const char c : std::string_view("JOUjou-. 0\n"))
        EXPECT_FALSE(s.contains(static_cast<std::uint8_t>(c))) << c;

    const auto missing = s.first_missing("ACDJOU");
    ASSERT_TRUE(missing.has_value());
    EXPECT_EQ(missing->matrix_name, "BLOSUM62");
    EXPECT_EQ(missing->symbol, 'J');
    EXPECT_EQ("query: " + missing->text(),
              "query: substitution matrix 'BLOSUM62' does not contain symbol 'J'");
    EXPECT_FALSE(s.first_missing("acdw*").has_value());
}

TEST(SubstitutionMatrix, SymbolErrorShowsUnprintableBytesAsQuestionMarks) {
    struct Shown {
        std::uint8_t symbol;
        std::string_view text;
    };
    constexpr Shown cases[] = {
        {'!', "substitution matrix 'M' does not contain symbol '!'"},
        {'~', "substitution matrix 'M' does not contain symbol '~'"},
        {' ', "substitution matrix 'M' does not contain symbol '?'"},
        {0x7f, "substitution matrix 'M' does not contain symbol '?'"},
        {0x01, "substitution matrix 'M' does not contain symbol '?'"},
        {0xc3, "substitution matrix 'M' does not contain symbol '?'"},
    };
    for (const auto& c : cases)
        EXPECT_EQ((MatrixSymbolError{"M", c.symbol}.text()), c.text) << int{c.symbol};
}

TEST(SubstitutionMatrix, ValidationMessagesInOrder) {
    struct Invalid {
        Alphabet alphabet;
        Rows rows;
        std::string_view error;
    };
    const Invalid cases[] = {
        {{}, {}, "substitution matrix alphabet must not be empty"},
        {{}, {{1}}, "substitution matrix alphabet must not be empty"},
        {{'A', 'C'},
         {{1, 0}, {0, 1}, {0, 0}},
         "substitution matrix must have one row per alphabet symbol"},
        {{'A', 'C'}, {{1, 0}}, "substitution matrix must have one row per alphabet symbol"},
        {{'A', 'C'}, {{1, 0}, {0, 1, 2}}, "substitution matrix must be square"},
        {{'A', 'C'}, {{1}, {0, 1}}, "substitution matrix must be square"},
        // Shape is checked before the symbols.
        {{'A', 'A'}, {{1, 0}, {0}}, "substitution matrix must be square"},
        {{'A', 'a'}, {{1, 0}, {0, 1}}, "duplicate substitution matrix symbol 'A'"},
        {{'c', 'G', 'C'},
         {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
         "duplicate substitution matrix symbol 'C'"},
        {{' ', 'A', ' '},
         {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
         "duplicate substitution matrix symbol '?'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.error));
        const auto m = SubstitutionMatrix::make("custom", c.alphabet, c.rows);
        ASSERT_FALSE(m.has_value());
        EXPECT_EQ(m.error(), c.error);
    }
}

TEST(SubstitutionMatrix, CustomMatrixIsUpperCasedAndMayBeAsymmetric) {
    constexpr std::int32_t low = std::numeric_limits<std::int32_t>::min();
    constexpr std::int32_t high = std::numeric_limits<std::int32_t>::max();
    // A space and a control byte are ordinary symbols.
    const auto m =
        SubstitutionMatrix::make("tiny", {'a', 'B', ' ', 0x01},
                                 {{1, 2, 0, 0}, {3, 4, 0, 0}, {0, 0, low, 0}, {0, 0, 0, high}});
    ASSERT_TRUE(m.has_value()) << m.error();
    EXPECT_EQ(m->alphabet, (Alphabet{'A', 'B', ' ', 0x01}));
    EXPECT_EQ(m->scores.size(), 16u);
    // Only upper-cased symbols have lookup entries.
    EXPECT_EQ(m->lookup['A'], std::optional<std::uint8_t>(0));
    EXPECT_FALSE(m->lookup['a'].has_value());
    EXPECT_FALSE(m->lookup['b'].has_value());

    const auto s = SubstitutionScoring::matrix(std::make_shared<const SubstitutionMatrix>(*m));
    // The query symbol selects the row, the target symbol the column.
    EXPECT_EQ(s.score('A', 'B'), 2);
    EXPECT_EQ(s.score('B', 'A'), 3);
    EXPECT_EQ(s.score('b', 'a'), 3);
    EXPECT_EQ(s.score(' ', ' '), low);
    EXPECT_EQ(s.score(std::uint8_t{1}, std::uint8_t{1}), high);
    EXPECT_TRUE(s.contains('a'));
    EXPECT_FALSE(s.contains('C'));
}

TEST(SubstitutionMatrix, ScoringOutsideTheMatrixBreaksAnInvariant) {
    const auto m = SubstitutionMatrix::make("tiny", {'A', 'C'}, {{1, -1}, {-1, 1}});
    ASSERT_TRUE(m.has_value());
    const auto s = SubstitutionScoring::matrix(std::make_shared<const SubstitutionMatrix>(*m));
    struct Pair {
        std::uint8_t q, t;
        std::string_view message;
    };
    constexpr Pair cases[] = {
        {'A', 'Z', "substitution matrix 'tiny' does not contain symbol pair 'A'/'Z'"},
        {'J', 'c', "substitution matrix 'tiny' does not contain symbol pair 'J'/'c'"},
        {'\t', 0xff, "substitution matrix 'tiny' does not contain symbol pair '?'/'?'"},
    };
    for (const auto& c : cases) {
        try {
            (void)s.score(c.q, c.t);
            ADD_FAILURE() << "no invariant violation for " << c.message;
        } catch (const InvariantViolation& e) {
            EXPECT_EQ(std::string_view(e.what()), c.message);
        }
    }
}

}  // namespace
}  // namespace rux_dp
