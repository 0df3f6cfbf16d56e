#include "rux_dp/problems/kernel_detail.hpp"

#include "rux_dp/base/invariant.hpp"
#include "rux_dp/problems/linear_rows_detail.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

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

template <class T>
void SubstitutionRows::fill(char query_symbol, T* out, std::size_t begin, std::size_t end) const {
    const std::size_t n = end - begin;
    const char* target = target_.data() + begin;
    const SubstitutionMatrix* matrix = scoring_->matrix_ptr();
    if (matrix == nullptr) {
        const auto& mm = scoring_->match_mismatch_values();
        const auto match = static_cast<T>(mm.match_score);
        // The negated penalty, as the model scores it (wrapping for the one unrepresentable value).
        const auto mismatch = static_cast<T>(
            static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(mm.mismatch_penalty)));
        T* __restrict dst = out;
        const char* __restrict src = target;
        for (std::size_t j = 0; j < n; ++j)
            dst[j] = src[j] == query_symbol ? match : mismatch;
        return;
    }
    const int row = matrix->index_of(static_cast<std::uint8_t>(query_symbol));
    if (row < 0 || !all_members_) {
        // A symbol outside the matrix: the model itself raises the violation for the first pair.
        for (std::size_t j = 0; j < n; ++j)
            out[j] = static_cast<T>(scoring_->score(query_symbol, target[j]));
        return;
    }
    const std::int32_t* scores =
        matrix->scores.data() + static_cast<std::size_t>(row) * matrix->size();
    const int* columns = columns_.data() + begin;
    for (std::size_t j = 0; j < n; ++j)
        out[j] = static_cast<T>(scores[columns[j]]);
}

template void SubstitutionRows::fill(char, std::int16_t*, std::size_t, std::size_t) const;
template void SubstitutionRows::fill(char, std::int32_t*, std::size_t, std::size_t) const;

namespace {

// Buffers of the leaf tables and split searches, kept per thread between calls so that the many
// small ones of a short pair do not allocate; a larger one has its own for the call.
constexpr std::size_t kKeptElements = std::size_t{1} << 14;

struct LinearBuffers {
    std::vector<std::int32_t> table, forward, backward;
    std::string query, target;
};

LinearBuffers& kept_buffers() {
    thread_local LinearBuffers buffers;
    return buffers;
}

// `kept` when `size` elements stay within kKeptElements, else `own`.
template <class Buffer>
Buffer& call_storage(Buffer& kept, Buffer& own, std::size_t size) {
    return size <= kKeptElements ? kept : own;
}

// Row 0 of a global linear table: 0, gap, 2 gap, ...
void origin_row(std::vector<std::int32_t>& row, std::size_t n, std::int32_t gap) {
    row.resize(n + 1);
    row[0] = 0;
    for (std::size_t j = 1; j <= n; ++j)
        row[j] = wrap_add(row[j - 1], gap);
}

}  // namespace

std::vector<PathCell> linear_rectangle_path(const SubstitutionScoring& scoring,
                                            std::string_view query, std::string_view target,
                                            std::int32_t gap, PathCell start, PathCell end,
                                            const char* no_horizontal) {
    const std::size_t h = end.first - start.first;
    const std::size_t w = end.second - start.second;
    const std::string_view q = query.substr(start.first, h);
    const std::string_view t = target.substr(start.second, w);
    const std::size_t width = w + 1;

    LinearBuffers& kept = kept_buffers();
    std::vector<std::int32_t> table_own;
    std::vector<std::int32_t> row_own;
    std::vector<std::int32_t>& table_storage = call_storage(kept.table, table_own, (h + 1) * width);
    std::vector<std::int32_t>& row = call_storage(kept.forward, row_own, width);
    if (table_storage.size() < (h + 1) * width)
        table_storage.resize((h + 1) * width);
    std::int32_t* table = table_storage.data();
    origin_row(row, w, gap);
    std::copy(row.begin(), row.end(), table);
    advance_linear_rows(row, q, t, scoring, gap, LinearStart::global_origin, table + width);

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
    const std::string_view rest = query.substr(mid, c - mid);
    LinearBuffers& kept = kept_buffers();
    LinearBuffers own;
    LinearBuffers& buffers = call_storage(kept, own, std::max<std::size_t>(w + 1, rest.size()));
    std::vector<std::int32_t>& forward = buffers.forward;
    std::vector<std::int32_t>& backward = buffers.backward;
    origin_row(forward, w, gap);
    advance_linear_rows(forward, query.substr(a, mid - a), t, scoring, gap,
                        LinearStart::global_origin);
    buffers.query.assign(rest.rbegin(), rest.rend());
    buffers.target.assign(t.rbegin(), t.rend());
    origin_row(backward, w, gap);
    advance_linear_rows(backward, buffers.query, buffers.target, scoring, gap,
                        LinearStart::global_origin);

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

std::optional<WholeTableSplits> linear_splits_from_table(const SubstitutionScoring& scoring,
                                                         std::string_view query,
                                                         std::string_view target,
                                                         std::int32_t gap,
                                                         std::uint64_t block_size) {
    invariant(block_size > 0, "block_size must be positive");
    const std::size_t m = query.size();
    const std::size_t n = target.size();
    const std::size_t width = n + 1;
    if (m == 0 || m + 1 > kWholeTableCells / width)
        return std::nullopt;
    // The table is at most kWholeTableCells values, kept per thread: a batch of short pairs
    // allocates it once.
    thread_local std::vector<std::int32_t> table_storage;
    thread_local std::vector<std::int32_t> row;
    table_storage.resize((m + 1) * width);
    std::int32_t* table = table_storage.data();
    origin_row(row, n, gap);
    std::copy(row.begin(), row.end(), table);
    advance_linear_rows(row, query, target, scoring, gap, LinearStart::global_origin,
                        table + width);

    const std::uint64_t count = m / block_size + (m % block_size != 0 ? 1 : 0);
    WholeTableSplits splits{.score = table[m * width + n],
                            .columns = std::vector<std::uint64_t>(count + 1, 0)};
    std::vector<std::uint64_t>& columns = splits.columns;
    columns[count] = n;
    std::size_t i = m;
    std::size_t j = n;
    while (i > 0) {
        const std::int32_t value = table[i * width + j];
        if (j > 0 && value == wrap_add(table[i * width + j - 1], gap)) {
            --j;
            continue;
        }
        // The path leaves row i here, so j is its first column on the row.
        if (i < m && i % block_size == 0)
            columns[i / block_size] = j;
        if (j > 0
            && value
                   == wrap_add(table[(i - 1) * width + j - 1],
                               scoring.score(query[i - 1], target[j - 1]))) {
            --j;
        } else {
            invariant(value == wrap_add(table[(i - 1) * width + j], gap),
                      "NW table cell must have a predecessor");
        }
        --i;
    }
    return splits;
}

}  // namespace rux_dp::detail
