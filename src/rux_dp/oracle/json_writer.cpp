#include "rux_dp/oracle/json_writer.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <type_traits>
#include <variant>

namespace rux_dp {

namespace {

constexpr std::string_view replacement_character = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

bool is_continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// Length of the UTF-8 sequence at `pos` (a byte of 0x80 or above). `valid` tells whether it is a
// well-formed sequence; if not, the length is that of its maximal ill-formed prefix (at least 1),
// which is what one U+FFFD replaces (Unicode 15, section 3.9, "U+FFFD Substitution of Maximal
// Subparts").
struct Utf8Sequence {
    bool valid = false;
    std::size_t length = 1;
};
Utf8Sequence utf8_sequence_at(std::string_view text, std::size_t pos) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    std::size_t width = 0;
    unsigned char second_low = 0x80;
    unsigned char second_high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        width = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        width = 3;
        if (lead == 0xE0)
            second_low = 0xA0;  // no overlong forms
        if (lead == 0xED)
            second_high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        width = 4;
        if (lead == 0xF0)
            second_low = 0x90;  // no overlong forms
        if (lead == 0xF4)
            second_high = 0x8F;  // nothing above U+10FFFF
    } else {
        return {};
    }
    std::size_t length = 1;
    for (; length < width; ++length) {
        if (pos + length >= text.size())
            return {.valid = false, .length = length};
        const auto byte = static_cast<unsigned char>(text[pos + length]);
        const bool ok =
            length == 1 ? byte >= second_low && byte <= second_high : is_continuation(byte);
        if (!ok)
            return {.valid = false, .length = length};
    }
    return {.valid = true, .length = width};
}

// A code point as UTF-8; surrogates and values above U+10FFFF become U+FFFD.
void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
        out += replacement_character;
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void write_base(std::string& out, const std::optional<char32_t>& base) {
    if (!base) {
        out += "null";
        return;
    }
    std::string text;
    append_utf8(text, *base);
    write_json_string(out, text);
}

void write_optional_uint(std::string& out, const std::optional<std::uint64_t>& value) {
    if (value) {
        write_json_uint(out, *value);
    } else {
        out += "null";
    }
}

void write_json_string_list(std::string& out, const std::vector<std::string>& texts) {
    out.push_back('[');
    for (std::size_t k = 0; k < texts.size(); ++k) {
        if (k != 0)
            out.push_back(',');
        write_json_string(out, texts[k]);
    }
    out.push_back(']');
}

template <class T>
void write_json_list(std::string& out, const std::vector<T>& values) {
    out.push_back('[');
    for (std::size_t k = 0; k < values.size(); ++k) {
        if (k != 0)
            out.push_back(',');
        write_json(out, values[k]);
    }
    out.push_back(']');
}

}  // namespace

void write_json_string(std::string& out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    out.push_back('"');
    std::size_t plain = 0;  // start of the pending run of bytes copied unchanged
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto byte = static_cast<unsigned char>(text[pos]);
        if (byte >= 0x80) {
            const Utf8Sequence sequence = utf8_sequence_at(text, pos);
            if (sequence.valid) {
                pos += sequence.length;
                continue;
            }
            out.append(text.substr(plain, pos - plain));
            out += replacement_character;
            pos += sequence.length;
            plain = pos;
            continue;
        }
        if (byte >= 0x20 && byte != '"' && byte != '\\') {
            ++pos;
            continue;
        }
        out.append(text.substr(plain, pos - plain));
        switch (byte) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += "\\u00";
                out.push_back(hex[byte >> 4]);
                out.push_back(hex[byte & 0x0F]);
                break;
        }
        ++pos;
        plain = pos;
    }
    out.append(text.substr(plain));
    out.push_back('"');
}

void write_json_uint(std::string& out, std::uint64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

void write_json_int(std::string& out, std::int64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

void write_json_double(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    // Without a format argument, to_chars gives the shortest text that round-trips (plain or
    // exponent form, whichever is shorter); both are valid JSON numbers.
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    out.append(text, end);
}

void write_json(std::string& out, const Cigar& cigar) {
    // CIGAR characters and digits never need escaping.
    out.push_back('"');
    for (const CigarRun& run : cigar.runs())
        push_cigar_run(out, run.length, run.op);
    out.push_back('"');
}

void write_json(std::string& out, const AlignmentStep& step) {
    out += "{\"op\":\"";
    out += op_kind_name(step.op);
    out += "\",\"query_pos\":";
    write_optional_uint(out, step.query_pos);
    out += ",\"target_pos\":";
    write_optional_uint(out, step.target_pos);
    out += ",\"query_base\":";
    write_base(out, step.query_base);
    out += ",\"target_base\":";
    write_base(out, step.target_base);
    out.push_back('}');
}

void write_json(std::string& out, const AlignmentSpan& span) {
    out += "{\"start\":";
    write_json_uint(out, span.start);
    out += ",\"end\":";
    write_json_uint(out, span.end);
    out.push_back('}');
}

void write_json(std::string& out, const SequenceIdentity& identity) {
    out += "{\"id\":";
    write_json_string(out, identity.id);
    out += ",\"length\":";
    write_json_uint(out, identity.length);
    out += ",\"sha256\":";
    write_json_string(out, identity.sha256);
    out.push_back('}');
}

void write_json(std::string& out, const PairIdentity& pair) {
    out += "{\"index\":";
    write_json_uint(out, pair.index);
    out += ",\"query\":";
    write_json(out, pair.query);
    out += ",\"target\":";
    write_json(out, pair.target);
    out.push_back('}');
}

void write_json(std::string& out, const SubstitutionScheme& scheme) {
    std::visit(
        [&out](const auto& s) {
            using S = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<S, MatchMismatchScheme>) {
                out += "{\"kind\":\"match-mismatch\",\"match_score\":";
                write_json_int(out, s.match_score);
                out += ",\"mismatch_penalty\":";
                write_json_int(out, s.mismatch_penalty);
                out.push_back('}');
            } else if constexpr (std::is_same_v<S, Blosum62Scheme>) {
                out += "{\"kind\":\"blosum62\"}";
            } else {
                out += "{\"kind\":\"matrix\",\"name\":";
                write_json_string(out, s.name);
                out += ",\"alphabet\":";
                write_json_string_list(out, s.alphabet);
                out += ",\"scores\":[";
                for (std::size_t r = 0; r < s.scores.size(); ++r) {
                    if (r != 0)
                        out.push_back(',');
                    out.push_back('[');
                    for (std::size_t c = 0; c < s.scores[r].size(); ++c) {
                        if (c != 0)
                            out.push_back(',');
                        write_json_int(out, s.scores[r][c]);
                    }
                    out.push_back(']');
                }
                out.push_back(']');
                if (s.source_sha256) {
                    out += ",\"source_sha256\":";
                    write_json_string(out, *s.source_sha256);
                }
                out.push_back('}');
            }
        },
        scheme);
}

void write_json(std::string& out, const ScoringScheme& scheme) {
    std::visit(
        [&out](const auto& s) {
            using S = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<S, EditDistanceScoring>) {
                out += "{\"kind\":\"edit-distance\"}";
            } else if constexpr (std::is_same_v<S, LinearScoring>) {
                out += "{\"kind\":\"linear\",\"substitution\":";
                write_json(out, s.substitution);
                out += ",\"gap\":";
                write_json_int(out, s.gap);
                out.push_back('}');
            } else {
                out += "{\"kind\":\"affine\",\"substitution\":";
                write_json(out, s.substitution);
                out += ",\"gap_open\":";
                write_json_int(out, s.gap_open);
                out += ",\"gap_extend\":";
                write_json_int(out, s.gap_extend);
                out.push_back('}');
            }
        },
        scheme);
}

void write_json(std::string& out, const ProblemSpec& problem) {
    out += "{\"mode\":\"";
    out += mode_name(problem.mode);
    out += "\",\"scoring\":";
    write_json(out, problem.scoring);
    out.push_back('}');
}

void write_json(std::string& out, const Producer& producer) {
    out += "{\"name\":";
    write_json_string(out, producer.name);
    out += ",\"version\":";
    write_json_string(out, producer.version);
    if (producer.commit) {
        out += ",\"commit\":";
        write_json_string(out, *producer.commit);
    }
    out += ",\"backend\":";
    write_json_string(out, producer.backend);
    out.push_back('}');
}

void write_json(std::string& out, const Objective& objective) {
    out += "{\"kind\":\"";
    out += objective_kind_name(objective.kind);
    out += "\",\"value\":";
    write_json_int(out, objective.value);
    out.push_back('}');
}

void write_json(std::string& out, const TraceRecord& trace) {
    out += "{\"query_span\":";
    write_json(out, trace.query_span);
    out += ",\"target_span\":";
    write_json(out, trace.target_span);
    out += ",\"cigar\":";
    write_json(out, trace.cigar);
    if (trace.operations) {
        out += ",\"operations\":";
        write_json_list(out, *trace.operations);
    }
    out.push_back('}');
}

void write_json(std::string& out, const AlignmentResult& result) {
    out += "{\"objective\":";
    write_json(out, result.objective);
    if (result.trace) {
        out += ",\"trace\":";
        write_json(out, *result.trace);
    }
    out.push_back('}');
}

void write_json(std::string& out, const CheckResult& check) {
    out += "{\"name\":";
    write_json_string(out, check.name);
    out += check.passed ? ",\"passed\":true" : ",\"passed\":false";
    if (check.detail) {
        out += ",\"detail\":";
        write_json_string(out, *check.detail);
    }
    out.push_back('}');
}

void write_json(std::string& out, const VerificationSummary& summary) {
    out += "{\"level\":\"";
    out += level_name(summary.level);
    out += "\",\"status\":\"";
    out += status_name(summary.status);
    out += "\",\"checks\":";
    write_json_list(out, summary.checks);
    if (summary.reference_backend) {
        out += ",\"reference_backend\":";
        write_json_string(out, *summary.reference_backend);
    }
    if (summary.reason) {
        out += ",\"reason\":";
        write_json_string(out, *summary.reason);
    }
    out.push_back('}');
}

void write_json(std::string& out, const Metrics& metrics) {
    out += "{\"elapsed_ms\":";
    write_json_double(out, metrics.elapsed_ms);
    out += ",\"work_cells\":";
    write_json_uint(out, metrics.work_cells);
    out.push_back('}');
}

void write_json(std::string& out, const IntegrityFingerprint& fingerprint) {
    out += "{\"version\":";
    write_json_string(out, fingerprint.version);
    out += ",\"hash_algorithm\":";
    write_json_string(out, fingerprint.hash_algorithm);
    out += ",\"deterministic_fields_sha256\":";
    write_json_string(out, fingerprint.deterministic_fields_sha256);
    out.push_back('}');
}

void write_json(std::string& out, const AlignmentRecord& record) {
    out += "{\"schema_version\":";
    write_json_string(out, record.schema_version);
    out += ",\"record_type\":";
    write_json_string(out, record.record_type);
    out += ",\"producer\":";
    write_json(out, record.producer);
    out += ",\"pair\":";
    write_json(out, record.pair);
    out += ",\"problem\":";
    write_json(out, record.problem);
    out += ",\"alignment\":";
    write_json(out, record.alignment);
    out += ",\"verification\":";
    write_json(out, record.verification);
    if (record.metrics) {
        out += ",\"metrics\":";
        write_json(out, *record.metrics);
    }
    if (record.integrity) {
        out += ",\"integrity\":";
        write_json(out, *record.integrity);
    }
    out.push_back('}');
}

void write_json(std::string& out, const VerificationReport& report) {
    out += "{\"schema_version\":";
    write_json_string(out, report.schema_version);
    out += ",\"record_type\":";
    write_json_string(out, report.record_type);
    out += ",\"pair\":";
    write_json(out, report.pair);
    out += ",\"problem\":";
    write_json(out, report.problem);
    out += ",\"submitted\":";
    write_json(out, report.submitted);
    out += ",\"verification\":";
    write_json(out, report.verification);
    out += ",\"metrics\":";
    write_json(out, report.metrics);
    out.push_back('}');
}

void write_json(std::string& out, const ComparisonInputs& inputs) {
    out += "{\"query\":";
    write_json_string(out, inputs.query);
    out += ",\"target\":";
    write_json_string(out, inputs.target);
    out.push_back('}');
}

void write_json(std::string& out, const ComparisonReport& report) {
    out += "{\"schema_version\":";
    write_json_string(out, report.schema_version);
    out += ",\"record_type\":";
    write_json_string(out, report.record_type);
    out += ",\"inputs\":";
    write_json(out, report.inputs);
    out += ",\"pair\":";
    write_json(out, report.pair);
    out += ",\"problem\":";
    write_json(out, report.problem);
    out += ",\"left\":";
    write_json(out, report.left);
    out += ",\"right\":";
    write_json(out, report.right);
    out += report.objectives_equal ? ",\"objectives_equal\":true" : ",\"objectives_equal\":false";
    out += report.traces_equal ? ",\"traces_equal\":true" : ",\"traces_equal\":false";
    out += report.equivalent ? ",\"equivalent\":true" : ",\"equivalent\":false";
    out += ",\"differences\":";
    write_json_string_list(out, report.differences);
    out.push_back('}');
}

}  // namespace rux_dp
