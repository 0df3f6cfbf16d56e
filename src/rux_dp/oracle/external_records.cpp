#include "rux_dp/oracle/external_records.hpp"

#include "rux_dp/base/invariant.hpp"
#include "rux_dp/base/version.hpp"
#include "rux_dp/oracle/external_records_detail.hpp"
#include "rux_dp/oracle/integrity.hpp"

#include <array>
#include <limits>
#include <optional>
#include <utility>

namespace rux_dp {

namespace {

// The character at `pos` as UTF-8 text: the lead byte and the continuation bytes after it, so
// that messages quote whole characters and never swallow a following digit.
std::string_view utf8_char_at(std::string_view text, std::size_t pos) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    std::size_t width = 1;
    if (lead >= 0xF0) {
        width = 4;
    } else if (lead >= 0xE0) {
        width = 3;
    } else if (lead >= 0xC0) {
        width = 2;
    }
    std::size_t len = 1;
    while (len < width && pos + len < text.size()
           && (static_cast<unsigned char>(text[pos + len]) & 0xC0) == 0x80)
        ++len;
    return text.substr(pos, len);
}

std::string line_prefix(std::string_view format, std::uint64_t line) {
    return std::string(format) + " line " + std::to_string(line);
}

// Appends one base-pair column, merging it into the previous run of the same operation.
void push_column(std::vector<CigarRun>& runs, CigarOp op) {
    if (!runs.empty() && runs.back().op == op) {
        ++runs.back().length;
    } else {
        runs.push_back({1, op});
    }
}

}  // namespace

Result<std::uint64_t> parse_usize(std::string_view text, std::string_view field) {
    const std::optional<std::uint64_t> value = detail::parse_decimal<std::uint64_t>(text);
    if (!value)
        return std::unexpected(std::string(field) + " is not a non-negative integer");
    return *value;
}

Result<std::vector<RawCigarRun>> raw_cigar_runs(std::string_view text) {
    std::vector<RawCigarRun> runs;
    if (text.empty() || text == "*")
        return runs;
    std::uint64_t pending = 0;
    bool digit_seen = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char c = text[pos];
        if (c >= '0' && c <= '9') {
            const auto digit = static_cast<std::uint64_t>(c - '0');
            if (pending > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
                return std::unexpected("CIGAR run length overflowed usize");
            pending = pending * 10 + digit;
            digit_seen = true;
            ++pos;
            continue;
        }
        const std::string_view op = utf8_char_at(text, pos);
        if (!digit_seen || pending == 0)
            return std::unexpected("invalid CIGAR run before '" + std::string(op) + "'");
        runs.push_back({pending, std::string(op)});
        pending = 0;
        digit_seen = false;
        pos += op.size();
    }
    if (digit_seen)
        return std::unexpected("CIGAR ends with a length and no operation");
    return runs;
}

Result<Cigar> canonicalize_external_cigar(std::string_view cigar, std::uint64_t query_start,
                                          std::uint64_t target_start, std::string_view query,
                                          std::string_view target) {
    auto raw = raw_cigar_runs(cigar);
    if (!raw)
        return std::unexpected(std::move(raw).error());
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t qpos = query_start;
    std::uint64_t tpos = target_start;
    // Runs are merged as they are built, so an "M" over a long sequence costs one run per change
    // of operation rather than one per base.
    std::vector<CigarRun> runs;
    for (const RawCigarRun& run : *raw) {
        if (run.op == "M" || run.op == "=" || run.op == "X") {
            for (std::uint64_t k = 0; k < run.length; ++k) {
                if (qpos >= query.size())
                    return std::unexpected("external CIGAR consumes query out of bounds");
                if (tpos >= target.size())
                    return std::unexpected("external CIGAR consumes target out of bounds");
                const bool equal = query[qpos] == target[tpos];
                if (run.op == "X" && equal)
                    return std::unexpected("external CIGAR 'X' disagrees with source bases");
                if (run.op == "=" && !equal)
                    return std::unexpected("external CIGAR '=' disagrees with source bases");
                push_column(runs, equal ? CigarOp::match : CigarOp::mismatch);
                ++qpos;
                ++tpos;
            }
        } else if (run.op == "I") {
            runs.push_back({run.length, CigarOp::insertion});
            if (qpos > max - run.length)
                return std::unexpected("query coordinate overflow");
            qpos += run.length;
        } else if (run.op == "D") {
            runs.push_back({run.length, CigarOp::deletion});
            if (tpos > max - run.length)
                return std::unexpected("target coordinate overflow");
            tpos += run.length;
        } else {
            return std::unexpected("unsupported external CIGAR operation '" + run.op + "'");
        }
    }
    return Cigar::make(std::move(runs));
}

Result<TagMap> parse_tags(std::span<const std::string_view> fields) {
    TagMap tags;
    for (const std::string_view field : fields) {
        const std::size_t first = field.find(':');
        const std::size_t second =
            first == std::string_view::npos ? first : field.find(':', first + 1);
        if (second == std::string_view::npos || first != 2 || second != first + 2)
            return std::unexpected("malformed optional tag '" + std::string(field) + "'");
        std::string name(field.substr(0, 2));
        if (tags.contains(name))
            return std::unexpected("duplicate optional tag '" + name + "'");
        tags.emplace(std::move(name),
                     TagValue{.type = field[3], .value = std::string(field.substr(second + 1))});
    }
    return tags;
}

Result<std::string> integer_tag(const TagMap& tags, std::string_view name, std::uint64_t line,
                                std::string_view format) {
    const auto it = tags.find(name);
    if (it == tags.end())
        return std::unexpected(line_prefix(format, line) + " is missing " + std::string(name)
                               + ":i");
    if (it->second.type != 'i')
        return std::unexpected(line_prefix(format, line) + " tag " + std::string(name)
                               + " must use integer type i");
    return it->second.value;
}

Result<void> validate_nm_tag(const TagMap& tags, const Cigar& cigar, std::uint64_t line,
                             std::string_view format) {
    if (!tags.contains(std::string_view("NM")))
        return {};
    auto text = integer_tag(tags, "NM", line, format);
    if (!text)
        return std::unexpected(std::move(text).error());
    const std::optional<std::uint64_t> reported = detail::parse_decimal<std::uint64_t>(*text);
    if (!reported)
        return std::unexpected(line_prefix(format, line) + " has invalid NM:i");
    const std::uint64_t implied = detail::cigar_totals(cigar).edits;
    if (*reported != implied)
        return std::unexpected(line_prefix(format, line)
                               + " reports NM:i:" + std::to_string(*reported)
                               + " but CIGAR and sources imply " + std::to_string(implied));
    return {};
}

Result<Objective> external_objective(AlignmentMode mode, const TagMap& tags, std::uint64_t line,
                                     std::string_view format) {
    const bool distance = mode == AlignmentMode::edit_distance;
    const std::string_view name = distance ? "NM" : "AS";
    auto text = integer_tag(tags, name, line, format);
    if (!text)
        return std::unexpected(std::move(text).error());
    const std::optional<std::int64_t> value = detail::parse_decimal<std::int64_t>(*text);
    if (!value)
        return std::unexpected(line_prefix(format, line) + " has invalid " + std::string(name)
                               + ":i");
    return Objective{.kind = distance ? ObjectiveKind::distance : ObjectiveKind::score,
                     .value = *value};
}

AlignmentRecord external_record(const ExternalRecordInputs& inputs) {
    return AlignmentRecord{
        .schema_version = std::string(schema_version),
        .record_type = "alignment",
        .producer = Producer{.name = "external-" + std::string(inputs.format),
                             .version = "unknown",
                             .commit = std::nullopt,
                             .backend = "external"},
        .pair = PairIdentity{.index = inputs.pair_index,
                             .query = SequenceIdentity{.id = inputs.query_id,
                                                       .length = inputs.query_length,
                                                       .sha256 = sha256_hex(inputs.query)},
                             .target = SequenceIdentity{.id = inputs.target_id,
                                                        .length = inputs.target_length,
                                                        .sha256 = sha256_hex(inputs.target)}},
        .problem = inputs.problem,
        .alignment = AlignmentResult{.objective = inputs.objective,
                                     .trace = TraceRecord{.query_span = inputs.query_span,
                                                          .target_span = inputs.target_span,
                                                          .cigar = inputs.cigar,
                                                          .operations = std::nullopt}},
        .verification = VerificationSummary{.level = VerificationLevel::structure,
                                            .status = VerificationStatus::inconclusive,
                                            .checks = {},
                                            .reference_backend = std::nullopt,
                                            .reason = "record has not yet been verified"},
        .metrics = std::nullopt,
        .integrity = std::nullopt};
}

}  // namespace rux_dp
