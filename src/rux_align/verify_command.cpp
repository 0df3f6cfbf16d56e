#include "rux_align/run.hpp"

namespace rux_align {

rux_dp::Result<int> run_verify(const VerifyCommand&) {
    return std::unexpected("verify is not available in this build");
}

rux_dp::Result<int> run_compare(const CompareCommand&) {
    return std::unexpected("compare is not available in this build");
}

}  // namespace rux_align
