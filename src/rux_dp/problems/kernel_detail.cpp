#include "rux_dp/problems/kernel_detail.hpp"

#include "rux_dp/base/invariant.hpp"
#include "rux_dp/problems/linear_rows_detail.hpp"
#include "rux_dp/problems/nw_align.hpp"

#include <algorithm>
#include <limits>
#include <string>

namespace rux_dp::detail {

bool same_scoring(const SubstitutionScoring& a, const SubstitutionScoring& b) {
    if (a.is_matrix() != b.is_matrix())
        return false;
    if (a.is_matrix())
        return a.matrix_ptr() == b.matrix_ptr() || *a.matrix_ptr() == *b.matrix_ptr();
    const auto& x = a.match_mismatch_values();
    const auto& y = b.match_mismatch_values();
    return x.match_score == y.match_score && x.mismatch_penalty == y.mismatch_penalty;
}

SubstitutionRows::SubstitutionRows(const SubstitutionScoring& scoring, std::string_view target)
    : scoring_(&scoring), target_(target) {
    if (const SubstitutionMatrix* matrix = scoring.matrix_ptr()) {
        columns_.resize(target.size());
        for (std::size_t j = 0; j < target.size(); ++j) {
            columns_[j] = matrix->index_of(static_cast<std::uint8_t>(target[j]));
            if (columns_[j] < 0)
                all_members_ = false;
        }
    }
}

void SubstitutionRows::fill(char query_symbol, std::int32_t* out, std::size_t begin,
                            std::size_t end) const {
    const std::size_t n = end - begin;
    const char* target = target_.data() + begin;
    const SubstitutionMatrix* matrix = scoring_->matrix_ptr();
    if (matrix == nullptr) {
        const auto& mm = scoring_->match_mismatch_values();
        const std::int32_t match = mm.match_score;
        // The negated penalty, as the model scores it (wrapping for the one unrepresentable value).
        const std::int32_t mismatch =
            static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(mm.mismatch_penalty));
        for (std::size_t j = 0; j < n; ++j)
            out[j] = target[j] == query_symbol ? match : mismatch;
        return;
    }
    const int row = matrix->index_of(static_cast<std::uint8_t>(query_symbol));
    if (row < 0 || !all_members_) {
        // A symbol outside the matrix: the model itself raises the violation for the first pair.
        for (std::size_t j = 0; j < n; ++j)
            out[j] = scoring_->score(query_symbol, target[j]);
        return;
    }
    const std::int32_t* scores =
        matrix->scores.data() + static_cast<std::size_t>(row) * matrix->size();
    const int* columns = columns_.data() + begin;
    for (std::size_t j = 0; j < n; ++j)
        out[j] = scores[columns[j]];
}

std::vector<PathCell> linear_rectangle_path(const SubstitutionScoring& scoring,
                                            std::string_view query, std::string_view target,
                                            std::int32_t gap, PathCell start, PathCell end,
                                            const char* no_horizontal) {
    const std::size_t h = end.first - start.first;
    const std::size_t w = end.second - start.second;
    const std::string_view q = query.substr(start.first, h);
    const std::string_view t = target.substr(start.second, w);
    const std::size_t width = w + 1;

    std::vector<std::int32_t> table((h + 1) * width);
    table[0] = 0;
    for (std::size_t j = 1; j <= w; ++j)
        table[j] = wrap_add(table[j - 1], gap);
    std::vector<std::int32_t> row(table.begin(),
                                  table.begin() + static_cast<std::ptrdiff_t>(width));
    advance_linear_rows(row, q, t, scoring, gap, LinearStart::global_origin, table.data() + width);

    std::vector<PathCell> path;
    path.reserve(h + w + 1);
    std::size_t i = h;
    std::size_t j = w;
    path.emplace_back(start.first + i, start.second + j);
    while (i > 0 || j > 0) {
        const std::int32_t value = table[i * width + j];
        if (i > 0 && j > 0
            && value
                   == wrap_add(table[(i - 1) * width + j - 1], scoring.score(q[i - 1], t[j - 1]))) {
            --i;
            --j;
        } else if (i > 0 && value == wrap_add(table[(i - 1) * width + j], gap)) {
            --i;
        } else {
            invariant(j > 0, no_horizontal);
            --j;
        }
        path.emplace_back(start.first + i, start.second + j);
    }
    std::reverse(path.begin(), path.end());
    return path;
}

std::uint64_t linear_split_column(const SubstitutionScoring& scoring, std::string_view query,
                                  std::string_view target, std::int32_t gap, std::uint64_t a,
                                  std::uint64_t mid, std::uint64_t c, std::uint64_t c0,
                                  std::uint64_t c1) {
    const std::uint64_t w = c1 - c0;
    const std::string_view t = target.substr(c0, w);
    const std::vector<std::int32_t> forward =
        nw_last_row(query.substr(a, mid - a), t, scoring, gap);
    const std::string_view rest = query.substr(mid, c - mid);
    const std::string reversed_query(rest.rbegin(), rest.rend());
    const std::string reversed_target(t.rbegin(), t.rend());
    const std::vector<std::int32_t> backward =
        nw_last_row(reversed_query, reversed_target, scoring, gap);

    std::int32_t best = std::numeric_limits<std::int32_t>::min();
    std::uint64_t best_k = 0;
    for (std::uint64_t k = 0; k <= w; ++k) {
        const std::int32_t total = wrap_add(forward[k], backward[w - k]);
        // Strictly greater: the first optimal column wins.
        if (total > best) {
            best = total;
            best_k = k;
        }
    }
    return c0 + best_k;
}

}  // namespace rux_dp::detail
