#pragma once

// Test-only oracles for the score-based problems: plain full-table DPs in 64-bit arithmetic and
// an exhaustive enumeration of alignments for tiny inputs. They share no code with the kernels.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace rux_dp::test_support {

/// Scores query symbol a against target symbol b.
using PairScore = std::function<std::int64_t(char, char)>;

inline PairScore match_mismatch_score(std::int64_t match, std::int64_t mismatch_penalty) {
    return [=](char a, char b) { return a == b ? match : -mismatch_penalty; };
}

/// A random sequence over `alphabet`, symbols picked with rng() % size.
inline std::string random_sequence(std::mt19937_64& rng, std::size_t length,
                                   std::string_view alphabet = "ACGT") {
    std::string s(length, 'A');
    for (auto& c : s)
        c = alphabet[rng() % alphabet.size()];
    return s;
}

/// A target for the cross-checks of the vector rows against the scalar ones, by round: every
/// third the query with a long insertion (runs of horizontal steps longer than a vector), every
/// third the query with a few substitutions (scores that keep growing from row to row, past 16
/// bits in later passes), else a random sequence of one of `lengths`.
inline std::string vector_rows_target(std::mt19937_64& rng, const std::string& query, int round,
                                      std::string_view alphabet,
                                      const std::vector<std::size_t>& lengths) {
    if (round % 3 == 0)
        return query.substr(0, query.size() / 2) + random_sequence(rng, 70, alphabet)
               + query.substr(query.size() / 2);
    if (round % 3 == 1) {
        std::string target = query;
        for (char& c : target)
            if (rng() % 20 == 0)
                c = alphabet[rng() % alphabet.size()];
        return target;
    }
    return random_sequence(rng, lengths[rng() % lengths.size()], alphabet);
}

inline constexpr std::int64_t bf_impossible = std::numeric_limits<std::int64_t>::min() / 4;

/// Needleman-Wunsch score over the whole table.
inline std::int64_t bf_global_linear(std::string_view q, std::string_view t, const PairScore& s,
                                     std::int64_t gap) {
    const std::size_t m = q.size(), n = t.size();
    std::vector<std::vector<std::int64_t>> d(m + 1, std::vector<std::int64_t>(n + 1));
    for (std::size_t i = 0; i <= m; ++i) {
        for (std::size_t j = 0; j <= n; ++j) {
            if (i == 0 && j == 0)
                continue;
            std::int64_t best = bf_impossible;
            if (i > 0 && j > 0)
                best = std::max(best, d[i - 1][j - 1] + s(q[i - 1], t[j - 1]));
            if (i > 0)
                best = std::max(best, d[i - 1][j] + gap);
            if (j > 0)
                best = std::max(best, d[i][j - 1] + gap);
            d[i][j] = best;
        }
    }
    return d[m][n];
}

/// Smith-Waterman score (0 when nothing scores positive).
inline std::int64_t bf_local_linear(std::string_view q, std::string_view t, const PairScore& s,
                                    std::int64_t gap) {
    const std::size_t m = q.size(), n = t.size();
    std::vector<std::vector<std::int64_t>> d(m + 1, std::vector<std::int64_t>(n + 1, 0));
    std::int64_t best = 0;
    for (std::size_t i = 1; i <= m; ++i) {
        for (std::size_t j = 1; j <= n; ++j) {
            d[i][j] = std::max({std::int64_t{0}, d[i - 1][j - 1] + s(q[i - 1], t[j - 1]),
                                d[i - 1][j] + gap, d[i][j - 1] + gap});
            best = std::max(best, d[i][j]);
        }
    }
    return best;
}

/// The whole query against the best target part: free leading and trailing target symbols.
inline std::int64_t bf_semiglobal_linear(std::string_view q, std::string_view t, const PairScore& s,
                                         std::int64_t gap) {
    const std::size_t m = q.size(), n = t.size();
    std::vector<std::vector<std::int64_t>> d(m + 1, std::vector<std::int64_t>(n + 1, 0));
    for (std::size_t i = 1; i <= m; ++i) {
        d[i][0] = d[i - 1][0] + gap;
        for (std::size_t j = 1; j <= n; ++j)
            d[i][j] = std::max(
                {d[i - 1][j - 1] + s(q[i - 1], t[j - 1]), d[i - 1][j] + gap, d[i][j - 1] + gap});
    }
    return *std::max_element(d[m].begin(), d[m].end());
}

/// Gotoh's global affine score where a gap opens only after a substitution (or at the start),
/// never directly after a gap on the other side: a run of k symbols costs open + k * extend.
inline std::int64_t bf_global_affine(std::string_view q, std::string_view t, const PairScore& s,
                                     std::int64_t open, std::int64_t extend) {
    const std::size_t m = q.size(), n = t.size();
    using Row = std::vector<std::int64_t>;
    std::vector<Row> mm(m + 1, Row(n + 1, bf_impossible)), vv = mm, hh = mm;
    mm[0][0] = 0;
    const auto ok = [](std::int64_t v) { return v > bf_impossible / 2; };
    for (std::size_t i = 0; i <= m; ++i) {
        for (std::size_t j = 0; j <= n; ++j) {
            if (i > 0 && j > 0) {
                const std::int64_t best =
                    std::max({mm[i - 1][j - 1], vv[i - 1][j - 1], hh[i - 1][j - 1]});
                if (ok(best))
                    mm[i][j] = best + s(q[i - 1], t[j - 1]);
            }
            if (i > 0) {
                std::int64_t best = bf_impossible;
                if (ok(mm[i - 1][j]))
                    best = std::max(best, mm[i - 1][j] + open + extend);
                if (ok(vv[i - 1][j]))
                    best = std::max(best, vv[i - 1][j] + extend);
                vv[i][j] = best;
            }
            if (j > 0) {
                std::int64_t best = bf_impossible;
                if (ok(mm[i][j - 1]))
                    best = std::max(best, mm[i][j - 1] + open + extend);
                if (ok(hh[i][j - 1]))
                    best = std::max(best, hh[i][j - 1] + extend);
                hh[i][j] = best;
            }
        }
    }
    return std::max({mm[m][n], vv[m][n], hh[m][n]});
}

/// Moves of an alignment: 'M' diagonal, 'I' down (query symbol), 'D' right (target symbol).
inline void bf_each_alignment(std::size_t m, std::size_t n, std::string& moves,
                              const std::function<void(const std::string&)>& visit) {
    if (m == 0 && n == 0) {
        visit(moves);
        return;
    }
    const auto step = [&](char c, std::size_t dm, std::size_t dn) {
        moves.push_back(c);
        bf_each_alignment(m - dm, n - dn, moves, visit);
        moves.pop_back();
    };
    if (m > 0 && n > 0)
        step('M', 1, 1);
    if (m > 0)
        step('I', 1, 0);
    if (n > 0)
        step('D', 0, 1);
}

/// The best global score over every alignment, scored move by move; affine when `open` is
/// given, where a gap run only follows a diagonal or the start.
inline std::int64_t bf_enumerate_global(std::string_view q, std::string_view t, const PairScore& s,
                                        std::int64_t gap_or_extend, bool affine = false,
                                        std::int64_t open = 0) {
    std::int64_t best = bf_impossible;
    std::string moves;
    bf_each_alignment(q.size(), t.size(), moves, [&](const std::string& ops) {
        std::int64_t total = 0;
        std::size_t i = 0, j = 0;
        char last = 'M';
        for (const char op : ops) {
            if (op == 'M') {
                total += s(q[i++], t[j++]);
            } else {
                if (affine) {
                    if (last != 'M' && last != op)
                        return;  // a gap may not follow the other gap
                    total += gap_or_extend + (last == op ? 0 : open);
                } else {
                    total += gap_or_extend;
                }
                (op == 'I' ? i : j)++;
            }
            last = op;
        }
        best = std::max(best, total);
    });
    return best;
}

/// Cells (i, j) connected by unit moves (1, 1), (1, 0), (0, 1).
template <class Cells>
bool bf_connected(const Cells& cells) {
    for (std::size_t k = 1; k < cells.size(); ++k) {
        const auto [i0, j0] = cells[k - 1];
        const auto [i1, j1] = cells[k];
        const bool diag = i1 == i0 + 1 && j1 == j0 + 1;
        const bool down = i1 == i0 + 1 && j1 == j0;
        const bool right = i1 == i0 && j1 == j0 + 1;
        if (!diag && !down && !right)
            return false;
    }
    return true;
}

/// The linear score of a connected path of cells.
template <class Cells>
std::int64_t bf_rescore_linear(const Cells& cells, std::string_view q, std::string_view t,
                               const PairScore& s, std::int64_t gap) {
    std::int64_t total = 0;
    for (std::size_t k = 1; k < cells.size(); ++k) {
        const auto [i0, j0] = cells[k - 1];
        const auto [i1, j1] = cells[k];
        if (i1 == i0 + 1 && j1 == j0 + 1)
            total += s(q[i0], t[j0]);
        else
            total += gap;
    }
    return total;
}

}  // namespace rux_dp::test_support
