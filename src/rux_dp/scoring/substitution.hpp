#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "rux_dp/base/result.hpp"

namespace rux_dp {

/// A square substitution matrix over an upper-cased alphabet; lower-case symbols are found through
/// upper-casing at lookup time. Row = query symbol, column = target symbol.
struct SubstitutionMatrix {
    std::string name;
    std::vector<std::uint8_t> alphabet;
    std::array<std::optional<std::uint8_t>, 256> lookup{};
    std::vector<std::int32_t> scores;  // row-major, alphabet.size() squared

    /// Validates and builds a matrix; `rows` must be square over `alphabet`.
    [[nodiscard]] static Result<SubstitutionMatrix> make(
        std::string name, const std::vector<std::uint8_t>& alphabet,
        const std::vector<std::vector<std::int32_t>>& rows);
    /// The built-in BLOSUM62 over "ARNDCQEGHILKMFPSTWYVBZX*" (shared, built once).
    static std::shared_ptr<const SubstitutionMatrix> blosum62();

    std::size_t size() const { return alphabet.size(); }
    /// The alphabet index of `symbol` upper-cased, or -1.
    int index_of(std::uint8_t symbol) const {
        const auto& entry = lookup[ascii_upper(symbol)];
        return entry ? static_cast<int>(*entry) : -1;
    }
    bool contains(std::uint8_t symbol) const { return index_of(symbol) >= 0; }

    static std::uint8_t ascii_upper(std::uint8_t b) {
        return (b >= 'a' && b <= 'z') ? static_cast<std::uint8_t>(b - 'a' + 'A') : b;
    }

    bool operator==(const SubstitutionMatrix&) const = default;
};

/// A symbol that a matrix does not contain.
struct MatrixSymbolError {
    std::string matrix_name;
    std::uint8_t symbol = 0;
    /// "substitution matrix '{}' does not contain symbol '{}'".
    std::string text() const;
};

/// A symbol as shown in messages: itself when printable (33..126), else "?".
std::string display_symbol(std::uint8_t symbol);

/// The substitution side of a score-based scoring: match/mismatch or a matrix (shared, not copied).
class SubstitutionScoring {
public:
    struct MatchMismatch {
        std::int32_t match_score = 0;
        std::int32_t mismatch_penalty = 0;  // positive; subtracted
    };

    static SubstitutionScoring match_mismatch(std::int32_t match_score,
                                              std::int32_t mismatch_penalty);
    static SubstitutionScoring matrix(std::shared_ptr<const SubstitutionMatrix> matrix);

    bool is_matrix() const { return matrix_ != nullptr; }
    const MatchMismatch& match_mismatch_values() const { return mm_; }
    const SubstitutionMatrix* matrix_ptr() const { return matrix_.get(); }

    /// Score of query symbol `a` against target symbol `b`. A matrix symbol outside the alphabet is
    /// an invariant violation (callers check membership first).
    std::int32_t score(std::uint8_t a, std::uint8_t b) const {
        if (!matrix_) return a == b ? mm_.match_score : mismatch_score_;
        const int r = matrix_->index_of(a);
        const int c = matrix_->index_of(b);
        if (r < 0 || c < 0) missing_pair(a, b);
        return matrix_->scores[static_cast<std::size_t>(r) * matrix_->size() +
                               static_cast<std::size_t>(c)];
    }
    std::int32_t score(char a, char b) const {
        return score(static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b));
    }

    /// Whether every byte value `symbol` is scored by this model.
    bool contains(std::uint8_t symbol) const { return !matrix_ || matrix_->contains(symbol); }
    /// The first symbol of `sequence` outside the model, if any.
    std::optional<MatrixSymbolError> first_missing(std::string_view sequence) const;

    /// The largest absolute value any pair can score (for overflow bounds).
    std::int64_t max_abs_score() const;

private:
    [[noreturn]] void missing_pair(std::uint8_t a, std::uint8_t b) const;

    MatchMismatch mm_{};
    std::int32_t mismatch_score_ = 0;  // -mismatch_penalty, wrapping for INT32_MIN
    std::shared_ptr<const SubstitutionMatrix> matrix_;
};

}  // namespace rux_dp
