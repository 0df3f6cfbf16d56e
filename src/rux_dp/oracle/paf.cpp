#include "rux_dp/oracle/paf.hpp"

#include "rux_dp/oracle/external_records_detail.hpp"

#include <cstdint>
#include <utility>

namespace rux_dp {

namespace {

bool is_blank(std::string_view line) {
    for (const char c : line) {
        if (c != ' ' && (c < '\t' || c > '\r'))
            return false;
    }
    return true;
}

std::string line_text(std::uint64_t line) {
    return "PAF line " + std::to_string(line);
}

// One PAF line as a record with pair index `index`; `line` is its number in messages.
Result<AlignmentRecord> record_from_paf_line(std::string_view text, std::uint64_t line,
                                             std::uint64_t index, const ProblemSpec& problem,
                                             const SequenceMap& queries,
                                             const SequenceMap& targets) {
    const std::vector<std::string_view> fields = detail::split_tabs(text);
    if (fields.size() < 12)
        return std::unexpected(line_text(line) + " has fewer than 12 fields");
    if (fields[4] != "+")
        return std::unexpected(line_text(line) + " uses unsupported reverse strand");
    const auto query = queries.find(fields[0]);
    if (query == queries.end())
        return std::unexpected("PAF query id '" + std::string(fields[0])
                               + "' is missing from query sources");
    const auto target = targets.find(fields[5]);
    if (target == targets.end())
        return std::unexpected("PAF target id '" + std::string(fields[5])
                               + "' is missing from target sources");

    // Columns 2, 3, 4, 7, 8, 9, in that order.
    constexpr std::pair<std::size_t, std::string_view> coordinate_columns[] = {
        {1, "PAF query length"},  {2, "PAF query start"},  {3, "PAF query end"},
        {6, "PAF target length"}, {7, "PAF target start"}, {8, "PAF target end"}};
    std::uint64_t values[6] = {};
    for (std::size_t k = 0; k < 6; ++k) {
        auto value = parse_usize(fields[coordinate_columns[k].first], coordinate_columns[k].second);
        if (!value)
            return std::unexpected(std::move(value).error());
        values[k] = *value;
    }
    const auto [query_length, query_start, query_end, target_length, target_start, target_end] =
        values;

    auto tags = parse_tags(std::span(fields).subspan(12));
    if (!tags)
        return std::unexpected(std::move(tags).error());
    const auto cg = tags->find(std::string_view("cg"));
    if (cg == tags->end())
        return std::unexpected(line_text(line) + " is missing cg:Z");
    if (cg->second.type != 'Z')
        return std::unexpected(line_text(line) + " cg tag must use type Z");
    auto cigar = canonicalize_external_cigar(cg->second.value, query_start, target_start,
                                             query->second, target->second);
    if (!cigar)
        return std::unexpected(std::move(cigar).error());

    auto matches = parse_usize(fields[9], "PAF matching-base count");
    if (!matches)
        return std::unexpected(std::move(matches).error());
    auto block = parse_usize(fields[10], "PAF alignment block length");
    if (!block)
        return std::unexpected(std::move(block).error());
    const detail::CigarTotals totals = detail::cigar_totals(*cigar);
    if (*matches != totals.matches)
        return std::unexpected(line_text(line) + " reports " + std::to_string(*matches)
                               + " matching bases but cg:Z implies "
                               + std::to_string(totals.matches));
    if (*block != totals.columns)
        return std::unexpected(line_text(line) + " reports block length " + std::to_string(*block)
                               + " but cg:Z implies " + std::to_string(totals.columns));
    const std::uint64_t query_covered = query_end < query_start ? 0 : query_end - query_start;
    const std::uint64_t target_covered = target_end < target_start ? 0 : target_end - target_start;
    if (totals.query != query_covered || totals.target != target_covered)
        return std::unexpected(line_text(line) + " coordinates disagree with cg:Z consumption");

    if (auto nm = validate_nm_tag(*tags, *cigar, line, "PAF"); !nm)
        return std::unexpected(std::move(nm).error());
    auto objective = external_objective(problem.mode, *tags, line, "PAF");
    if (!objective)
        return std::unexpected(std::move(objective).error());

    return external_record(ExternalRecordInputs{.cigar = std::move(*cigar),
                                                .query_span = {query_start, query_end},
                                                .target_span = {target_start, target_end},
                                                .problem = problem,
                                                .objective = *objective,
                                                .query_id = query->first,
                                                .target_id = target->first,
                                                .query = query->second,
                                                .target = target->second,
                                                .format = "paf",
                                                .pair_index = index,
                                                .query_length = query_length,
                                                .target_length = target_length});
}

}  // namespace

Result<std::string> record_to_paf(const AlignmentRecord& record) {
    if (!record.alignment.trace)
        return std::unexpected("PAF requires a traceback");
    const TraceRecord& trace = *record.alignment.trace;
    const detail::CigarTotals totals = detail::cigar_totals(trace.cigar);
    std::string line;
    const auto field = [&line](std::string_view text) {
        line.append(text);
        line.push_back('\t');
    };
    field(record.pair.query.id);
    field(std::to_string(record.pair.query.length));
    field(std::to_string(trace.query_span.start));
    field(std::to_string(trace.query_span.end));
    field("+");
    field(record.pair.target.id);
    field(std::to_string(record.pair.target.length));
    field(std::to_string(trace.target_span.start));
    field(std::to_string(trace.target_span.end));
    field(std::to_string(totals.matches));
    field(std::to_string(totals.columns));
    field("255");
    field("cg:Z:" + trace.cigar.text());
    line.append("NM:i:" + std::to_string(totals.edits));
    // A distance is already the NM count.
    if (record.alignment.objective.kind == ObjectiveKind::score)
        line.append("\tAS:i:" + std::to_string(record.alignment.objective.value));
    line.push_back('\n');
    return line;
}

Result<std::vector<AlignmentRecord>> records_from_paf(std::string_view text,
                                                      const ProblemSpec& problem,
                                                      const SequenceMap& queries,
                                                      const SequenceMap& targets) {
    std::vector<AlignmentRecord> records;
    for (const std::string_view line : detail::split_lines(text)) {
        if (is_blank(line))
            continue;
        const std::uint64_t index = records.size();
        auto record = record_from_paf_line(line, index + 1, index, problem, queries, targets);
        if (!record)
            return std::unexpected(std::move(record).error());
        records.push_back(std::move(*record));
    }
    return records;
}

}  // namespace rux_dp
