#pragma once

#include <optional>
#include <string>
#include <variant>

#include "rux_align/writer.hpp"
#include "rux_dp/batch/error_record.hpp"
#include "rux_dp/oracle/records.hpp"

namespace rux_align {

/// Frames JSON records as one document ("[]", a lone object, or an array with one record per
/// line) or as JSON Lines (flushed per record).
class JsonStream {
public:
    JsonStream(Writer writer, bool jsonl) : writer_(std::move(writer)), jsonl_(jsonl) {}

    /// Writes one serialised record (compact JSON, no newline).
    [[nodiscard]] rux_dp::Result<void> push_serialized(const std::string& bytes);
    template <class Record>
    [[nodiscard]] rux_dp::Result<void> push(const Record& record);
    /// Closes the framing and flushes.
    [[nodiscard]] rux_dp::Result<void> finish();

    bool jsonl() const { return jsonl_; }

private:
    std::optional<std::string> pending_;
    Writer writer_;
    bool jsonl_ = false;
    bool opened_ = false;
};

/// "Verified", "Invalid", "Inconclusive", "Error".
std::string_view status_title(rux_dp::VerificationStatus status);
/// "Structure", "Score", "Optimal".
std::string_view level_title(rux_dp::VerificationLevel level);

/// The text block of one alignment record in a text report.
std::string solve_text_block(const rux_dp::AlignmentRecord& record);
std::string verification_text_block(const rux_dp::VerificationReport& report);
std::string comparison_text_block(const rux_dp::ComparisonReport& report);

/// The JSON Lines error sidecar of `--errors`; absent when not asked for.
class ErrorSidecar {
public:
    [[nodiscard]] static rux_dp::Result<ErrorSidecar> open(const std::optional<std::string>& path);
    /// Writes one record and drains it to the file; false when there is no sidecar.
    [[nodiscard]] rux_dp::Result<bool> push(const rux_dp::ErrorRecord& record);
    [[nodiscard]] rux_dp::Result<void> finish();

private:
    std::optional<Writer> writer_;
};

/// The report sink of verify and compare: text, JSON or JSON Lines.
class ReportOutput {
public:
    static ReportOutput text(Writer writer) { return ReportOutput(std::move(writer)); }
    static ReportOutput json(JsonStream stream) { return ReportOutput(std::move(stream)); }

    [[nodiscard]] rux_dp::Result<void> push_verification(const rux_dp::VerificationReport& report);
    [[nodiscard]] rux_dp::Result<void> push_comparison(const rux_dp::ComparisonReport& report);
    /// Pushes an error record inline when this is a JSON Lines stream; false otherwise.
    [[nodiscard]] rux_dp::Result<bool> push_inline_error(const rux_dp::ErrorRecord& record);
    [[nodiscard]] rux_dp::Result<void> finish();

private:
    explicit ReportOutput(Writer writer) : out_(std::move(writer)) {}
    explicit ReportOutput(JsonStream stream) : out_(std::move(stream)) {}
    std::variant<Writer, JsonStream> out_;
};

}  // namespace rux_align
