#pragma once

#include <expected>
#include <string>

namespace rux_dp {

/// The result of a fallible operation: a value, or a one-line message.
template <class T>
using Result = std::expected<T, std::string>;

}  // namespace rux_dp
