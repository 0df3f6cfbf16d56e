#pragma once

#include <string_view>

namespace rux_dp {

inline constexpr std::string_view tool_name = "rux-align";
inline constexpr std::string_view tool_version = "0.2.0-alpha.2";
inline constexpr std::string_view schema_version = "rux-align.v2";

}  // namespace rux_dp
