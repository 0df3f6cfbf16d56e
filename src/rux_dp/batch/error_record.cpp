#include "rux_dp/batch/error_record.hpp"

#include <utility>

#include "rux_dp/base/version.hpp"

namespace rux_dp {

std::string_view stage_name(ErrorStage stage) {
    switch (stage) {
        case ErrorStage::input_parse:
            return "input_parse";
        case ErrorStage::record_parse:
            return "record_parse";
        case ErrorStage::resolve:
            return "resolve";
        case ErrorStage::solve:
            return "solve";
        case ErrorStage::verify:
            return "verify";
        case ErrorStage::compare:
            return "compare";
        case ErrorStage::serialize:
            return "serialize";
        case ErrorStage::worker:
            return "worker";
    }
    return "worker";
}

ErrorRecord ErrorRecord::make(ErrorStage stage, std::string code, std::string message,
                              ErrorContext context) {
    return ErrorRecord{
        .schema_version = std::string(rux_dp::schema_version),
        .record_type = "error",
        .producer = Producer::rux_align("batch"),
        .context = std::move(context),
        .error = ErrorDetail{.stage = stage,
                             .code = std::move(code),
                             .message = std::move(message),
                             .recoverable = true},
    };
}

}  // namespace rux_dp
