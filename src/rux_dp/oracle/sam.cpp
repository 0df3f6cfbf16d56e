#include "rux_dp/oracle/sam.hpp"

#include "rux_dp/oracle/external_records_detail.hpp"

#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

namespace rux_dp {

namespace {

std::string line_text(std::uint64_t line) {
    return "SAM line " + std::to_string(line);
}

// One SAM alignment line as a record with pair index `index`; `line` is its number in messages.
Result<AlignmentRecord> record_from_sam_line(std::string_view text, std::uint64_t line,
                                             std::uint64_t index, const ProblemSpec& problem,
                                             const SequenceMap& queries,
                                             const SequenceMap& targets) {
    const std::vector<std::string_view> fields = detail::split_tabs(text);
    if (fields.size() < 11)
        return std::unexpected(line_text(line) + " has fewer than 11 fields");

    const std::optional<std::uint16_t> flag = detail::parse_decimal<std::uint16_t>(fields[1]);
    if (!flag)
        return std::unexpected(line_text(line) + " has invalid FLAG");
    if ((*flag & 0x4) != 0)
        return std::unexpected(line_text(line) + " is unmapped");
    if ((*flag & 0x10) != 0)
        return std::unexpected(line_text(line) + " uses unsupported reverse strand");

    const auto query = queries.find(fields[0]);
    if (query == queries.end())
        return std::unexpected("SAM query id '" + std::string(fields[0])
                               + "' is missing from query sources");
    const auto target = targets.find(fields[2]);
    if (target == targets.end())
        return std::unexpected("SAM target id '" + std::string(fields[2])
                               + "' is missing from target sources");

    const std::optional<std::uint64_t> pos = detail::parse_decimal<std::uint64_t>(fields[3]);
    if (!pos)
        return std::unexpected(line_text(line) + " has invalid POS");
    if (*pos == 0)
        return std::unexpected(line_text(line) + " POS must be positive");
    const std::uint64_t target_start = *pos - 1;

    auto runs = raw_cigar_runs(fields[5]);
    if (!runs)
        return std::unexpected(std::move(runs).error());
    // A lone "S" run is a trailing clip only: an empty alignment at the start of the query is
    // written as "mS", and counting the run twice would give the span (m, 0).
    const std::size_t count = runs->size();
    const bool leading = count > 1 && runs->front().op == "S";
    const bool trailing = count > 0 && runs->back().op == "S";
    const std::uint64_t leading_clip = leading ? runs->front().length : 0;
    const std::uint64_t trailing_clip = trailing ? runs->back().length : 0;
    for (std::size_t k = 1; k + 1 < count; ++k) {
        if ((*runs)[k].op == "S")
            return std::unexpected(line_text(line) + " has internal soft clipping");
    }
    std::string unclipped;
    for (std::size_t k = leading ? 1 : 0; k < (trailing ? count - 1 : count); ++k) {
        unclipped += std::to_string((*runs)[k].length);
        unclipped += (*runs)[k].op;
    }
    const std::string_view query_seq = query->second;
    const std::string_view target_seq = target->second;
    auto cigar =
        canonicalize_external_cigar(unclipped, leading_clip, target_start, query_seq, target_seq);
    if (!cigar)
        return std::unexpected(std::move(cigar).error());

    if (query_seq.size() < trailing_clip)
        return std::unexpected(line_text(line) + " clipping exceeds query length");
    const AlignmentSpan query_span{leading_clip, query_seq.size() - trailing_clip};

    const std::uint64_t consumed = detail::cigar_totals(*cigar).target;
    if (target_start > std::numeric_limits<std::uint64_t>::max() - consumed)
        return std::unexpected("SAM target coordinate overflow");
    const AlignmentSpan target_span{target_start, target_start + consumed};

    if (fields[9] != "*" && fields[9] != query_seq)
        return std::unexpected(line_text(line) + " SEQ does not match the resolved query source");

    auto tags = parse_tags(std::span(fields).subspan(11));
    if (!tags)
        return std::unexpected(std::move(tags).error());
    if (auto nm = validate_nm_tag(*tags, *cigar, line, "SAM"); !nm)
        return std::unexpected(std::move(nm).error());
    auto objective = external_objective(problem.mode, *tags, line, "SAM");
    if (!objective)
        return std::unexpected(std::move(objective).error());

    return external_record(ExternalRecordInputs{.cigar = std::move(*cigar),
                                                .query_span = query_span,
                                                .target_span = target_span,
                                                .problem = problem,
                                                .objective = *objective,
                                                .query_id = query->first,
                                                .target_id = target->first,
                                                .query = query_seq,
                                                .target = target_seq,
                                                .format = "sam",
                                                .pair_index = index,
                                                .query_length = query_seq.size(),
                                                .target_length = target_seq.size()});
}

void push_clip(std::string& cigar, std::uint64_t length) {
    cigar += std::to_string(length);
    cigar.push_back('S');
}

}  // namespace

Result<std::string> record_to_sam(const AlignmentRecord& record, std::string_view query) {
    if (!record.alignment.trace)
        return std::unexpected("SAM requires a traceback");
    if (query.size() != record.pair.query.length)
        return std::unexpected("query sequence '" + record.pair.query.id + "' has length "
                               + std::to_string(query.size()) + " but record declares "
                               + std::to_string(record.pair.query.length));
    const TraceRecord& trace = *record.alignment.trace;

    std::string cigar;
    if (trace.query_span.start > 0)
        push_clip(cigar, trace.query_span.start);
    cigar += trace.cigar.text();
    if (trace.query_span.end < query.size())
        push_clip(cigar, query.size() - trace.query_span.end);
    if (cigar.empty())
        cigar = "*";

    // POS is 1-based; a start at the largest 64-bit value still gets its true successor.
    const std::uint64_t start = trace.target_span.start;
    const std::string pos = start == std::numeric_limits<std::uint64_t>::max()
                                ? std::string("18446744073709551616")
                                : std::to_string(start + 1);

    std::string line;
    for (const std::string_view field :
         {std::string_view(record.pair.query.id), std::string_view("0"),
          std::string_view(record.pair.target.id), std::string_view(pos), std::string_view("255"),
          std::string_view(cigar), std::string_view("*"), std::string_view("0"),
          std::string_view("0"), query}) {
        line.append(field);
        line.push_back('\t');
    }
    line.push_back('*');
    if (record.alignment.objective.kind == ObjectiveKind::score)
        line.append("\tAS:i:" + std::to_string(record.alignment.objective.value));
    line.append("\tNM:i:" + std::to_string(detail::cigar_totals(trace.cigar).edits));
    line.push_back('\n');
    return line;
}

Result<std::vector<AlignmentRecord>> records_from_sam(std::string_view text,
                                                      const ProblemSpec& problem,
                                                      const SequenceMap& queries,
                                                      const SequenceMap& targets) {
    std::vector<AlignmentRecord> records;
    std::uint64_t line_number = 0;
    for (const std::string_view line : detail::split_lines(text)) {
        ++line_number;
        if (line.empty() || line.front() == '@')
            continue;
        auto record =
            record_from_sam_line(line, line_number, records.size(), problem, queries, targets);
        if (!record)
            return std::unexpected(std::move(record).error());
        records.push_back(std::move(*record));
    }
    return records;
}

}  // namespace rux_dp
