#include "rux_dp/batch/ordered_runner.hpp"

#include <utility>

namespace rux_dp {

ErrorRecord worker_panic_record(std::uint64_t index) {
    ErrorContext context;
    context.pair_index = index;
    return ErrorRecord::make(ErrorStage::worker, "worker_panic", "batch worker panicked",
                             std::move(context));
}

}  // namespace rux_dp
