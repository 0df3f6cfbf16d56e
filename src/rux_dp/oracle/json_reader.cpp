#include "rux_dp/oracle/json_reader.hpp"

#include "rux_dp/oracle/json_writer.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace rux_dp {

namespace {

// Insertion-ordered objects, so that errors are found in document order.
using Json = nlohmann::ordered_json;

// nlohmann prefixes its messages with "[json.exception.parse_error.101] "; the rest is the text.
std::string without_exception_tag(std::string_view what) {
    if (what.starts_with("[json.exception.")) {
        const std::size_t end = what.find("] ");
        if (end != std::string_view::npos)
            what.remove_prefix(end + 2);
    }
    return std::string(what);
}

// Control characters escaped as in JSON, so that names quoted in messages keep them one line.
std::string message_text(std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte >= 0x20 && byte != 0x7F) {
            out.push_back(ch);
        } else if (ch == '\n') {
            out += "\\n";
        } else if (ch == '\t') {
            out += "\\t";
        } else if (ch == '\r') {
            out += "\\r";
        } else {
            out += "\\u00";
            out.push_back(hex[byte >> 4]);
            out.push_back(hex[byte & 0x0F]);
        }
    }
    return out;
}

void append_path_key(std::string& path, std::string_view key) {
    if (!path.empty())
        path.push_back('.');
    path += message_text(key);
}

void append_path_index(std::string& path, std::size_t index) {
    path.push_back('[');
    path += std::to_string(index);
    path.push_back(']');
}

std::string located(const std::string& path, std::string what) {
    if (path.empty())
        return what;
    return path + ": " + what;
}

// Builds the document like nlohmann's own DOM parser, but rejects a member given twice: nlohmann
// would silently keep the last value.
class StrictDomBuilder {
public:
    using number_integer_t = Json::number_integer_t;
    using number_unsigned_t = Json::number_unsigned_t;
    using number_float_t = Json::number_float_t;
    using string_t = Json::string_t;
    using binary_t = Json::binary_t;

    bool null() { return place(Json(nullptr)); }
    bool boolean(bool value) { return place(Json(value)); }
    bool number_integer(number_integer_t value) { return place(Json(value)); }
    bool number_unsigned(number_unsigned_t value) { return place(Json(value)); }
    bool number_float(number_float_t value, const string_t& /*text*/) { return place(Json(value)); }
    bool string(string_t& value) { return place(Json(std::move(value))); }
    bool binary(binary_t& value) { return place(Json::binary(std::move(value))); }

    bool start_object(std::size_t /*size*/) { return open(Json::object()); }
    bool start_array(std::size_t /*size*/) { return open(Json::array()); }
    bool end_object() {
        frames_.pop_back();
        return true;
    }
    bool end_array() {
        frames_.pop_back();
        return true;
    }

    bool key(string_t& name) {
        Frame& frame = frames_.back();
        auto& members = frame.container->get_ref<Json::object_t&>();
        if (is_duplicate(frame, members, name)) {
            error_ = located(containing_path(), "duplicate field `" + message_text(name) + "`");
            return false;
        }
        if (frame.large_keys)
            frame.large_keys->insert(name);
        // Appended directly: the object's own insertion searches linearly, and the check above
        // already rules out an existing member.
        static_cast<Json::object_t::Container&>(members).emplace_back(std::move(name), Json());
        return true;
    }

    bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                     const Json::exception& error) {
        error_ = without_exception_tag(error.what());
        return false;
    }

    const Json& root() const { return root_; }
    const std::string& error() const { return error_; }

private:
    // Above this many members, duplicates are found with a hash set instead of a scan.
    static constexpr std::size_t scan_limit = 16;

    struct Frame {
        Json* container = nullptr;
        std::unique_ptr<std::unordered_set<std::string>> large_keys;
    };

    bool is_duplicate(Frame& frame, const Json::object_t& members, const std::string& name) {
        if (!frame.large_keys && members.size() < scan_limit) {
            for (const auto& member : members) {
                if (member.first == name)
                    return true;
            }
            return false;
        }
        if (!frame.large_keys) {
            frame.large_keys = std::make_unique<std::unordered_set<std::string>>();
            for (const auto& member : members)
                frame.large_keys->insert(member.first);
        }
        return frame.large_keys->contains(name);
    }

    // Where a new value goes: the root, the end of the open array, or the member `key` appended.
    // Pointers on the frame stack stay valid because a container only grows while it is on top.
    Json* slot_for_next_value() {
        if (frames_.empty())
            return &root_;
        Json& top = *frames_.back().container;
        if (top.is_array()) {
            auto& elements = top.get_ref<Json::array_t&>();
            elements.emplace_back();
            return &elements.back();
        }
        return &top.get_ref<Json::object_t&>().back().second;
    }

    bool place(Json&& value) {
        *slot_for_next_value() = std::move(value);
        return true;
    }

    bool open(Json&& container) {
        Json* slot = slot_for_next_value();
        *slot = std::move(container);
        frames_.push_back(Frame{.container = slot, .large_keys = nullptr});
        return true;
    }

    // The path of the object on top of the stack: each enclosing container's last child is the
    // one being built.
    std::string containing_path() const {
        std::string path;
        for (std::size_t k = 0; k + 1 < frames_.size(); ++k) {
            const Json& container = *frames_[k].container;
            if (container.is_array()) {
                append_path_index(path, container.size() - 1);
            } else {
                append_path_key(path, container.get_ref<const Json::object_t&>().back().first);
            }
        }
        return path;
    }

    Json root_;
    std::vector<Frame> frames_;
    std::string error_;
};

// "`a`", "`a` or `b`", "one of `a`, `b`, `c`", after "expected".
std::string expected_list(std::span<const std::string_view> names) {
    std::string text;
    if (names.size() > 2)
        text += "one of ";
    for (std::size_t k = 0; k < names.size(); ++k) {
        if (k != 0)
            text += names.size() == 2 ? " or " : ", ";
        text.push_back('`');
        text += names[k];
        text.push_back('`');
    }
    return text;
}

std::string float_text(double value) {
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    std::string out(text, end);
    if (out.find_first_of(".eEn") == std::string::npos)
        out += ".0";
    return out;
}

// The value as serde names what it got: "integer `5`", "string \"x\"", "map", ...
std::string unexpected_text(const Json& value) {
    switch (value.type()) {
        case Json::value_t::null:
            return "null";
        case Json::value_t::boolean:
            return value.get<bool>() ? "boolean `true`" : "boolean `false`";
        case Json::value_t::number_unsigned:
            return "integer `" + std::to_string(value.get<std::uint64_t>()) + "`";
        case Json::value_t::number_integer:
            return "integer `" + std::to_string(value.get<std::int64_t>()) + "`";
        case Json::value_t::number_float:
            return "floating point `" + float_text(value.get<double>()) + "`";
        case Json::value_t::string: {
            std::string text = "string ";
            write_json_string(text, value.get_ref<const std::string&>());
            return text;
        }
        case Json::value_t::array:
            return "sequence";
        case Json::value_t::object:
            return "map";
        case Json::value_t::binary:
            return "byte array";
        case Json::value_t::discarded:
            break;
    }
    return "value";
}

struct Field {
    std::string_view name;
    bool optional = false;
};

template <std::size_t N>
constexpr std::array<std::string_view, N> field_names(const std::array<Field, N>& fields) {
    std::array<std::string_view, N> names{};
    for (std::size_t k = 0; k < N; ++k)
        names[k] = fields[k].name;
    return names;
}

constexpr std::array<Field, 9> record_fields{{{"schema_version"},
                                              {"record_type"},
                                              {"producer"},
                                              {"pair"},
                                              {"problem"},
                                              {"alignment"},
                                              {"verification"},
                                              {"metrics", true},
                                              {"integrity", true}}};
constexpr std::array<Field, 4> producer_fields{
    {{"name"}, {"version"}, {"commit", true}, {"backend"}}};
constexpr std::array<Field, 3> pair_fields{{{"index"}, {"query"}, {"target"}}};
constexpr std::array<Field, 3> sequence_fields{{{"id"}, {"length"}, {"sha256"}}};
constexpr std::array<Field, 2> problem_fields{{{"mode"}, {"scoring"}}};
constexpr std::array<Field, 1> edit_distance_fields{{{"kind"}}};
constexpr std::array<Field, 3> linear_fields{{{"kind"}, {"substitution"}, {"gap"}}};
constexpr std::array<Field, 4> affine_fields{
    {{"kind"}, {"substitution"}, {"gap_open"}, {"gap_extend"}}};
constexpr std::array<Field, 3> match_mismatch_fields{
    {{"kind"}, {"match_score"}, {"mismatch_penalty"}}};
constexpr std::array<Field, 1> blosum62_fields{{{"kind"}}};
constexpr std::array<Field, 5> matrix_fields{
    {{"kind"}, {"name"}, {"alphabet"}, {"scores"}, {"source_sha256", true}}};
constexpr std::array<Field, 2> result_fields{{{"objective"}, {"trace", true}}};
constexpr std::array<Field, 2> objective_fields{{{"kind"}, {"value"}}};
constexpr std::array<Field, 4> trace_fields{
    {{"query_span"}, {"target_span"}, {"cigar"}, {"operations", true}}};
constexpr std::array<Field, 2> span_fields{{{"start"}, {"end"}}};
// Every member of a step may be null (or missing): an insertion has no target side, a deletion
// no query side.
constexpr std::array<Field, 5> step_fields{{{"op"},
                                            {"query_pos", true},
                                            {"target_pos", true},
                                            {"query_base", true},
                                            {"target_base", true}}};
constexpr std::array<Field, 5> summary_fields{
    {{"level"}, {"status"}, {"checks"}, {"reference_backend", true}, {"reason", true}}};
constexpr std::array<Field, 3> check_fields{{{"name"}, {"passed"}, {"detail", true}}};
constexpr std::array<Field, 2> metrics_fields{{{"elapsed_ms"}, {"work_cells"}}};
constexpr std::array<Field, 3> fingerprint_fields{
    {{"version"}, {"hash_algorithm"}, {"deterministic_fields_sha256"}}};

constexpr std::array<std::string_view, 3> scoring_kinds{"edit-distance", "linear", "affine"};
constexpr std::array<std::string_view, 3> substitution_kinds{"match-mismatch", "blosum62",
                                                             "matrix"};
constexpr std::array<std::string_view, 4> op_names{"match", "mismatch", "insertion", "deletion"};

// Maps a document onto the record types, keeping the JSON path of the value being read.
class Decoder {
public:
    Result<void> record(const Json& value, AlignmentRecord& out) {
        return object(value, "struct AlignmentRecord", record_fields,
                      [&](std::size_t field, const Json& member) -> Result<void> {
                          switch (field) {
                              case 0:
                                  return text(member, out.schema_version);
                              case 1:
                                  return text(member, out.record_type);
                              case 2:
                                  return producer(member, out.producer);
                              case 3:
                                  return pair(member, out.pair);
                              case 4:
                                  return problem(member, out.problem);
                              case 5:
                                  return result(member, out.alignment);
                              case 6:
                                  return summary(member, out.verification);
                              case 7:
                                  return metrics(member, out.metrics.emplace());
                              default:
                                  return fingerprint(member, out.integrity.emplace());
                          }
                      });
    }

private:
    // Appends one segment to the path for the lifetime of the guard.
    class Segment {
    public:
        Segment(std::string& path, std::string_view key) : path_(path), size_(path.size()) {
            append_path_key(path, key);
        }
        Segment(std::string& path, std::size_t index) : path_(path), size_(path.size()) {
            append_path_index(path, index);
        }
        Segment(const Segment&) = delete;
        Segment& operator=(const Segment&) = delete;
        ~Segment() { path_.resize(size_); }

    private:
        std::string& path_;
        std::size_t size_;
    };

    Result<void> fail(std::string what) const {
        return std::unexpected(located(path_, std::move(what)));
    }

    Result<void> invalid_type(const Json& value, std::string_view expected) const {
        return fail("invalid type: " + unexpected_text(value) + ", expected "
                    + std::string(expected));
    }

    Result<void> invalid_value(const Json& value, std::string_view expected) const {
        return fail("invalid value: " + unexpected_text(value) + ", expected "
                    + std::string(expected));
    }

    // Members in document order: an unknown name fails at once, a known one is read by `read`
    // (with its path), a null optional member stays absent; then missing members, in declared
    // order.
    template <std::size_t N, class Read>
    Result<void> object(const Json& value, std::string_view expecting,
                        const std::array<Field, N>& fields, Read&& read) {
        if (!value.is_object())
            return invalid_type(value, expecting);
        std::array<bool, N> seen{};
        for (const auto& [name, member] : value.get_ref<const Json::object_t&>()) {
            std::size_t field = 0;
            while (field < N && fields[field].name != name)
                ++field;
            if (field == N) {
                return fail("unknown field `" + message_text(name) + "`, expected "
                            + expected_list(field_names(fields)));
            }
            seen[field] = true;
            if (fields[field].optional && member.is_null())
                continue;
            const Segment segment(path_, name);
            if (auto done = read(field, member); !done)
                return done;
        }
        for (std::size_t field = 0; field < N; ++field) {
            if (!seen[field] && !fields[field].optional)
                return fail("missing field `" + std::string(fields[field].name) + "`");
        }
        return {};
    }

    // The index of `value` among `names`, an enumerated value or a variant's "kind".
    template <std::size_t N>
    Result<void> name_index(const Json& value, const std::array<std::string_view, N>& names,
                            std::string_view expecting, std::size_t& out) {
        if (!value.is_string())
            return invalid_type(value, expecting);
        const std::string& given = value.get_ref<const std::string&>();
        for (std::size_t k = 0; k < N; ++k) {
            if (names[k] == given) {
                out = k;
                return {};
            }
        }
        return fail("unknown variant `" + message_text(given) + "`, expected "
                    + expected_list(names));
    }

    template <class Enum, std::size_t N>
    Result<void> enumerated(const Json& value, const std::array<std::string_view, N>& names,
                            std::string_view expecting, Enum& out) {
        std::size_t index = 0;
        if (auto done = name_index(value, names, expecting, index); !done)
            return done;
        out = static_cast<Enum>(index);
        return {};
    }

    // Reads "kind" of a tagged variant, wherever it stands in the object.
    template <std::size_t N>
    Result<void> variant_kind(const Json& value, std::string_view expecting,
                              const std::array<std::string_view, N>& kinds, std::size_t& out) {
        if (!value.is_object())
            return invalid_type(value, expecting);
        for (const auto& [name, member] : value.get_ref<const Json::object_t&>()) {
            if (name != "kind")
                continue;
            const Segment segment(path_, name);
            return name_index(member, kinds, "variant identifier", out);
        }
        return fail("missing field `kind`");
    }

    Result<void> text(const Json& value, std::string& out) {
        if (!value.is_string())
            return invalid_type(value, "a string");
        out = value.get_ref<const std::string&>();
        return {};
    }

    Result<void> text(const Json& value, std::optional<std::string>& out) {
        return text(value, out.emplace());
    }

    Result<void> boolean(const Json& value, bool& out) {
        if (!value.is_boolean())
            return invalid_type(value, "a boolean");
        out = value.get<bool>();
        return {};
    }

    Result<void> u64(const Json& value, std::uint64_t& out) {
        if (value.is_number_unsigned()) {
            out = value.get<std::uint64_t>();
            return {};
        }
        // nlohmann keeps "-0" as a signed zero; it is still zero.
        if (value.is_number_integer() && value.get<std::int64_t>() == 0) {
            out = 0;
            return {};
        }
        if (value.is_number_integer())
            return invalid_value(value, "u64");
        return invalid_type(value, "u64");
    }

    Result<void> i64(const Json& value, std::int64_t& out) {
        if (value.is_number_unsigned()) {
            const auto given = value.get<std::uint64_t>();
            if (given > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                return invalid_value(value, "i64");
            out = static_cast<std::int64_t>(given);
            return {};
        }
        if (value.is_number_integer()) {
            out = value.get<std::int64_t>();
            return {};
        }
        return invalid_type(value, "i64");
    }

    Result<void> i32(const Json& value, std::int32_t& out) {
        if (!value.is_number_integer())
            return invalid_type(value, "i32");
        constexpr std::int64_t low = std::numeric_limits<std::int32_t>::min();
        constexpr std::int64_t high = std::numeric_limits<std::int32_t>::max();
        if (value.is_number_unsigned()
                ? value.get<std::uint64_t>() > std::uint64_t{high}
                : value.get<std::int64_t>() < low || value.get<std::int64_t>() > high)
            return invalid_value(value, "i32");
        out = static_cast<std::int32_t>(value.get<std::int64_t>());
        return {};
    }

    // Any JSON number; null is what the writer gives for a non-finite time, so it reads back.
    Result<void> f64(const Json& value, double& out) {
        if (value.is_null()) {
            out = std::numeric_limits<double>::quiet_NaN();
            return {};
        }
        if (!value.is_number())
            return invalid_type(value, "f64");
        out = value.get<double>();
        return {};
    }

    // A string of exactly one character (nlohmann has already checked the UTF-8).
    Result<void> character(const Json& value, std::optional<char32_t>& out) {
        if (!value.is_string())
            return invalid_type(value, "a character");
        const std::string& given = value.get_ref<const std::string&>();
        if (given.empty())
            return invalid_value(value, "a character");
        const auto lead = static_cast<unsigned char>(given[0]);
        const std::size_t width = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        if (given.size() != width)
            return invalid_value(value, "a character");
        char32_t cp = width == 1   ? lead
                      : width == 2 ? lead & 0x1Fu
                      : width == 3 ? lead & 0x0Fu
                                   : lead & 0x07u;
        for (std::size_t k = 1; k < width; ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(given[k]) & 0x3Fu);
        out = cp;
        return {};
    }

    template <class T, class Read>
    Result<void> list(const Json& value, std::vector<T>& out, Read&& read) {
        if (!value.is_array())
            return invalid_type(value, "a sequence");
        out.clear();
        out.reserve(value.size());
        for (std::size_t k = 0; k < value.size(); ++k) {
            const Segment segment(path_, k);
            if (auto done = read(value[k], out.emplace_back()); !done)
                return done;
        }
        return {};
    }

    Result<void> producer(const Json& value, Producer& out) {
        return object(value, "struct Producer", producer_fields,
                      [&](std::size_t field, const Json& member) -> Result<void> {
                          switch (field) {
                              case 0:
                                  return text(member, out.name);
                              case 1:
                                  return text(member, out.version);
                              case 2:
                                  return text(member, out.commit);
                              default:
                                  return text(member, out.backend);
                          }
                      });
    }

    Result<void> sequence(const Json& value, SequenceIdentity& out) {
        return object(value, "struct SequenceIdentity", sequence_fields,
                      [&](std::size_t field, const Json& member) -> Result<void> {
                          switch (field) {
                              case 0:
                                  return text(member, out.id);
                              case 1:
                                  return u64(member, out.length);
                              default:
                                  return text(member, out.sha256);
                          }
                      });
    }

    Result<void> pair(const Json& value, PairIdentity& out) {
        return object(value, "struct PairIdentity", pair_fields,
                      [&](std::size_t field, const Json& member) -> Result<void> {
                          switch (field) {
                              case 0:
                                  return u64(member, out.index);
                              case 1:
                                  return sequence(member, out.query);
                              default:
                                  return sequence(member, out.target);
                          }
                      });
    }

    Result<void> problem(const Json& value, ProblemSpec& out) {
        return object(value, "struct ProblemSpec", problem_fields,
                      [&](std::size_t field, const Json& member) -> Result<void> {
                          if (field == 0)
                              return enumerated(member, mode_names, "enum AlignmentMode", out.mode);
                          return scoring(member, out.scoring);
                      });
    }

    Result<void> scoring(const Json& value, ScoringScheme& out) {
        constexpr std::string_view expecting = "internally tagged enum ScoringScheme";
        std::size_t kind = 0;
        if (auto done = variant_kind(value, expecting, scoring_kinds, kind); !done)
            return done;
        if (kind == 0) {
            out = EditDistanceScoring{};
            return object(value, expecting, edit_distance_fields,
                          [](std::size_t, const Json&) -> Result<void> { return {}; });
        }
        if (kind == 1) {
            LinearScoring linear;
            auto done = object(value, expecting, linear_fields,
                               [&](std::size_t field, const Json& member) -> Result<void> {
                                   if (field == 1)
                                       return substitution(member, linear.substitution);
                                   if (field == 2)
                                       return i32(member, linear.gap);
                                   return {};
                               });
            if (!done)
                return done;
            out = std::move(linear);
            return {};
        }
        AffineScoring affine;
        auto done = object(value, expecting, affine_fields,
                           [&](std::size_t field, const Json& member) -> Result<void> {
                               if (field == 1)
                                   return substitution(member, affine.substitution);
                               if (field == 2)
                                   return i32(member, affine.gap_open);
                               if (field == 3)
                                   return i32(member, affine.gap_extend);
                               return {};
                           });
        if (!done)
            return done;
        out = std::move(affine);
        return {};
    }

    Result<void> substitution(const Json& value, SubstitutionScheme& out) {
        constexpr std::string_view expecting = "internally tagged enum SubstitutionScheme";
        std::size_t kind = 0;
        if (auto done = variant_kind(value, expecting, substitution_kinds, kind); !done)
            return done;
        if (kind == 0) {
            MatchMismatchScheme scheme;
            auto done = object(value, expecting, match_mismatch_fields,
                               [&](std::size_t field, const Json& member) -> Result<void> {
                                   if (field == 1)
                                       return i32(member, scheme.match_score);
                                   if (field == 2)
                                       return i32(member, scheme.mismatch_penalty);
                                   return {};
                               });
            if (!done)
                return done;
            out = scheme;
            return {};
        }
        if (kind == 1) {
            out = Blosum62Scheme{};
            return object(value, expecting, blosum62_fields,
                          [](std::size_t, const Json&) -> Result<void> { return {}; });
        }
        MatrixScheme matrix;
        auto done = object(
            value, expecting, matrix_fields,
            [&](std::size_t field, const Json& member) -> Result<void> {
                switch (field) {
                    case 1:
                        return text(member, matrix.name);
                    case 2:
                        return list(member, matrix.alphabet,
                                    [&](const Json& symbol, std::string& into) {
                                        return text(symbol, into);
                                    });
                    case 3:
                        return list(member, matrix.scores,
                                    [&](const Json& row, std::vector<std::int32_t>& into) {
                                        return list(row, into,
                                                    [&](const Json& score, std::int32_t& cell) {
                                                        return i32(score, cell);
                                                    });
                                    });
                    case 4:
                        return text(member, matrix.source_sha256);
                    default:
                        return {};
                }
            });
        if (!done)
            return done;
        out = std::move(matrix);
        return {};
    }

    Result<void> span(const Json& value, AlignmentSpan& out) {
        return object(value, "struct AlignmentSpan", span_fields,
                      [&](std::size_t field, const Json& member) -> Result<void> {
                          return u64(member, field == 0 ? out.start : out.end);
                      });
    }

    Result<void> cigar(const Json& value, Cigar& out) {
        if (!value.is_string())
            return invalid_type(value, "a CIGAR string");
        auto parsed = Cigar::parse(value.get_ref<const std::string&>());
        if (!parsed)
            return fail(std::move(parsed).error());
        out = std::move(*parsed);
        return {};
    }

    Result<void> step(const Json& value, AlignmentStep& out) {
        return object(value, "struct AlignmentStep", step_fields,
                      [&](std::size_t field, const Json& member) -> Result<void> {
                          switch (field) {
                              case 0:
                                  return enumerated(member, op_names, "enum AlignmentOpKind",
                                                    out.op);
                              case 1:
                                  return u64(member, out.query_pos.emplace());
                              case 2:
                                  return u64(member, out.target_pos.emplace());
                              case 3:
                                  return character(member, out.query_base);
                              default:
                                  return character(member, out.target_base);
                          }
                      });
    }

    Result<void> trace(const Json& value, TraceRecord& out) {
        return object(value, "struct TraceRecord", trace_fields,
                      [&](std::size_t field, const Json& member) -> Result<void> {
                          switch (field) {
                              case 0:
                                  return span(member, out.query_span);
                              case 1:
                                  return span(member, out.target_span);
                              case 2:
                                  return cigar(member, out.cigar);
                              default:
                                  return list(member, out.operations.emplace(),
                                              [&](const Json& item, AlignmentStep& into) {
                                                  return step(item, into);
                                              });
                          }
                      });
    }

    Result<void> objective(const Json& value, Objective& out) {
        return object(value, "struct Objective", objective_fields,
                      [&](std::size_t field, const Json& member) -> Result<void> {
                          if (field == 0)
                              return enumerated(member, objective_kind_names, "enum ObjectiveKind",
                                                out.kind);
                          return i64(member, out.value);
                      });
    }

    Result<void> result(const Json& value, AlignmentResult& out) {
        return object(value, "struct AlignmentResult", result_fields,
                      [&](std::size_t field, const Json& member) -> Result<void> {
                          if (field == 0)
                              return objective(member, out.objective);
                          return trace(member, out.trace.emplace());
                      });
    }

    Result<void> check(const Json& value, CheckResult& out) {
        return object(value, "struct CheckResult", check_fields,
                      [&](std::size_t field, const Json& member) -> Result<void> {
                          switch (field) {
                              case 0:
                                  return text(member, out.name);
                              case 1:
                                  return boolean(member, out.passed);
                              default:
                                  return text(member, out.detail);
                          }
                      });
    }

    Result<void> summary(const Json& value, VerificationSummary& out) {
        return object(
            value, "struct VerificationSummary", summary_fields,
            [&](std::size_t field, const Json& member) -> Result<void> {
                switch (field) {
                    case 0:
                        return enumerated(member, level_names, "enum VerificationLevel", out.level);
                    case 1:
                        return enumerated(member, status_names, "enum VerificationStatus",
                                          out.status);
                    case 2:
                        return list(member, out.checks, [&](const Json& item, CheckResult& into) {
                            return check(item, into);
                        });
                    case 3:
                        return text(member, out.reference_backend);
                    default:
                        return text(member, out.reason);
                }
            });
    }

    Result<void> metrics(const Json& value, Metrics& out) {
        return object(value, "struct Metrics", metrics_fields,
                      [&](std::size_t field, const Json& member) -> Result<void> {
                          if (field == 0)
                              return f64(member, out.elapsed_ms);
                          return u64(member, out.work_cells);
                      });
    }

    Result<void> fingerprint(const Json& value, IntegrityFingerprint& out) {
        return object(value, "struct IntegrityFingerprint", fingerprint_fields,
                      [&](std::size_t field, const Json& member) -> Result<void> {
                          switch (field) {
                              case 0:
                                  return text(member, out.version);
                              case 1:
                                  return text(member, out.hash_algorithm);
                              default:
                                  return text(member, out.deterministic_fields_sha256);
                          }
                      });
    }

    std::string path_;
};

}  // namespace

Result<AlignmentRecord> read_alignment_record(std::string_view json_text) {
    StrictDomBuilder builder;
    bool parsed = false;
    try {
        parsed = Json::sax_parse(json_text.begin(), json_text.end(), &builder);
    } catch (const Json::exception& error) {
        return std::unexpected(without_exception_tag(error.what()));
    }
    if (!parsed)
        return std::unexpected(builder.error());
    AlignmentRecord record;
    Decoder decoder;
    if (auto done = decoder.record(builder.root(), record); !done)
        return std::unexpected(std::move(done).error());
    return record;
}

}  // namespace rux_dp
