#include "rux_dp/batch/error_record.hpp"

#include "rux_dp/base/build_commit.hpp"
#include "rux_dp/batch/error_record_json.hpp"
#include "rux_dp/oracle/json_writer.hpp"

#include <gtest/gtest.h>

#include <string>

namespace rux_dp {
namespace {

std::string json_of(const ErrorContext& context) {
    std::string out;
    write_json(out, context);
    return out;
}

TEST(ErrorRecord, MakeFillsTheConstants) {
    const ErrorRecord record = ErrorRecord::make(
        ErrorStage::solve, "solve_failed", "boom",
        ErrorContext{
            .pair_index = 4, .query_id = "q", .target_id = "t", .source_line = std::nullopt});
    EXPECT_EQ(record.schema_version, "rux-align.v2");
    EXPECT_EQ(record.record_type, "error");
    EXPECT_EQ(record.producer.name, "rux-align");
    EXPECT_EQ(record.producer.version, "0.2.0-alpha.2");
    EXPECT_EQ(record.producer.commit, std::string(build_commit));
    EXPECT_EQ(record.producer.backend, "batch");
    EXPECT_EQ(record.error.stage, ErrorStage::solve);
    EXPECT_EQ(record.error.code, "solve_failed");
    EXPECT_EQ(record.error.message, "boom");
    EXPECT_TRUE(record.error.recoverable);
}

TEST(ErrorRecord, JsonKeysInOrder) {
    ErrorRecord record = ErrorRecord::make(ErrorStage::input_parse, "pair_count_mismatch",
                                           "query and target sources differ at pair 2",
                                           ErrorContext{.pair_index = 2,
                                                        .query_id = std::nullopt,
                                                        .target_id = std::nullopt,
                                                        .source_line = std::nullopt});
    record.error.recoverable = false;
    std::string out;
    write_json(out, record);
    EXPECT_EQ(out, R"({"schema_version":"rux-align.v2","record_type":"error",)"
                   R"("producer":{"name":"rux-align","version":"0.2.0-alpha.2","commit":")"
                       + std::string(build_commit)
                       + R"(","backend":"batch"},"context":{"pair_index":2},)"
                         R"("error":{"stage":"input_parse","code":"pair_count_mismatch",)"
                         R"("message":"query and target sources differ at pair 2",)"
                         R"("recoverable":false}})");
}

TEST(ErrorRecord, ContextLeavesOutAbsentFields) {
    EXPECT_EQ(json_of(ErrorContext{}), "{}");
    EXPECT_EQ(json_of(ErrorContext{.pair_index = 0,
                                   .query_id = std::nullopt,
                                   .target_id = std::nullopt,
                                   .source_line = std::nullopt}),
              R"({"pair_index":0})");
    EXPECT_EQ(json_of(ErrorContext{.pair_index = std::nullopt,
                                   .query_id = std::nullopt,
                                   .target_id = std::nullopt,
                                   .source_line = 7}),
              R"({"source_line":7})");
    EXPECT_EQ(json_of(ErrorContext{.pair_index = std::nullopt,
                                   .query_id = "q",
                                   .target_id = std::nullopt,
                                   .source_line = 1}),
              R"({"query_id":"q","source_line":1})");
    EXPECT_EQ(json_of(ErrorContext{.pair_index = 18446744073709551615u,
                                   .query_id = "q\"1",
                                   .target_id = "t\n",
                                   .source_line = 3}),
              R"({"pair_index":18446744073709551615,"query_id":"q\"1","target_id":"t\n",)"
              R"("source_line":3})");
}

TEST(ErrorRecord, StageNames) {
    const std::pair<ErrorStage, std::string_view> stages[] = {
        {ErrorStage::input_parse, "input_parse"}, {ErrorStage::record_parse, "record_parse"},
        {ErrorStage::resolve, "resolve"},         {ErrorStage::solve, "solve"},
        {ErrorStage::verify, "verify"},           {ErrorStage::compare, "compare"},
        {ErrorStage::serialize, "serialize"},     {ErrorStage::worker, "worker"},
    };
    for (const auto& [stage, name] : stages) {
        SCOPED_TRACE(std::string(name));
        EXPECT_EQ(stage_name(stage), name);
        std::string out;
        write_json(out,
                   ErrorDetail{.stage = stage, .code = "c", .message = "", .recoverable = true});
        EXPECT_EQ(out, R"({"stage":")" + std::string(name)
                           + R"(","code":"c","message":"","recoverable":true})");
    }
}

TEST(ErrorRecord, MessagesAreEscaped) {
    std::string out;
    write_json(out, ErrorDetail{.stage = ErrorStage::record_parse,
                                .code = "invalid_alignment_json",
                                .message = "unknown field `a\tb`",
                                .recoverable = true});
    EXPECT_EQ(out, R"({"stage":"record_parse","code":"invalid_alignment_json",)"
                   R"("message":"unknown field `a\tb`","recoverable":true})");
}

}  // namespace
}  // namespace rux_dp
