#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "rux_dp/oracle/records.hpp"

namespace rux_dp {

enum class ErrorStage : std::uint8_t {
    input_parse,
    record_parse,
    resolve,
    solve,
    verify,
    compare,
    serialize,
    worker
};

/// "input_parse", "record_parse", ... "worker".
std::string_view stage_name(ErrorStage stage);

struct ErrorContext {
    std::optional<std::uint64_t> pair_index;
    std::optional<std::string> query_id;
    std::optional<std::string> target_id;
    std::optional<std::uint64_t> source_line;  // one-based
    bool operator==(const ErrorContext&) const = default;
};

struct ErrorDetail {
    ErrorStage stage = ErrorStage::worker;
    std::string code;  // stable snake_case identifier
    std::string message;
    bool recoverable = true;
    bool operator==(const ErrorDetail&) const = default;
};

/// A problem with one input record or pair. `recoverable` false means its raiser has stopped and
/// the batch stops after emitting it.
struct ErrorRecord {
    std::string schema_version;
    std::string record_type;
    Producer producer;
    ErrorContext context;
    ErrorDetail error;

    /// A recoverable record with this program as producer (backend "batch").
    static ErrorRecord make(ErrorStage stage, std::string code, std::string message,
                            ErrorContext context);

    bool operator==(const ErrorRecord&) const = default;
};

}  // namespace rux_dp
