#include "rux_dp/alignment/trace.hpp"

#include "rux_dp/base/invariant.hpp"

namespace rux_dp {

std::string_view op_kind_name(AlignmentOpKind kind) {
    switch (kind) {
        case AlignmentOpKind::match:
            return "match";
        case AlignmentOpKind::mismatch:
            return "mismatch";
        case AlignmentOpKind::insertion:
            return "insertion";
        case AlignmentOpKind::deletion:
            return "deletion";
    }
    return "match";
}

AlignmentTrace AlignmentTrace::from_cells(std::string_view query, std::string_view target,
                                          std::span<const PathCell> cells,
                                          bool with_operations) {
    AlignmentTrace trace;
    if (cells.empty()) return trace;
    trace.query_span = {cells.front().first, cells.back().first};
    trace.target_span = {cells.front().second, cells.back().second};
    if (with_operations) trace.operations.reserve(cells.size() - 1);

    // The CIGAR is run-length encoded as the steps go; the op orders of AlignmentOpKind and
    // CigarOp agree.
    std::size_t run = 0;
    AlignmentOpKind run_op = AlignmentOpKind::match;
    for (std::size_t k = 1; k < cells.size(); ++k) {
        const auto [i0, j0] = cells[k - 1];
        const auto [i1, j1] = cells[k];
        invariant(i1 >= i0, "alignment path rows must be monotone");
        invariant(j1 >= j0, "alignment path columns must be monotone");
        AlignmentOpKind op;
        if (i1 == i0) {
            invariant(j1 == j0 + 1, "alignment path contains a non-unit move");
            invariant(j0 < target.size(), "target path coordinate out of bounds");
            op = AlignmentOpKind::deletion;
        } else {
            invariant(i1 == i0 + 1, "alignment path contains a non-unit move");
            if (j1 == j0) {
                invariant(i0 < query.size(), "query path coordinate out of bounds");
                op = AlignmentOpKind::insertion;
            } else {
                invariant(j1 == j0 + 1, "alignment path contains a non-unit move");
                invariant(i0 < query.size(), "query path coordinate out of bounds");
                invariant(j0 < target.size(), "target path coordinate out of bounds");
                op = step_base(query[i0]) == step_base(target[j0]) ? AlignmentOpKind::match
                                                                   : AlignmentOpKind::mismatch;
            }
        }
        if (with_operations) {
            AlignmentStep step;
            step.op = op;
            if (op != AlignmentOpKind::deletion) {
                step.query_pos = i0;
                step.query_base = step_base(query[i0]);
            }
            if (op != AlignmentOpKind::insertion) {
                step.target_pos = j0;
                step.target_base = step_base(target[j0]);
            }
            trace.operations.push_back(step);
        }
        if (run > 0 && op != run_op) {
            push_cigar_run(trace.cigar, run, static_cast<CigarOp>(run_op));
            run = 0;
        }
        run_op = op;
        ++run;
    }
    if (run > 0) push_cigar_run(trace.cigar, run, static_cast<CigarOp>(run_op));
    return trace;
}

}  // namespace rux_dp
