#include "rux_dp/problems/nw_affine.hpp"

#include "rux_dp/base/invariant.hpp"
#include "rux_dp/problems/kernel_detail.hpp"
#include "rux_dp/problems/nw_affine_simd.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <utility>

namespace rux_dp {

using detail::affine_gaps;
using detail::AffineGaps;
using detail::wrap_add;

namespace {

constexpr std::array<AffineState, 3> all_states = {AffineState::match, AffineState::gap_in_t,
                                                   AffineState::gap_in_s};

// GapInS from its left neighbour: opening from Match unless extending is strictly better (and
// possible). Ties open, which is also the traceback's preference.
inline std::int32_t gap_in_s_value(std::int32_t left_match, std::int32_t left_gap_in_s,
                                   AffineGaps g) {
    const std::int32_t open = affine_normalise(affine_add(g.oe, left_match));
    const std::int32_t extend = affine_add(g.e, left_gap_in_s);
    if (g.e < affine_usable_min || left_gap_in_s < affine_usable_min || open >= extend)
        return open;
    return extend;
}

// Row pointers of the three states of one table row.
struct AffineRow {
    std::int32_t* match;
    std::int32_t* gap_in_t;
    std::int32_t* gap_in_s;
};
struct ConstAffineRow {
    const std::int32_t* match;
    const std::int32_t* gap_in_t;
    const std::int32_t* gap_in_s;
};

// Gotoh's recurrences for one row (w + 1 columns) from the row above; srow[j] = s(q, target[j]).
void advance_affine(ConstAffineRow prev, AffineRow next, const std::int32_t* srow, std::size_t w,
                    AffineGaps g) {
    next.match[0] = neg_inf;
    next.gap_in_s[0] = neg_inf;
    next.gap_in_t[0] = affine_normalise(
        std::max(affine_add(g.oe, prev.match[0]), affine_add(g.e, prev.gap_in_t[0])));
    for (std::size_t j = 1; j <= w; ++j) {
        const std::int32_t s = srow[j - 1];
        if (s < affine_usable_min) {
            next.match[j] = neg_inf;
        } else {
            next.match[j] = std::max(
                affine_add(s, prev.match[j - 1]),
                std::max(affine_add(s, prev.gap_in_t[j - 1]), affine_add(s, prev.gap_in_s[j - 1])));
        }
        next.gap_in_t[j] = affine_normalise(
            std::max(affine_add(g.oe, prev.match[j]), affine_add(g.e, prev.gap_in_t[j])));
        next.gap_in_s[j] = gap_in_s_value(next.match[j - 1], next.gap_in_s[j - 1], g);
    }
}

void fill_start_row(AffineRow row, std::size_t w, AffineStateSet start_states, AffineGaps g) {
    std::fill(row.match, row.match + w + 1, neg_inf);
    std::fill(row.gap_in_t, row.gap_in_t + w + 1, neg_inf);
    std::fill(row.gap_in_s, row.gap_in_s + w + 1, neg_inf);
    if (has_state(start_states, AffineState::match))
        row.match[0] = 0;
    if (has_state(start_states, AffineState::gap_in_t))
        row.gap_in_t[0] = 0;
    if (has_state(start_states, AffineState::gap_in_s))
        row.gap_in_s[0] = 0;
    for (std::size_t j = 1; j <= w; ++j)
        row.gap_in_s[j] = gap_in_s_value(row.match[j - 1], row.gap_in_s[j - 1], g);
}

AffineRow rows_of(NwAffineFrontier& f) {
    return {f.match.data(), f.gap_in_t.data(), f.gap_in_s.data()};
}
ConstAffineRow rows_of(const NwAffineFrontier& f) {
    return {f.match.data(), f.gap_in_t.data(), f.gap_in_s.data()};
}

std::int32_t state_value(const NwAffineFrontier& f, AffineState state, std::size_t j) {
    switch (state) {
        case AffineState::match:
            return f.match[j];
        case AffineState::gap_in_t:
            return f.gap_in_t[j];
        case AffineState::gap_in_s:
            return f.gap_in_s[j];
    }
    return neg_inf;
}

// The frontier advanced over query[begin..end) against `target`: on vector lanes when a bound
// proves them exact for the pass, else by the scalar rows.
NwAffineFrontier advance_rows(NwAffineFrontier frontier, std::string_view query, std::size_t begin,
                              std::size_t end, std::string_view target,
                              const SubstitutionScoring& scoring, AffineGaps g) {
    if (detail::affine_forward_simd(frontier, query.substr(begin, end - begin), target, scoring, g))
        return frontier;
    const std::size_t w = target.size();
    NwAffineFrontier next = NwAffineFrontier::filled(w + 1);
    std::vector<std::int32_t> srow(w);
    const detail::SubstitutionRows rows(scoring, target);
    for (std::size_t i = begin; i < end; ++i) {
        rows.fill(query[i], srow.data());
        advance_affine(rows_of(std::as_const(frontier)), rows_of(next), srow.data(), w, g);
        std::swap(frontier, next);
    }
    return frontier;
}

// B of the row of rows.front() from B of the row under rows.back() (`below`), rows taken from the
// last to the first; columns from the right end to the left.
NwAffineFrontier backward_rows(NwAffineFrontier below, std::string_view rows, std::string_view t,
                               const SubstitutionScoring& scoring, AffineGaps g) {
    const std::size_t w = t.size();
    NwAffineFrontier current = NwAffineFrontier::filled(w + 1);
    std::vector<std::int32_t> srow(w);
    const detail::SubstitutionRows subs(scoring, t);
    for (std::size_t r = rows.size(); r-- > 0;) {
        subs.fill(rows[r], srow.data());
        current.match[w] = affine_add(g.oe, below.gap_in_t[w]);
        current.gap_in_t[w] = affine_add(g.e, below.gap_in_t[w]);
        current.gap_in_s[w] = neg_inf;
        for (std::size_t k = w; k-- > 0;) {
            const std::int32_t s = srow[k];
            const std::int32_t d =
                s < affine_usable_min ? neg_inf : affine_add(s, below.match[k + 1]);
            current.match[k] = std::max(d, std::max(affine_add(g.oe, below.gap_in_t[k]),
                                                    affine_add(g.oe, current.gap_in_s[k + 1])));
            current.gap_in_t[k] = affine_normalise(std::max(d, affine_add(g.e, below.gap_in_t[k])));
            const std::int32_t extend = affine_add(g.e, current.gap_in_s[k + 1]);
            const std::int32_t diagonal = affine_normalise(d);
            current.gap_in_s[k] = g.e >= affine_usable_min
                                          && current.gap_in_s[k + 1] >= affine_usable_min
                                          && extend > diagonal
                                      ? extend
                                      : diagonal;
        }
        std::swap(below, current);
    }
    return below;
}

bool same_problem(const NwAffineProblem& l, const NwAffineProblem& r) {
    return l.query.data() == r.query.data() && l.query.size() == r.query.size()
           && l.target.data() == r.target.data() && l.target.size() == r.target.size()
           && l.gap_open == r.gap_open && l.gap_extend == r.gap_extend
           && detail::same_scoring(l.scoring, r.scoring);
}

}  // namespace

NwAffineFrontier NwAffineFrontier::filled(std::size_t width) {
    return NwAffineFrontier{.match = std::vector<std::int32_t>(width, neg_inf),
                            .gap_in_t = std::vector<std::int32_t>(width, neg_inf),
                            .gap_in_s = std::vector<std::int32_t>(width, neg_inf)};
}

NwAffineFrontier constrained_start_frontier(std::size_t width, AffineStateSet start_states,
                                            std::int32_t gap_open, std::int32_t gap_extend) {
    invariant((start_states & 7) != 0, "affine start frontier needs at least one state");
    NwAffineFrontier frontier = NwAffineFrontier::filled(width + 1);
    fill_start_row(rows_of(frontier), width, start_states, affine_gaps(gap_open, gap_extend));
    return frontier;
}

NwAffineFrontier advance_affine_row(char query_symbol, std::string_view target,
                                    const SubstitutionScoring& scoring, std::int32_t gap_open,
                                    std::int32_t gap_extend, const NwAffineFrontier& frontier) {
    const std::size_t w = target.size();
    invariant(frontier.match.size() == w + 1 && frontier.gap_in_t.size() == w + 1
                  && frontier.gap_in_s.size() == w + 1,
              "affine frontier width mismatch");
    NwAffineFrontier next = NwAffineFrontier::filled(w + 1);
    std::vector<std::int32_t> srow(w);
    detail::SubstitutionRows(scoring, target).fill(query_symbol, srow.data());
    advance_affine(rows_of(frontier), rows_of(next), srow.data(), w,
                   affine_gaps(gap_open, gap_extend));
    return next;
}

NwAffineFrontier NwAffineSummary::apply(const NwAffineFrontier& frontier) const {
    const std::size_t width = problem->target.size() + 1;
    invariant(frontier.match.size() == width && frontier.gap_in_t.size() == width
                  && frontier.gap_in_s.size() == width,
              "affine NW frontier width mismatch");
    return advance_rows(frontier, problem->query, start_row, end_row, problem->target,
                        problem->scoring, affine_gaps(problem->gap_open, problem->gap_extend));
}

NwAffineFrontier NwAffineProblem::init_frontier() const {
    return constrained_start_frontier(target.size(), state_bit(AffineState::match), gap_open,
                                      gap_extend);
}

NwAffineSummary NwAffineProblem::summarize_block(std::uint64_t start_row,
                                                 std::uint64_t end_row) const {
    invariant(start_row <= end_row && end_row <= query.size(), "invalid affine NW interval");
    return NwAffineSummary{.problem = this, .start_row = start_row, .end_row = end_row};
}

NwAffineSummary NwAffineProblem::merge_summary(const NwAffineSummary& left,
                                               const NwAffineSummary& right) const {
    invariant(left.end_row == right.start_row, "affine NW summaries must be adjacent");
    invariant(same_problem(*left.problem, *right.problem),
              "affine NW summaries must belong to the same problem");
    return NwAffineSummary{
        .problem = left.problem, .start_row = left.start_row, .end_row = right.end_row};
}

NwAffineBoundary NwAffineProblem::terminal_boundary(const NwAffineFrontier& frontier) const {
    const std::size_t n = target.size();
    const std::int32_t best =
        std::max(frontier.match[n], std::max(frontier.gap_in_t[n], frontier.gap_in_s[n]));
    AffineStateSet states = 0;
    for (const AffineState state : all_states)
        if (state_value(frontier, state, n) == best)
            states |= state_bit(state);
    return {.row = query.size(), .col = n, .states = states};
}

std::int32_t NwAffineProblem::terminal_score(const NwAffineFrontier& frontier,
                                             const NwAffineBoundary& terminal) const {
    std::int32_t best = neg_inf;
    bool any = false;
    for (const AffineState state : all_states) {
        if (!has_state(terminal.states, state))
            continue;
        const std::int32_t value = state_value(frontier, state, terminal.col);
        if (!any || value > best)
            best = value;
        any = true;
    }
    return best;
}

NwAffineBoundary NwAffineProblem::choose_split(std::uint64_t interval_start_row,
                                               std::uint64_t split_row,
                                               std::uint64_t interval_end_row,
                                               const NwAffineBoundary& alpha,
                                               const NwAffineBoundary& beta, const NwAffineSummary&,
                                               const NwAffineSummary&) const {
    invariant(alpha.row == interval_start_row, "left boundary row must match interval start");
    invariant(beta.row == interval_end_row, "right boundary row must match interval end");
    invariant(interval_start_row <= split_row && split_row <= interval_end_row
                  && interval_end_row <= query.size(),
              "split must lie inside interval");
    invariant((alpha.states & 7) != 0 && (beta.states & 7) != 0,
              "affine boundaries must allow at least one state");
    invariant(alpha.col <= beta.col && beta.col <= target.size(),
              "invalid affine NW boundary columns");
    const AffineGaps g = affine_gaps(gap_open, gap_extend);
    const std::uint64_t c0 = alpha.col;
    const std::size_t w = beta.col - c0;
    const std::string_view t = target.substr(c0, w);

    const NwAffineFrontier forward =
        advance_rows(constrained_start_frontier(w, alpha.states, gap_open, gap_extend), query,
                     interval_start_row, split_row, t, scoring, g);

    // B(state, k): the best score of the rest of a path that is at column c0 + k of the current
    // row in that state and ends at beta in one of beta's states; rows from beta's up to the split.
    NwAffineFrontier below = NwAffineFrontier::filled(w + 1);
    below.match[w] = has_state(beta.states, AffineState::match) ? 0 : neg_inf;
    below.gap_in_t[w] = has_state(beta.states, AffineState::gap_in_t) ? 0 : neg_inf;
    below.gap_in_s[w] = has_state(beta.states, AffineState::gap_in_s) ? 0 : neg_inf;
    for (std::size_t k = w; k-- > 0;) {
        below.match[k] = affine_add(g.oe, below.gap_in_s[k + 1]);
        below.gap_in_t[k] = neg_inf;
        below.gap_in_s[k] = affine_add(g.e, below.gap_in_s[k + 1]);
    }
    const std::string_view back_rows = query.substr(split_row, interval_end_row - split_row);
    if (!detail::affine_backward_simd(below, back_rows, t, scoring, g))
        below = backward_rows(std::move(below), back_rows, t, scoring, g);

    std::int32_t best = neg_inf;
    std::optional<std::pair<std::size_t, AffineState>> chosen;
    for (std::size_t k = 0; k <= w; ++k) {
        for (const AffineState state : all_states) {
            const std::int32_t total =
                affine_add(state_value(forward, state, k), state_value(below, state, k));
            // Strictly greater: the first optimal (column, state) in scan order wins.
            if (total > best) {
                best = total;
                chosen = std::pair{k, state};
            }
        }
    }
    invariant(chosen.has_value(), "affine split must find a feasible midpoint state");
    return {.row = split_row, .col = c0 + chosen->first, .states = state_bit(chosen->second)};
}

std::vector<AffineCell> NwAffineProblem::reconstruct_leaf(std::uint64_t start_row,
                                                          std::uint64_t end_row,
                                                          const NwAffineBoundary& alpha,
                                                          const NwAffineBoundary& beta) const {
    invariant(alpha.row == start_row, "leaf start row must match beta_a");
    invariant(beta.row == end_row, "leaf end row must match beta_b");
    invariant(start_row <= end_row && end_row <= query.size(), "invalid affine NW interval");
    invariant((alpha.states & 7) != 0 && (beta.states & 7) != 0,
              "affine leaf boundaries must allow at least one state");
    invariant(alpha.col <= beta.col && beta.col <= target.size(), "invalid affine NW leaf columns");
    const AffineGaps g = affine_gaps(gap_open, gap_extend);
    const std::size_t h = end_row - start_row;
    const std::uint64_t c0 = alpha.col;
    const std::size_t w = beta.col - c0;
    const std::size_t width = w + 1;
    const std::string_view q = query.substr(start_row, h);
    const std::string_view t = target.substr(c0, w);

    // The table on vector lanes when a bound proves them exact, else by the scalar rows.
    const std::optional<detail::AffineLeafTable> lanes = detail::AffineLeafTable::fill(
        constrained_start_frontier(w, alpha.states, gap_open, gap_extend), q, t, scoring, g);
    const std::size_t cells = lanes ? 0 : (h + 1) * width;
    std::vector<std::int32_t> match(cells);
    std::vector<std::int32_t> gap_in_t(cells);
    std::vector<std::int32_t> gap_in_s(cells);
    if (!lanes) {
        const auto row_at = [&](std::size_t i) {
            return AffineRow{match.data() + i * width, gap_in_t.data() + i * width,
                             gap_in_s.data() + i * width};
        };
        fill_start_row(row_at(0), w, alpha.states, g);
        std::vector<std::int32_t> srow(w);
        const detail::SubstitutionRows rows(scoring, t);
        for (std::size_t i = 1; i <= h; ++i) {
            rows.fill(q[i - 1], srow.data());
            const AffineRow prev = row_at(i - 1);
            advance_affine({prev.match, prev.gap_in_t, prev.gap_in_s}, row_at(i), srow.data(), w,
                           g);
        }
    }
    const auto value = [&](AffineState state, std::size_t i, std::size_t j) {
        if (lanes)
            return lanes->value(state, i, j);
        const std::size_t at = i * width + j;
        switch (state) {
            case AffineState::match:
                return match[at];
            case AffineState::gap_in_t:
                return gap_in_t[at];
            case AffineState::gap_in_s:
                return gap_in_s[at];
        }
        return neg_inf;
    };

    std::optional<AffineState> end_state;
    std::int32_t end_value = neg_inf;
    for (const AffineState state : all_states) {
        if (!has_state(beta.states, state))
            continue;
        const std::int32_t v = value(state, h, w);
        if (!end_state || v > end_value) {
            end_state = state;
            end_value = v;
        }
    }
    invariant(end_value >= affine_usable_min, "affine leaf must have a feasible endpoint");

    std::vector<AffineCell> path;
    path.reserve(h + w + 1);
    std::size_t i = h;
    std::size_t j = w;
    AffineState state = *end_state;
    path.push_back({.row = start_row + i, .col = c0 + j, .state = state});
    while (i > 0 || j > 0) {
        const std::int32_t current = value(state, i, j);
        std::optional<AffineState> predecessor;
        switch (state) {
            case AffineState::match: {
                invariant(i > 0 && j > 0, "match state requires a diagonal predecessor");
                const std::int32_t s = scoring.score(q[i - 1], t[j - 1]);
                for (const AffineState p : all_states) {
                    if (affine_add(s, value(p, i - 1, j - 1)) == current) {
                        predecessor = p;
                        break;
                    }
                }
                --i;
                --j;
                break;
            }
            case AffineState::gap_in_t:
                invariant(i > 0, "gap-in-t state requires a vertical predecessor");
                // Opening before extending when both realise the value.
                if (affine_add(g.oe, value(AffineState::match, i - 1, j)) == current)
                    predecessor = AffineState::match;
                else if (affine_add(g.e, value(AffineState::gap_in_t, i - 1, j)) == current)
                    predecessor = AffineState::gap_in_t;
                --i;
                break;
            case AffineState::gap_in_s:
                invariant(j > 0, "gap-in-s state requires a horizontal predecessor");
                if (affine_add(g.oe, value(AffineState::match, i, j - 1)) == current)
                    predecessor = AffineState::match;
                else if (affine_add(g.e, value(AffineState::gap_in_s, i, j - 1)) == current)
                    predecessor = AffineState::gap_in_s;
                --j;
                break;
        }
        invariant(predecessor.has_value(), "affine traceback must have a predecessor");
        state = *predecessor;
        path.push_back({.row = start_row + i, .col = c0 + j, .state = state});
    }
    invariant(has_state(alpha.states, state), "affine traceback ended in a disallowed start state");
    std::reverse(path.begin(), path.end());
    return path;
}

PathScore NwAffineProblem::score_path(std::span<const AffineCell> path) const {
    const AffineGaps g = affine_gaps(gap_open, gap_extend);
    PathScore result;
    for (std::size_t k = 1; k < path.size(); ++k) {
        const AffineCell& prev = path[k - 1];
        const AffineCell& cur = path[k];
        const std::uint64_t di = cur.row - prev.row;
        const std::uint64_t dj = cur.col - prev.col;
        std::int32_t add = 0;
        bool ok = false;
        if (di == 1 && dj == 1 && cur.state == AffineState::match) {
            ok = prev.row < query.size() && prev.col < target.size();
            if (ok)
                add = scoring.score(query[prev.row], target[prev.col]);
        } else if ((di == 1 && dj == 0 && cur.state == AffineState::gap_in_t)
                   || (di == 0 && dj == 1 && cur.state == AffineState::gap_in_s)) {
            if (prev.state == cur.state) {
                add = g.e;
                ok = true;
            } else if (prev.state == AffineState::match) {
                add = g.oe;
                ok = true;
            }
            ok = ok && add >= affine_usable_min;
        }
        if (!ok) {
            result.valid = false;
            return result;
        }
        result.score = wrap_add(result.score, add);
    }
    return result;
}

std::int32_t NwAffineProblem::full_table_score() const {
    const NwAffineFrontier last = advance_rows(init_frontier(), query, 0, query.size(), target,
                                               scoring, affine_gaps(gap_open, gap_extend));
    const std::size_t n = target.size();
    return std::max(last.match[n], std::max(last.gap_in_t[n], last.gap_in_s[n]));
}

std::optional<BandedAffineTrace> trace_banded_affine_reference(const NwAffineProblem& problem,
                                                               std::uint64_t band) {
    const std::uint64_t m = problem.query.size();
    const std::uint64_t n = problem.target.size();
    if (band < (m > n ? m - n : n - m))
        return std::nullopt;
    const AffineGaps g = affine_gaps(problem.gap_open, problem.gap_extend);
    constexpr std::uint8_t none = 3;

    // Row i keeps columns lo(i) to hi(i), flat, starting at offset[i].
    const auto lo_of = [&](std::uint64_t i) { return i > band ? i - band : 0; };
    const auto hi_of = [&](std::uint64_t i) {
        return band > n || i > n - band ? n : i + band;  // min(i + band, n) without overflow
    };
    std::vector<std::size_t> offset(m + 2);
    for (std::uint64_t i = 0; i <= m; ++i) {
        invariant(lo_of(i) <= hi_of(i), "current band cell must exist while filling");
        offset[i + 1] = offset[i] + (hi_of(i) - lo_of(i) + 1);
    }
    const std::size_t cells = offset[m + 1];
    std::array<std::vector<std::int32_t>, 3> score;
    std::array<std::vector<std::uint8_t>, 3> from;
    for (std::size_t s = 0; s < 3; ++s) {
        score[s].assign(cells, neg_inf);
        from[s].assign(cells, none);
    }
    constexpr std::size_t mt = 0;
    constexpr std::size_t gt = 1;
    constexpr std::size_t gs = 2;
    score[mt][0] = 0;

    // The first strictly greatest candidate wins; an impossible operand gives NEG_INF, which never
    // beats the start.
    const auto pick = [](std::int32_t& best, std::uint8_t& pred, std::int32_t candidate,
                         std::uint8_t state) {
        if (candidate > best) {
            best = candidate;
            pred = state;
        }
    };

    std::vector<std::int32_t> srow(2 * std::min<std::uint64_t>(band, n) + 1);
    const detail::SubstitutionRows rows(problem.scoring, problem.target);
    for (std::uint64_t i = 0; i <= m; ++i) {
        const std::uint64_t lo = lo_of(i);
        const std::uint64_t hi = hi_of(i);
        const std::uint64_t up_lo = i > 0 ? lo_of(i - 1) : 0;
        const std::uint64_t up_hi = i > 0 ? hi_of(i - 1) : 0;
        const std::uint64_t first_scored = std::max<std::uint64_t>(lo, 1);
        if (i > 0 && first_scored <= hi)
            rows.fill(problem.query[i - 1], srow.data(), first_scored - 1, hi);
        for (std::uint64_t j = lo; j <= hi; ++j) {
            if (i == 0 && j == 0)
                continue;
            const std::size_t at = offset[i] + (j - lo);
            if (i > 0 && j > 0 && j - 1 >= up_lo && j - 1 <= up_hi) {
                const std::int32_t s = srow[j - first_scored];
                if (s >= affine_usable_min) {
                    const std::size_t diag = offset[i - 1] + (j - 1 - up_lo);
                    std::int32_t best = neg_inf;
                    std::uint8_t pred = none;
                    for (std::uint8_t p = 0; p < 3; ++p)
                        pick(best, pred, affine_add(score[p][diag], s), p);
                    score[mt][at] = best;
                    from[mt][at] = pred;
                }
            }
            if (i > 0 && j >= up_lo && j <= up_hi) {
                const std::size_t up = offset[i - 1] + (j - up_lo);
                std::int32_t best = neg_inf;
                std::uint8_t pred = none;
                pick(best, pred, affine_add(score[mt][up], g.oe), mt);
                pick(best, pred, affine_add(score[gt][up], g.e), gt);
                score[gt][at] = best;
                from[gt][at] = pred;
            }
            if (j > lo) {
                const std::size_t left = at - 1;
                std::int32_t best = neg_inf;
                std::uint8_t pred = none;
                pick(best, pred, affine_add(score[mt][left], g.oe), mt);
                pick(best, pred, affine_add(score[gs][left], g.e), gs);
                score[gs][at] = best;
                from[gs][at] = pred;
            }
        }
    }

    const std::size_t end_at = offset[m] + (n - lo_of(m));
    std::size_t state = mt;
    if (score[gt][end_at] > score[state][end_at])
        state = gt;
    if (score[gs][end_at] > score[state][end_at])
        state = gs;
    const std::int32_t best = score[state][end_at];
    if (best < affine_usable_min)
        return std::nullopt;

    BandedAffineTrace trace;
    trace.score = best;
    trace.path.reserve(m + n + 1);
    std::uint64_t i = m;
    std::uint64_t j = n;
    trace.path.push_back({.row = i, .col = j, .state = static_cast<AffineState>(state)});
    while (i > 0 || j > 0) {
        if (j < lo_of(i) || j > hi_of(i))
            return std::nullopt;
        const std::uint8_t pred = from[state][offset[i] + (j - lo_of(i))];
        if (pred == none)
            return std::nullopt;
        if (state == mt) {
            if (i == 0 || j == 0)
                return std::nullopt;
            --i;
            --j;
        } else if (state == gt) {
            if (i == 0)
                return std::nullopt;
            --i;
        } else {
            if (j == 0)
                return std::nullopt;
            --j;
        }
        state = pred;
        trace.path.push_back({.row = i, .col = j, .state = static_cast<AffineState>(state)});
    }
    if (state != mt)
        return std::nullopt;
    std::reverse(trace.path.begin(), trace.path.end());
    return trace;
}

template class RuxEngine<NwAffineProblem>;

}  // namespace rux_dp
