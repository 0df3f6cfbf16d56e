#include "rux_dp/batch/ordered_runner.hpp"

#include "rux_dp/base/invariant.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <limits>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace rux_dp {
namespace {

constexpr std::uint64_t no_limit = std::numeric_limits<std::uint64_t>::max();

enum class Behaviour { value, error_record, throw_invariant, throw_other };

/// Copying is deleted so that the runner is seen to move jobs only.
struct MoveOnly {
    MoveOnly() = default;
    MoveOnly(MoveOnly&&) = default;
    MoveOnly& operator=(MoveOnly&&) = default;
    MoveOnly(const MoveOnly&) = delete;
    MoveOnly& operator=(const MoveOnly&) = delete;
};

struct Job {
    std::uint64_t id = 0;
    std::uint64_t bases = 0;
    std::uint32_t sleep_us = 0;
    Behaviour behaviour = Behaviour::value;
    MoveOnly token{};
    std::uint64_t cost() const { return bases; }
};

ErrorContext context_at(std::uint64_t index) {
    ErrorContext context;
    context.pair_index = index;
    return context;
}

struct Settings {
    std::uint64_t offset = 0;  // added to every job id, to show the settings reach the job
};

struct Output {
    std::uint64_t value = 0;
};

/// What the jobs and the sink saw, shared across threads.
struct Probe {
    explicit Probe(std::size_t jobs) : emitted_at_start(jobs) {}
    std::atomic<int> running{0};
    std::atomic<int> max_running{0};
    std::atomic<std::uint64_t> started{0};
    std::atomic<std::uint64_t> finished{0};
    std::atomic<std::uint64_t> emitted{0};
    // Per job id: how many items the sink had received when the job began; jobs of one window
    // share the value.
    std::vector<std::atomic<std::uint64_t>> emitted_at_start;
};

auto make_job_fn(Probe& probe) {
    return [&probe](const Settings& settings, Job&& job) -> BatchItem<Output> {
        probe.started.fetch_add(1);
        probe.emitted_at_start.at(job.id).store(probe.emitted.load());
        const int now = probe.running.fetch_add(1) + 1;
        int seen = probe.max_running.load();
        while (now > seen && !probe.max_running.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::sleep_for(std::chrono::microseconds(job.sleep_us));
        probe.running.fetch_sub(1);
        probe.finished.fetch_add(1);
        switch (job.behaviour) {
            case Behaviour::value:
                break;
            case Behaviour::error_record:
                return ErrorRecord::make(ErrorStage::solve, "solve_failed", "no solution",
                                         context_at(job.id));
            case Behaviour::throw_invariant:
                invariant(false, "block_size must be positive");
                break;
            case Behaviour::throw_other:
                throw 7;
        }
        return Output{.value = job.id + settings.offset};
    };
}

/// An input stream over prepared items that counts how many were pulled.
class ItemStream {
public:
    std::optional<InputItem<Job>> next() {
        if (items.empty())
            return std::nullopt;
        ++pulled;
        InputItem<Job> item = std::move(items.front());
        items.pop_front();
        return item;
    }

    std::deque<InputItem<Job>> items;
    std::uint64_t pulled = 0;
};

ErrorRecord input_error(std::uint64_t index, bool recoverable = true) {
    ErrorRecord record = ErrorRecord::make(ErrorStage::input_parse, "invalid_sequence_record",
                                           "query: bad record", context_at(index));
    record.error.recoverable = recoverable;
    return record;
}

Job job(std::uint64_t id, std::uint64_t bases = 10, Behaviour behaviour = Behaviour::value,
        std::uint32_t sleep_us = 0) {
    return Job{.id = id, .bases = bases, .sleep_us = sleep_us, .behaviour = behaviour};
}

/// One line per item the sink received: "value N" or "error CODE at N".
std::string describe(const BatchItem<Output>& item) {
    if (const Output* output = std::get_if<Output>(&item)) {
        return "value " + std::to_string(output->value);
    }
    const ErrorRecord& record = std::get<ErrorRecord>(item);
    return "error " + record.error.code + " at "
           + (record.context.pair_index ? std::to_string(*record.context.pair_index) : "-");
}

struct Outcome {
    Result<BatchSummary> summary;
    std::vector<std::string> emitted;
};

/// Runs `stream` through the runner with a sink that logs every item and bumps `probe.emitted`.
Outcome run_logged(ItemStream& stream, const BatchOptions& options, Probe& probe,
                   Settings settings = Settings{}) {
    Outcome out;
    out.summary = run_ordered(stream, options, settings, make_job_fn(probe),
                              [&](BatchItem<Output>&& item) -> Result<void> {
                                  out.emitted.push_back(describe(item));
                                  probe.emitted.fetch_add(1);
                                  return {};
                              });
    return out;
}

BatchOptions options_of(std::uint64_t threads, std::uint64_t max_in_flight,
                        std::uint64_t max_in_flight_bases = no_limit, bool fail_fast = false) {
    return BatchOptions{.threads = threads,
                        .max_in_flight = max_in_flight,
                        .max_in_flight_bases = max_in_flight_bases,
                        .fail_fast = fail_fast};
}

TEST(OrderedRunner, EmitsInInputOrderWhateverTheCompletionOrder) {
    constexpr std::uint64_t items = 48;
    for (const std::uint64_t threads : {1, 2, 8}) {
        for (const std::uint64_t max_in_flight : {1, 3, 16}) {
            for (const std::uint64_t max_bases : {no_limit, std::uint64_t{250}}) {
                const std::uint64_t seed = threads * 1000 + max_in_flight * 10 + (max_bases & 7);
                SCOPED_TRACE("threads " + std::to_string(threads) + ", max_in_flight "
                             + std::to_string(max_in_flight) + ", max_bases "
                             + std::to_string(max_bases) + ", seed " + std::to_string(seed));
                std::mt19937_64 rng(seed);
                ItemStream stream;
                std::vector<std::string> expected;
                std::uint64_t errors = 0;
                for (std::uint64_t k = 0; k < items; ++k) {
                    // About one item in six is an input error record, kept at its position.
                    if (rng() % 6 == 0) {
                        stream.items.emplace_back(input_error(k));
                        expected.push_back("error invalid_sequence_record at " + std::to_string(k));
                        ++errors;
                    } else {
                        stream.items.emplace_back(job(k, rng() % 200, Behaviour::value,
                                                      static_cast<std::uint32_t>(rng() % 400)));
                        expected.push_back("value " + std::to_string(k + 100));
                    }
                }
                Probe probe(items);
                const BatchOptions options = options_of(threads, max_in_flight, max_bases);
                const Outcome result = run_logged(stream, options, probe, Settings{.offset = 100});
                ASSERT_TRUE(result.summary) << result.summary.error();
                EXPECT_EQ(result.emitted, expected);
                EXPECT_EQ(result.summary->records, items);
                EXPECT_EQ(result.summary->errors, errors);
                EXPECT_LE(result.summary->max_window_records, max_in_flight);
                EXPECT_LE(result.summary->max_window_bases, max_bases);
                EXPECT_LE(probe.max_running.load(), static_cast<int>(max_in_flight));
            }
        }
    }
}

TEST(OrderedRunner, OneItemInFlightNeverOverlapsJobs) {
    ItemStream stream;
    for (std::uint64_t k = 0; k < 20; ++k) {
        stream.items.emplace_back(job(k, 10, Behaviour::value, 200));
    }
    Probe probe(20);
    const Outcome result = run_logged(stream, options_of(4, 1), probe);
    ASSERT_TRUE(result.summary) << result.summary.error();
    EXPECT_EQ(probe.max_running.load(), 1);
    EXPECT_EQ(result.emitted.size(), 20U);
    EXPECT_EQ(result.summary->max_window_records, 1U);
}

TEST(OrderedRunner, OversizedJobRunsAloneAsTheFirstOfItsWindow) {
    // Bases budget 100: windows {0}, {1: 150 alone}, {2, 3}, {4}.
    const std::uint64_t costs[] = {30, 150, 40, 50, 20};
    ItemStream stream;
    for (std::uint64_t k = 0; k < 5; ++k) {
        stream.items.emplace_back(job(k, costs[k], Behaviour::value, 100));
    }
    Probe probe(5);
    const Outcome result = run_logged(stream, options_of(4, 8, 100), probe);
    ASSERT_TRUE(result.summary) << result.summary.error();
    EXPECT_EQ(result.emitted.size(), 5U);
    const std::uint64_t expected_windows[] = {0, 1, 2, 2, 4};
    for (std::uint64_t k = 0; k < 5; ++k) {
        EXPECT_EQ(probe.emitted_at_start[k].load(), expected_windows[k]) << "job " << k;
    }
    EXPECT_EQ(result.summary->max_window_bases, 150U);
    EXPECT_EQ(result.summary->max_window_records, 2U);
}

TEST(OrderedRunner, InputErrorRecordsKeepTheirPositionsAndCountTowardTheWindow) {
    ItemStream stream;
    stream.items.emplace_back(job(0));
    stream.items.emplace_back(input_error(1));
    stream.items.emplace_back(job(2, 10, Behaviour::value, 300));
    stream.items.emplace_back(input_error(3));
    stream.items.emplace_back(input_error(4));
    stream.items.emplace_back(job(5));
    Probe probe(6);
    const Outcome result = run_logged(stream, options_of(2, 2), probe);
    ASSERT_TRUE(result.summary) << result.summary.error();
    EXPECT_EQ(result.emitted,
              (std::vector<std::string>{"value 0", "error invalid_sequence_record at 1", "value 2",
                                        "error invalid_sequence_record at 3",
                                        "error invalid_sequence_record at 4", "value 5"}));
    EXPECT_EQ(
        *result.summary,
        (BatchSummary{.records = 6, .errors = 3, .max_window_records = 2, .max_window_bases = 10}));
    // Windows {0, 1}, {2, 3}, {4, 5}: job 5 starts once four items are out.
    EXPECT_EQ(probe.emitted_at_start[5].load(), 4U);
}

TEST(OrderedRunner, NonRecoverableErrorRecordStopsTheRunAfterIt) {
    // Windows of three: {0, 1, 2}, {3, 4, 5}; the error at 4 is emitted, job 5 is discarded and
    // nothing after it is pulled.
    ItemStream stream;
    for (std::uint64_t k = 0; k < 10; ++k) {
        if (k == 4) {
            stream.items.emplace_back(input_error(k, false));
        } else {
            stream.items.emplace_back(job(k));
        }
    }
    Probe probe(10);
    const Outcome result = run_logged(stream, options_of(2, 3), probe);
    ASSERT_TRUE(result.summary) << result.summary.error();
    EXPECT_EQ(result.emitted, (std::vector<std::string>{"value 0", "value 1", "value 2", "value 3",
                                                        "error invalid_sequence_record at 4"}));
    EXPECT_EQ(stream.pulled, 6U);
    EXPECT_EQ(result.summary->records, 5U);
    EXPECT_EQ(result.summary->errors, 1U);
}

TEST(OrderedRunner, FailFastStopsAtTheFirstErrorRecord) {
    struct Case {
        const char* name;
        std::uint64_t error_at;
        bool from_job;  // the job function returns it, rather than the input stream
        std::vector<std::string> emitted;
    };
    const Case cases[] = {
        {"input error", 2, false, {"value 0", "value 1", "error invalid_sequence_record at 2"}},
        {"job error", 3, true, {"value 0", "value 1", "value 2", "error solve_failed at 3"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ItemStream stream;
        for (std::uint64_t k = 0; k < 8; ++k) {
            if (k == c.error_at && !c.from_job) {
                stream.items.emplace_back(input_error(k));
            } else {
                stream.items.emplace_back(
                    job(k, 10, k == c.error_at ? Behaviour::error_record : Behaviour::value));
            }
        }
        Probe probe(8);
        const Outcome result = run_logged(stream, options_of(2, 2, no_limit, true), probe);
        ASSERT_TRUE(result.summary) << result.summary.error();
        EXPECT_EQ(result.emitted, c.emitted);
        EXPECT_EQ(stream.pulled, 4U);
        EXPECT_EQ(result.summary->errors, 1U);
    }
}

TEST(OrderedRunner, ThrowingJobBecomesWorkerPanicAtItsIndex) {
    ItemStream stream;
    stream.items.emplace_back(job(0));
    stream.items.emplace_back(input_error(1));
    stream.items.emplace_back(job(2, 10, Behaviour::throw_invariant, 100));
    stream.items.emplace_back(job(3));
    stream.items.emplace_back(job(4, 10, Behaviour::throw_other));
    stream.items.emplace_back(job(5, 10, Behaviour::value, 100));
    std::vector<BatchItem<Output>> seen;
    Probe probe(6);
    const Result<BatchSummary> summary =
        run_ordered(stream, options_of(2, 4), Settings{}, make_job_fn(probe),
                    [&](BatchItem<Output>&& item) -> Result<void> {
                        seen.push_back(std::move(item));
                        return {};
                    });
    ASSERT_TRUE(summary) << summary.error();
    ASSERT_EQ(seen.size(), 6U);
    std::vector<std::string> emitted;
    for (const BatchItem<Output>& item : seen)
        emitted.push_back(describe(item));
    EXPECT_EQ(emitted, (std::vector<std::string>{"value 0", "error invalid_sequence_record at 1",
                                                 "error worker_panic at 2", "value 3",
                                                 "error worker_panic at 4", "value 5"}));
    for (const std::size_t at : {2U, 4U}) {
        const ErrorRecord& record = std::get<ErrorRecord>(seen[at]);
        EXPECT_EQ(record.error.stage, ErrorStage::worker);
        EXPECT_EQ(record.error.message, "batch worker panicked");
        EXPECT_TRUE(record.error.recoverable);
        EXPECT_EQ(record.context, context_at(at));
        EXPECT_EQ(record.producer.backend, "batch");
    }
    EXPECT_EQ(summary->errors, 3U);
}

TEST(OrderedRunner, EmptyInputRunsNothingAndCallsNoSink) {
    for (const std::uint64_t threads : {1, 4}) {
        Probe probe(0);
        std::uint64_t sink_calls = 0;
        std::uint64_t pulls = 0;
        // The stream may also be a plain callable.
        const Result<BatchSummary> summary = run_ordered(
            [&pulls]() -> std::optional<InputItem<Job>> {
                ++pulls;
                return std::nullopt;
            },
            options_of(threads, 2), Settings{}, make_job_fn(probe),
            [&](BatchItem<Output>&&) -> Result<void> {
                ++sink_calls;
                return {};
            });
        ASSERT_TRUE(summary) << summary.error();
        EXPECT_EQ(*summary, BatchSummary{});
        EXPECT_EQ(sink_calls, 0U);
        EXPECT_EQ(pulls, 1U);
        EXPECT_EQ(probe.started.load(), 0U);
    }
}

TEST(OrderedRunner, SinkMessageFailsTheRunAfterEveryWorkerIsDone) {
    ItemStream stream;
    for (std::uint64_t k = 0; k < 12; ++k) {
        stream.items.emplace_back(job(k, 10, Behaviour::value, 200));
    }
    Probe probe(12);
    std::uint64_t sink_calls = 0;
    const Result<BatchSummary> summary =
        run_ordered(stream, options_of(3, 3), Settings{}, make_job_fn(probe),
                    [&](BatchItem<Output>&&) -> Result<void> {
                        if (++sink_calls == 5) {
                            return std::unexpected("failed to write JSON output: No space left");
                        }
                        return {};
                    });
    ASSERT_FALSE(summary);
    EXPECT_EQ(summary.error(), "failed to write JSON output: No space left");
    EXPECT_EQ(sink_calls, 5U);
    // Windows {0, 1, 2}, {3, 4, 5}: nothing after the failing window is pulled or run, and no job
    // is left running once the runner has returned.
    EXPECT_EQ(stream.pulled, 6U);
    EXPECT_EQ(probe.started.load(), 6U);
    EXPECT_EQ(probe.finished.load(), 6U);
}

TEST(OrderedRunner, ExceptionFromTheSinkPropagatesAfterTheWorkersAreJoined) {
    ItemStream stream;
    for (std::uint64_t k = 0; k < 8; ++k) {
        stream.items.emplace_back(job(k, 10, Behaviour::value, 100));
    }
    Probe probe(8);
    EXPECT_THROW(
        static_cast<void>(run_ordered(
            stream, options_of(2, 4), Settings{}, make_job_fn(probe),
            [](BatchItem<Output>&&) -> Result<void> { throw std::runtime_error("sink broke"); })),
        std::runtime_error);
    EXPECT_EQ(probe.started.load(), probe.finished.load());
    EXPECT_EQ(stream.pulled, 4U);
}

TEST(OrderedRunner, InvalidOptionsFailBeforeAnythingRuns) {
    struct Case {
        BatchOptions options;
        const char* message;
    };
    const Case cases[] = {
        {options_of(0, 2, 100), "--threads must be greater than zero"},
        {options_of(0, 0, 0), "--threads must be greater than zero"},
        {options_of(2, 0, 100), "--max-in-flight must be greater than zero"},
        {options_of(2, 0, 0), "--max-in-flight must be greater than zero"},
        {options_of(2, 2, 0), "--max-in-flight-bases must be greater than zero"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        ItemStream stream;
        stream.items.emplace_back(job(0));
        Probe probe(1);
        const Outcome result = run_logged(stream, c.options, probe);
        ASSERT_FALSE(result.summary);
        EXPECT_EQ(result.summary.error(), c.message);
        EXPECT_EQ(stream.pulled, 0U);
        EXPECT_TRUE(result.emitted.empty());
    }
}

/// A job whose move fails on any thread but the one that created it, i.e. as a worker takes it
/// off the queue.
struct FragileJob {
    explicit FragileJob(std::atomic<bool>& failed) : failed_(&failed) {}
    FragileJob(FragileJob&& other) : owner_(other.owner_), failed_(other.failed_) {
        if (std::this_thread::get_id() != owner_) {
            failed_->store(true);
            throw std::runtime_error("cannot move");
        }
    }
    FragileJob& operator=(FragileJob&&) = delete;
    std::uint64_t cost() const { return 1; }

    std::thread::id owner_ = std::this_thread::get_id();
    std::atomic<bool>* failed_;
};

Result<BatchSummary> run_fragile(std::uint64_t max_in_flight, bool wait_for_failure) {
    std::atomic<bool> failed{false};
    std::uint64_t pulled = 0;
    auto stream = [&]() -> std::optional<InputItem<FragileJob>> {
        if (pulled++ == 1 && wait_for_failure) {
            // Let the worker fail on the first job before the second is submitted.
            for (int k = 0; k < 100'000 && !failed.load(); ++k) {
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        }
        return InputItem<FragileJob>(std::in_place_type<FragileJob>, failed);
    };
    return run_ordered(
        stream, options_of(1, max_in_flight), Settings{},
        [](const Settings&, FragileJob&&) -> BatchItem<Output> { return Output{}; },
        [](BatchItem<Output>&&) -> Result<void> { return {}; });
}

TEST(OrderedRunner, WorkersThatDieWithJobsOutstandingFailTheRun) {
    const Result<BatchSummary> summary = run_fragile(1, false);
    ASSERT_FALSE(summary);
    EXPECT_EQ(summary.error(), "batch workers stopped before returning every job");
}

TEST(OrderedRunner, SubmittingToAQueueBrokenByAWorkerFailsTheRun) {
    const Result<BatchSummary> summary = run_fragile(2, true);
    ASSERT_FALSE(summary);
    EXPECT_EQ(summary.error(), "batch queue mutex was poisoned");
}

TEST(WorkerPanicRecord, HoldsOnlyThePairIndex) {
    const ErrorRecord record = worker_panic_record(41);
    EXPECT_EQ(record.error, (ErrorDetail{.stage = ErrorStage::worker,
                                         .code = "worker_panic",
                                         .message = "batch worker panicked",
                                         .recoverable = true}));
    EXPECT_EQ(record.context, context_at(41));
    EXPECT_EQ(record.schema_version, "rux-align.v2");
    EXPECT_EQ(record.record_type, "error");
}

}  // namespace
}  // namespace rux_dp
