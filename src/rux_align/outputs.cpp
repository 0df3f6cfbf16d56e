#include "rux_align/outputs.hpp"

#include "rux_dp/batch/error_record_json.hpp"
#include "rux_dp/oracle/json_writer.hpp"

namespace rux_align {

using rux_dp::Result;

Result<void> JsonStream::push_serialized(const std::string& bytes) {
    if (jsonl_) {
        auto written = writer_.write_all(bytes);
        if (written) written = writer_.write_all("\n");
        if (!written) return std::unexpected("failed to write JSONL output: " + written.error());
        if (auto flushed = writer_.flush(); !flushed)
            return std::unexpected("failed to flush JSONL output: " + flushed.error());
        return {};
    }
    Result<void> written;
    if (pending_) {
        std::string block = "[\n";
        block += *pending_;
        block += ",\n";
        block += bytes;
        pending_.reset();
        opened_ = true;
        written = writer_.write_all(block);
    } else if (opened_) {
        written = writer_.write_all(",\n");
        if (written) written = writer_.write_all(bytes);
    } else {
        pending_ = bytes;
    }
    if (!written) return std::unexpected("failed to write JSON output: " + written.error());
    return {};
}

template <class Record>
Result<void> JsonStream::push(const Record& record) {
    std::string bytes;
    bytes.reserve(128);
    rux_dp::write_json(bytes, record);
    return push_serialized(bytes);
}

template Result<void> JsonStream::push(const rux_dp::AlignmentRecord&);
template Result<void> JsonStream::push(const rux_dp::VerificationReport&);
template Result<void> JsonStream::push(const rux_dp::ComparisonReport&);
template Result<void> JsonStream::push(const rux_dp::ErrorRecord&);

Result<void> JsonStream::finish() {
    if (!jsonl_) {
        Result<void> written;
        if (pending_) {
            *pending_ += '\n';
            written = writer_.write_all(*pending_);
            pending_.reset();
        } else if (opened_) {
            written = writer_.write_all("\n]\n");
        } else {
            written = writer_.write_all("[]\n");
        }
        if (!written) return std::unexpected("failed to finish JSON output: " + written.error());
    }
    if (auto flushed = writer_.flush(); !flushed)
        return std::unexpected("failed to flush output: " + flushed.error());
    return {};
}

std::string_view status_title(rux_dp::VerificationStatus status) {
    switch (status) {
        case rux_dp::VerificationStatus::verified:
            return "Verified";
        case rux_dp::VerificationStatus::invalid:
            return "Invalid";
        case rux_dp::VerificationStatus::inconclusive:
            return "Inconclusive";
        case rux_dp::VerificationStatus::error:
            return "Error";
    }
    return "Error";
}

std::string_view level_title(rux_dp::VerificationLevel level) {
    switch (level) {
        case rux_dp::VerificationLevel::structure:
            return "Structure";
        case rux_dp::VerificationLevel::score:
            return "Score";
        case rux_dp::VerificationLevel::optimal:
            return "Optimal";
    }
    return "Optimal";
}

std::string solve_text_block(const rux_dp::AlignmentRecord& record) {
    std::string block = record.pair.query.id + " vs " + record.pair.target.id;
    block += "\nmode: ";
    block += rux_dp::mode_name(record.problem.mode);
    block += "\nbackend: " + record.producer.backend;
    block += "\nobjective: " + std::to_string(record.alignment.objective.value) + "\n";
    if (const auto& trace = record.alignment.trace) {
        block += "query: [" + std::to_string(trace->query_span.start) + ".." +
                 std::to_string(trace->query_span.end) + "), target: [" +
                 std::to_string(trace->target_span.start) + ".." +
                 std::to_string(trace->target_span.end) + ")\ncigar: " + trace->cigar.text() +
                 "\n";
    }
    block += "status: ";
    block += status_title(record.verification.status);
    block += "\n\n";
    return block;
}

std::string verification_text_block(const rux_dp::VerificationReport& report) {
    std::string block = report.pair.query.id + " vs " + report.pair.target.id + ": ";
    block += status_title(report.verification.status);
    block += " (";
    block += level_title(report.verification.level);
    block += ")\n";
    for (const auto& check : report.verification.checks) {
        block += "  " + check.name + ": " + (check.passed ? "passed" : "failed");
        if (check.detail) block += " (" + *check.detail + ")";
        block += '\n';
    }
    if (report.verification.reason) block += "  reason: " + *report.verification.reason + "\n";
    return block;
}

std::string comparison_text_block(const rux_dp::ComparisonReport& report) {
    const auto flag = [](bool b) { return b ? "true" : "false"; };
    std::string block = report.pair.query.id + " vs " + report.pair.target.id +
                        ": equivalent=" + flag(report.equivalent) +
                        " objectives_equal=" + flag(report.objectives_equal) +
                        " traces_equal=" + flag(report.traces_equal) + "\n";
    for (const auto& difference : report.differences) block += "  " + difference + "\n";
    return block;
}

Result<ErrorSidecar> ErrorSidecar::open(const std::optional<std::string>& path) {
    ErrorSidecar sidecar;
    if (!path) return sidecar;
    auto writer = Writer::create(*path);
    if (!writer)
        return std::unexpected("failed to create error sidecar " + *path + ": " + writer.error());
    sidecar.writer_.emplace(std::move(*writer));
    return sidecar;
}

Result<bool> ErrorSidecar::push(const rux_dp::ErrorRecord& record) {
    if (!writer_) return false;
    std::string bytes;
    rux_dp::write_json(bytes, record);
    bytes += '\n';
    auto written = writer_->write_all(bytes);
    if (written) written = writer_->flush();
    if (!written) return std::unexpected("failed to write error sidecar: " + written.error());
    return true;
}

Result<void> ErrorSidecar::finish() {
    if (!writer_) return {};
    if (auto flushed = writer_->flush(); !flushed)
        return std::unexpected("failed to flush error sidecar: " + flushed.error());
    return {};
}

Result<void> ReportOutput::push_verification(const rux_dp::VerificationReport& report) {
    if (auto* stream = std::get_if<JsonStream>(&out_)) return stream->push(report);
    auto written = std::get<Writer>(out_).write_all(verification_text_block(report));
    if (!written) return std::unexpected("failed to write report: " + written.error());
    return {};
}

Result<void> ReportOutput::push_comparison(const rux_dp::ComparisonReport& report) {
    if (auto* stream = std::get_if<JsonStream>(&out_)) return stream->push(report);
    auto written = std::get<Writer>(out_).write_all(comparison_text_block(report));
    if (!written) return std::unexpected("failed to write report: " + written.error());
    return {};
}

Result<bool> ReportOutput::push_inline_error(const rux_dp::ErrorRecord& record) {
    auto* stream = std::get_if<JsonStream>(&out_);
    if (stream == nullptr || !stream->jsonl()) return false;
    if (auto pushed = stream->push(record); !pushed) return std::unexpected(pushed.error());
    return true;
}

Result<void> ReportOutput::finish() {
    if (auto* stream = std::get_if<JsonStream>(&out_)) return stream->finish();
    if (auto flushed = std::get<Writer>(out_).flush(); !flushed)
        return std::unexpected("failed to flush report: " + flushed.error());
    return {};
}

}  // namespace rux_align
