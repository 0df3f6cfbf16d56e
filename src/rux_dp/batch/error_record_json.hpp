#pragma once

#include "rux_dp/batch/error_record.hpp"

#include <string>

namespace rux_dp {

/// Compact JSON of an error record, keys in field order; absent context fields are left out, so
/// an empty context is {}.
void write_json(std::string& out, const ErrorContext& context);
void write_json(std::string& out, const ErrorDetail& detail);
void write_json(std::string& out, const ErrorRecord& record);

}  // namespace rux_dp
