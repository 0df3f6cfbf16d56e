#include "rux_align/solve_output.hpp"

#include "rux_dp/oracle/paf.hpp"

namespace rux_align {

using rux_dp::Result;

Result<void> SolveOutput::push(const rux_dp::AlignmentRecord& record,
                               const std::optional<std::string>& query) {
    if (auto* stream = std::get_if<JsonStream>(&out_)) return stream->push(record);
    if (auto* plain = std::get_if<Plain>(&out_)) {
        std::string block;
        if (plain->paf) {
            auto line = rux_dp::record_to_paf(record);
            if (!line) return std::unexpected(std::move(line).error());
            block = std::move(*line);
        } else {
            block = solve_text_block(record);
        }
        if (auto written = plain->writer.write_all(block); !written)
            return std::unexpected("failed to write output: " + written.error());
        return {};
    }
    auto& sam = std::get<Sam>(out_);
    if (!query) return std::unexpected("SAM output requires the query sequence");
    return sam.spool.push(record, *query);
}

Result<bool> SolveOutput::push_inline_error(const rux_dp::ErrorRecord& record) {
    auto* stream = std::get_if<JsonStream>(&out_);
    if (stream == nullptr || !stream->jsonl()) return false;
    if (auto pushed = stream->push(record); !pushed) return std::unexpected(pushed.error());
    return true;
}

Result<void> SolveOutput::finish() {
    if (auto* stream = std::get_if<JsonStream>(&out_)) return stream->finish();
    if (auto* plain = std::get_if<Plain>(&out_)) {
        if (auto flushed = plain->writer.flush(); !flushed)
            return std::unexpected("failed to flush output: " + flushed.error());
        return {};
    }
    auto& sam = std::get<Sam>(out_);
    if (auto finished = std::move(sam.spool).finish(sam.writer); !finished) return finished;
    if (auto flushed = sam.writer.flush(); !flushed)
        return std::unexpected("failed to flush SAM output: " + flushed.error());
    return {};
}

}  // namespace rux_align
