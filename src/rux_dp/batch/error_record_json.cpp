#include "rux_dp/batch/error_record_json.hpp"

#include "rux_dp/oracle/json_writer.hpp"

namespace rux_dp {

void write_json(std::string& out, const ErrorContext& context) {
    out.push_back('{');
    bool first = true;
    const auto name = [&](std::string_view key) {
        if (!first)
            out.push_back(',');
        first = false;
        out.push_back('"');
        out += key;
        out += "\":";
    };
    if (context.pair_index) {
        name("pair_index");
        write_json_uint(out, *context.pair_index);
    }
    if (context.query_id) {
        name("query_id");
        write_json_string(out, *context.query_id);
    }
    if (context.target_id) {
        name("target_id");
        write_json_string(out, *context.target_id);
    }
    if (context.source_line) {
        name("source_line");
        write_json_uint(out, *context.source_line);
    }
    out.push_back('}');
}

void write_json(std::string& out, const ErrorDetail& detail) {
    out += "{\"stage\":\"";
    out += stage_name(detail.stage);
    out += "\",\"code\":";
    write_json_string(out, detail.code);
    out += ",\"message\":";
    write_json_string(out, detail.message);
    out += detail.recoverable ? ",\"recoverable\":true}" : ",\"recoverable\":false}";
}

void write_json(std::string& out, const ErrorRecord& record) {
    out += "{\"schema_version\":";
    write_json_string(out, record.schema_version);
    out += ",\"record_type\":";
    write_json_string(out, record.record_type);
    out += ",\"producer\":";
    write_json(out, record.producer);
    out += ",\"context\":";
    write_json(out, record.context);
    out += ",\"error\":";
    write_json(out, record.error);
    out.push_back('}');
}

}  // namespace rux_dp
