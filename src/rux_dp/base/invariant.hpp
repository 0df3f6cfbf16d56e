#pragma once

#include <stdexcept>
#include <string>

namespace rux_dp {

/// A broken internal invariant. Only the batch runner catches it (as a "worker_panic" record).
class InvariantViolation : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

/// Throws `InvariantViolation` with `message` unless `condition` holds. Always on: the texts are
/// behaviour.
inline void invariant(bool condition, const char* message) {
    if (!condition) throw InvariantViolation(message);
}
inline void invariant(bool condition, const std::string& message) {
    if (!condition) throw InvariantViolation(message);
}

}  // namespace rux_dp
