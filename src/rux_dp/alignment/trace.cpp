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
                                          std::span<const PathCell> cells) {
    AlignmentTrace trace;
    if (cells.empty()) return trace;
    trace.query_span = {cells.front().first, cells.back().first};
    trace.target_span = {cells.front().second, cells.back().second};
    trace.operations.reserve(cells.size() - 1);

    for (std::size_t k = 1; k < cells.size(); ++k) {
        const auto [i0, j0] = cells[k - 1];
        const auto [i1, j1] = cells[k];
        invariant(i1 >= i0, "alignment path rows must be monotone");
        invariant(j1 >= j0, "alignment path columns must be monotone");
        AlignmentStep step;
        if (i1 == i0) {
            invariant(j1 == j0 + 1, "alignment path contains a non-unit move");
            invariant(j0 < target.size(), "target path coordinate out of bounds");
            step.op = AlignmentOpKind::deletion;
            step.target_pos = j0;
            step.target_base = step_base(target[j0]);
        } else {
            invariant(i1 == i0 + 1, "alignment path contains a non-unit move");
            if (j1 == j0) {
                invariant(i0 < query.size(), "query path coordinate out of bounds");
                step.op = AlignmentOpKind::insertion;
                step.query_pos = i0;
                step.query_base = step_base(query[i0]);
            } else {
                invariant(j1 == j0 + 1, "alignment path contains a non-unit move");
                invariant(i0 < query.size(), "query path coordinate out of bounds");
                invariant(j0 < target.size(), "target path coordinate out of bounds");
                step.query_pos = i0;
                step.target_pos = j0;
                step.query_base = step_base(query[i0]);
                step.target_base = step_base(target[j0]);
                step.op = *step.query_base == *step.target_base ? AlignmentOpKind::match
                                                                : AlignmentOpKind::mismatch;
            }
        }
        trace.operations.push_back(step);
    }

    // Run-length encode the operations; the op orders of AlignmentOpKind and CigarOp agree.
    std::size_t k = 0;
    while (k < trace.operations.size()) {
        std::size_t end = k + 1;
        while (end < trace.operations.size() && trace.operations[end].op == trace.operations[k].op)
            ++end;
        push_cigar_run(trace.cigar, end - k, static_cast<CigarOp>(trace.operations[k].op));
        k = end;
    }
    return trace;
}

}  // namespace rux_dp
