#include "rux_dp/scoring/substitution.hpp"

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "rux_dp/base/invariant.hpp"

namespace rux_dp {

namespace {

constexpr std::string_view blosum62_alphabet = "ARNDCQEGHILKMFPSTWYVBZX*";

// BLOSUM62 (Henikoff & Henikoff 1992) over the alphabet above, row-major.
constexpr std::int32_t blosum62_scores[24][24] = {
    {4, -1, -2, -2, 0, -1, -1, 0, -2, -1, -1, -1, -1, -2, -1, 1, 0, -3, -2, 0, -2, -1, 0, -4},
    {-1, 5, 0, -2, -3, 1, 0, -2, 0, -3, -2, 2, -1, -3, -2, -1, -1, -3, -2, -3, -1, 0, -1, -4},
    {-2, 0, 6, 1, -3, 0, 0, 0, 1, -3, -3, 0, -2, -3, -2, 1, 0, -4, -2, -3, 3, 0, -1, -4},
    {-2, -2, 1, 6, -3, 0, 2, -1, -1, -3, -4, -1, -3, -3, -1, 0, -1, -4, -3, -3, 4, 1, -1, -4},
    {0, -3, -3, -3, 9, -3, -4, -3, -3, -1, -1, -3, -1, -2, -3, -1, -1, -2, -2, -1, -3, -3, -2, -4},
    {-1, 1, 0, 0, -3, 5, 2, -2, 0, -3, -2, 1, 0, -3, -1, 0, -1, -2, -1, -2, 0, 3, -1, -4},
    {-1, 0, 0, 2, -4, 2, 5, -2, 0, -3, -3, 1, -2, -3, -1, 0, -1, -3, -2, -2, 1, 4, -1, -4},
    {0, -2, 0, -1, -3, -2, -2, 6, -2, -4, -4, -2, -3, -3, -2, 0, -2, -2, -3, -3, -1, -2, -1, -4},
    {-2, 0, 1, -1, -3, 0, 0, -2, 8, -3, -3, -1, -2, -1, -2, -1, -2, -2, 2, -3, 0, 0, -1, -4},
    {-1, -3, -3, -3, -1, -3, -3, -4, -3, 4, 2, -3, 1, 0, -3, -2, -1, -3, -1, 3, -3, -3, -1, -4},
    {-1, -2, -3, -4, -1, -2, -3, -4, -3, 2, 4, -2, 2, 0, -3, -2, -1, -2, -1, 1, -4, -3, -1, -4},
    {-1, 2, 0, -1, -3, 1, 1, -2, -1, -3, -2, 5, -1, -3, -1, 0, -1, -3, -2, -2, 0, 1, -1, -4},
    {-1, -1, -2, -3, -1, 0, -2, -3, -2, 1, 2, -1, 5, 0, -2, -1, -1, -1, -1, 1, -3, -1, -1, -4},
    {-2, -3, -3, -3, -2, -3, -3, -3, -1, 0, 0, -3, 0, 6, -4, -2, -2, 1, 3, -1, -3, -3, -1, -4},
    {-1, -2, -2, -1, -3, -1, -1, -2, -2, -3, -3, -1, -2, -4, 7, -1, -1, -4, -3, -2, -2, -1, -2, -4},
    {1, -1, 1, 0, -1, 0, 0, 0, -1, -2, -2, 0, -1, -2, -1, 4, 1, -3, -2, -2, 0, 0, 0, -4},
    {0, -1, 0, -1, -1, -1, -1, -2, -2, -1, -1, -1, -1, -2, -1, 1, 5, -2, -2, 0, -1, -1, 0, -4},
    {-3, -3, -4, -4, -2, -2, -3, -2, -2, -3, -2, -3, -1, 1, -4, -3, -2, 11, 2, -3, -4, -3, -2, -4},
    {-2, -2, -2, -3, -2, -1, -2, -3, 2, -1, -1, -2, -1, 3, -3, -2, -2, 2, 7, -1, -3, -2, -1, -4},
    {0, -3, -3, -3, -1, -2, -2, -3, -3, 3, 1, -2, 1, -1, -2, -2, 0, -3, -1, 4, -3, -2, -1, -4},
    {-2, -1, 3, 4, -3, 0, 1, -1, 0, -3, -4, 0, -3, -3, -2, 0, -1, -4, -3, -3, 4, 1, -1, -4},
    {-1, 0, 0, 1, -3, 3, 4, -2, 0, -3, -3, 1, -1, -3, -1, 0, -1, -3, -2, -2, 1, 4, -1, -4},
    {0, -1, -1, -1, -2, -1, -1, -1, -1, -1, -1, -1, -1, -1, -2, 0, 0, -2, -1, -1, -1, -1, -1, -4},
    {-4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, 1},
};

}  // namespace

std::string display_symbol(std::uint8_t symbol) {
    if (symbol >= 33 && symbol <= 126) return std::string(1, static_cast<char>(symbol));
    return "?";
}

std::string MatrixSymbolError::text() const {
    return "substitution matrix '" + matrix_name + "' does not contain symbol '" +
           display_symbol(symbol) + "'";
}

Result<SubstitutionMatrix> SubstitutionMatrix::make(
    std::string name, const std::vector<std::uint8_t>& alphabet,
    const std::vector<std::vector<std::int32_t>>& rows) {
    if (alphabet.empty()) return std::unexpected("substitution matrix alphabet must not be empty");
    if (rows.size() != alphabet.size())
        return std::unexpected("substitution matrix must have one row per alphabet symbol");
    for (const auto& row : rows) {
        if (row.size() != alphabet.size())
            return std::unexpected("substitution matrix must be square");
    }
    SubstitutionMatrix matrix;
    matrix.name = std::move(name);
    matrix.alphabet.reserve(alphabet.size());
    for (std::size_t k = 0; k < alphabet.size(); ++k) {
        const std::uint8_t upper = ascii_upper(alphabet[k]);
        if (matrix.lookup[upper])
            return std::unexpected("duplicate substitution matrix symbol '" +
                                   display_symbol(upper) + "'");
        matrix.lookup[upper] = static_cast<std::uint8_t>(k);
        matrix.alphabet.push_back(upper);
    }
    // An alphabet of more than 256 distinct bytes cannot exist, so the index fits a byte.
    matrix.scores.reserve(alphabet.size() * alphabet.size());
    for (const auto& row : rows) matrix.scores.insert(matrix.scores.end(), row.begin(), row.end());
    return matrix;
}

std::shared_ptr<const SubstitutionMatrix> SubstitutionMatrix::blosum62() {
    static const std::shared_ptr<const SubstitutionMatrix> built = [] {
        std::vector<std::uint8_t> alphabet(blosum62_alphabet.begin(), blosum62_alphabet.end());
        std::vector<std::vector<std::int32_t>> rows;
        for (const auto& row : blosum62_scores) rows.emplace_back(std::begin(row), std::end(row));
        auto matrix = make("BLOSUM62", alphabet, rows);
        invariant(matrix.has_value(), "built-in BLOSUM62 matrix must be valid");
        return std::make_shared<const SubstitutionMatrix>(std::move(*matrix));
    }();
    return built;
}

SubstitutionScoring SubstitutionScoring::match_mismatch(std::int32_t match_score,
                                                        std::int32_t mismatch_penalty) {
    SubstitutionScoring s;
    s.mm_ = {match_score, mismatch_penalty};
    // Negated once here, in unsigned arithmetic: a record may carry INT32_MIN, whose plain
    // negation is undefined; it wraps to itself.
    s.mismatch_score_ =
        static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(mismatch_penalty));
    return s;
}

SubstitutionScoring SubstitutionScoring::matrix(std::shared_ptr<const SubstitutionMatrix> matrix) {
    invariant(matrix != nullptr, "substitution matrix must be present");
    SubstitutionScoring s;
    s.matrix_ = std::move(matrix);
    return s;
}

std::optional<MatrixSymbolError> SubstitutionScoring::first_missing(
    std::string_view sequence) const {
    if (!matrix_) return std::nullopt;
    for (const char c : sequence) {
        const auto b = static_cast<std::uint8_t>(c);
        if (!matrix_->contains(b)) return MatrixSymbolError{matrix_->name, b};
    }
    return std::nullopt;
}

std::int64_t SubstitutionScoring::max_abs_score() const {
    if (!matrix_) {
        return std::max(std::llabs(mm_.match_score), std::llabs(mm_.mismatch_penalty));
    }
    std::int64_t best = 0;
    for (const std::int32_t s : matrix_->scores) best = std::max<std::int64_t>(best, std::llabs(s));
    return best;
}

void SubstitutionScoring::missing_pair(std::uint8_t a, std::uint8_t b) const {
    throw InvariantViolation("substitution matrix '" + matrix_->name +
                             "' does not contain symbol pair '" + display_symbol(a) + "'/'" +
                             display_symbol(b) + "'");
}

}  // namespace rux_dp
