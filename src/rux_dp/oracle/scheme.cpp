#include "rux_dp/oracle/scheme.hpp"

#include <memory>
#include <type_traits>

namespace rux_dp {

Result<SubstitutionScoring> substitution_internal(const SubstitutionScheme& scheme) {
    if (const auto* mm = std::get_if<MatchMismatchScheme>(&scheme))
        return SubstitutionScoring::match_mismatch(mm->match_score, mm->mismatch_penalty);
    if (std::holds_alternative<Blosum62Scheme>(scheme))
        return SubstitutionScoring::matrix(SubstitutionMatrix::blosum62());
    const auto& given = std::get<MatrixScheme>(scheme);
    std::vector<std::uint8_t> alphabet;
    alphabet.reserve(given.alphabet.size());
    for (const std::string& symbol : given.alphabet) {
        if (symbol.size() != 1 || static_cast<unsigned char>(symbol[0]) >= 0x80)
            return std::unexpected("matrix alphabet symbol '" + symbol +
                                   "' must be one ASCII character");
        alphabet.push_back(SubstitutionMatrix::ascii_upper(static_cast<std::uint8_t>(symbol[0])));
    }
    auto matrix = SubstitutionMatrix::make(given.name, alphabet, given.scores);
    if (!matrix) return std::unexpected(std::move(matrix).error());
    return SubstitutionScoring::matrix(
        std::make_shared<const SubstitutionMatrix>(std::move(*matrix)));
}

std::string_view scoring_kind_name(const ScoringScheme& scoring) {
    switch (scoring.index()) {
        case 0:
            return "edit-distance";
        case 1:
            return "linear";
        default:
            return "affine";
    }
}

bool scoring_fits_mode(AlignmentMode mode, const ScoringScheme& scoring) {
    switch (mode) {
        case AlignmentMode::edit_distance:
            return std::holds_alternative<EditDistanceScoring>(scoring);
        case AlignmentMode::global_affine:
            return std::holds_alternative<AffineScoring>(scoring);
        case AlignmentMode::global_linear:
        case AlignmentMode::local_linear:
        case AlignmentMode::semiglobal_linear:
            return std::holds_alternative<LinearScoring>(scoring);
    }
    return false;
}

}  // namespace rux_dp
