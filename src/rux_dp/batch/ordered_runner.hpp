#pragma once

#include "rux_dp/base/result.hpp"
#include "rux_dp/batch/batch_options.hpp"
#include "rux_dp/batch/error_record.hpp"
#include "rux_dp/batch/ordered_runner_detail.hpp"

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace rux_dp {

/// What the sink receives: a job's result, or an error record in its place.
template <class T>
using BatchItem = std::variant<T, ErrorRecord>;

/// What the input stream yields: a job, or an error record for an input that cannot become one.
template <class J>
using InputItem = std::variant<J, ErrorRecord>;

/// A job reports its cost in bases (query length plus target length); windows are bounded by it.
template <class J>
concept BatchJob =
    std::move_constructible<J> && !std::same_as<J, ErrorRecord> && requires(const J& job) {
    { job.cost() } -> std::convertible_to<std::uint64_t>;
};

/// Counts over one run; `max_window_bases` is the largest total job cost of one window.
struct BatchSummary {
    std::uint64_t records = 0;  // items handed to the sink
    std::uint64_t errors = 0;   // error records among them
    std::uint64_t max_window_records = 0;
    std::uint64_t max_window_bases = 0;
    bool operator==(const BatchSummary&) const = default;
};

/// The record that replaces a job whose function threw: stage "worker", code "worker_panic",
/// context with only the pair index.
ErrorRecord worker_panic_record(std::uint64_t index);

namespace detail {

inline constexpr const char* workers_stopped_message =
    "batch workers stopped before returning every job";
inline constexpr const char* missing_results_message =
    "batch window completed with missing results";
inline constexpr const char* queue_poisoned_message = "batch queue mutex was poisoned";

template <class Stream>
auto next_input(Stream& stream) {
    if constexpr (requires { stream.next(); }) {
        return stream.next();
    } else {
        return stream();
    }
}

template <class Opt>
struct InputTraits {};
template <class J>
struct InputTraits<std::optional<std::variant<J, ErrorRecord>>> {
    using Job = J;
};

template <class Item>
struct ItemTraits {};
template <class T>
struct ItemTraits<std::variant<T, ErrorRecord>> {
    using Value = T;
};

template <class Stream>
using StreamJob =
    typename InputTraits<std::remove_cvref_t<decltype(next_input(std::declval<Stream&>()))>>::Job;

template <class JobFn, class Settings, class J>
using JobValue = typename ItemTraits<
    std::remove_cvref_t<std::invoke_result_t<const JobFn&, const Settings&, J&&>>>::Value;

template <class J>
std::optional<InputItem<J>> take_held_back(std::optional<J>& held_back) {
    std::optional<InputItem<J>> item(std::in_place, std::in_place_type<J>, std::move(*held_back));
    held_back.reset();
    return item;
}

inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    return a > max - b ? max : a + b;
}

/// The worker pool of one run. Its destructor closes the queue and joins every worker, so no
/// way out of `run_ordered` (an exception from the stream or the sink included) leaves a thread
/// running or touching the queue and channel after they are gone.
template <class J, class T>
class WorkerPool {
public:
    using Message = std::pair<std::uint64_t, BatchItem<T>>;

    WorkerPool() = default;
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    ~WorkerPool() { shutdown(true); }

    /// Starts `threads` workers; on failure the ones already started are joined and the
    /// message returned.
    template <class Settings, class JobFn>
    Result<void> start(std::uint64_t threads, const Settings& settings, const JobFn& job_fn) {
        workers_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(threads, 64)));
        for (std::uint64_t k = 0; k < threads; ++k) {
            try {
                workers_.emplace_back(
                    [this, &settings, &job_fn](typename ResultChannel<Message>::Sender sender) {
                        work(std::move(sender), settings, job_fn);
                    },
                    channel_.make_sender());
            } catch (const std::system_error& e) {
                shutdown(true);
                return std::unexpected("failed to start batch worker thread: "
                                       + e.code().message());
            }
        }
        return {};
    }

    [[nodiscard]] bool submit(std::uint64_t index, J&& job) {
        return queue_.push(index, std::move(job));
    }

    template <class Take>
    std::uint64_t receive(std::uint64_t count, Take&& take) {
        // With every worker busy there is no spare processor to poll on; once fewer results
        // than workers are outstanding there is.
        const std::uint64_t polled = workers_.empty() ? 0 : workers_.size() - 1;
        return channel_.receive(count, polled, std::forward<Take>(take));
    }

    /// Closes the queue, dropping jobs not yet taken when `discard`, and joins the workers in
    /// start order.
    void shutdown(bool discard) {
        queue_.close(discard);
        for (std::thread& worker : workers_) {
            if (worker.joinable())
                worker.join();
        }
        workers_.clear();
    }

private:
    template <class Settings, class JobFn>
    void work(typename ResultChannel<Message>::Sender sender, const Settings& settings,
              const JobFn& job_fn) noexcept {
        try {
            while (std::optional<typename JobQueue<J>::Entry> entry = queue_.pop()) {
                const std::uint64_t index = entry->first;
                sender.send(
                    Message(index, run_job(index, std::move(entry->second), settings, job_fn)));
            }
        } catch (...) {
            // A failure outside the job function (taking a job, allocating its record) ends
            // this worker only; the main thread sees a worker that stopped early.
        }
    }

    template <class Settings, class JobFn>
    static BatchItem<T> run_job(std::uint64_t index, J&& job, const Settings& settings,
                                const JobFn& job_fn) {
        try {
            return std::invoke(job_fn, settings, std::move(job));
        } catch (...) {
            return worker_panic_record(index);
        }
    }

    // Declared before the threads: both must outlive every worker.
    JobQueue<J> queue_;
    ResultChannel<Message> channel_;
    std::vector<std::thread> workers_;
};

}  // namespace detail

/// Runs the jobs of `input` on `options.threads` worker threads and hands every item to `sink`
/// in input order, window by window.
///
/// - `input`: `next()` (or a call) returns `std::optional<InputItem<J>>`, nothing at the end;
///   only the calling thread pulls from it, and never again after it ran out or the run stopped.
/// - `job_fn(settings, J&&)` returns `BatchItem<T>`; it runs on the workers, concurrently, and
///   gets `settings` read-only. Whatever it throws becomes a "worker_panic" record.
/// - `sink(BatchItem<T>&&)` returns `Result<void>`; it runs on the calling thread, once per item
///   in index order; its message ends the run and is returned.
///
/// A non-recoverable error record, or any error record under `fail_fast`, is emitted and then
/// ends the run as a success. Every worker is joined before this returns, also when the stream
/// or the sink throws (the exception then propagates).
template <class Input, class Settings, class JobFn, class Sink>
requires BatchJob<detail::StreamJob<Input>>
[[nodiscard]] Result<BatchSummary> run_ordered(Input&& input, const BatchOptions& options,
                                               const Settings& settings, const JobFn& job_fn,
                                               Sink&& sink) {
    using J = detail::StreamJob<Input>;
    using T = detail::JobValue<JobFn, Settings, J>;
    static_assert(!std::same_as<T, ErrorRecord>, "a job's result must differ from ErrorRecord");
    static_assert(std::same_as<std::invoke_result_t<Sink&, BatchItem<T>&&>, Result<void>>,
                  "the sink takes a BatchItem<T>&& and returns Result<void>");

    if (Result<void> valid = options.validate(); !valid) {
        return std::unexpected(std::move(valid).error());
    }

    detail::WorkerPool<J, T> pool;
    if (Result<void> started = pool.start(options.threads, settings, job_fn); !started) {
        return std::unexpected(std::move(started).error());
    }

    BatchSummary summary;
    std::optional<J> held_back;  // the job that did not fit the previous window
    std::uint64_t next_index = 0;
    bool exhausted = false;
    // One window, slot k holding index window_start + k once it is known.
    std::vector<std::optional<BatchItem<T>>> window;

    const auto fail = [&pool](std::string message) -> Result<BatchSummary> {
        pool.shutdown(true);
        return std::unexpected(std::move(message));
    };

    while (!exhausted) {
        const std::uint64_t window_start = next_index;
        std::uint64_t window_bases = 0;
        std::uint64_t submitted = 0;
        std::uint64_t filled = 0;
        window.clear();

        // Admits one item; false only when the queue refused the job.
        const auto admit = [&](InputItem<J>&& item) -> bool {
            const std::uint64_t index = next_index++;
            if (ErrorRecord* record = std::get_if<ErrorRecord>(&item)) {
                window.emplace_back(std::in_place, std::in_place_type<ErrorRecord>,
                                    std::move(*record));
                ++filled;
                return true;
            }
            window.emplace_back();
            ++submitted;
            return pool.submit(index, std::get<J>(std::move(item)));
        };

        // The first item is admitted whatever its cost, so an oversized job runs alone.
        std::optional<InputItem<J>> first =
            held_back ? detail::take_held_back(held_back) : detail::next_input(input);
        if (!first)
            break;
        if (const J* job = std::get_if<J>(&*first))
            window_bases = job->cost();
        if (!admit(std::move(*first)))
            return fail(detail::queue_poisoned_message);

        while (window.size() < options.max_in_flight) {
            std::optional<InputItem<J>> item = detail::next_input(input);
            if (!item) {
                exhausted = true;
                break;
            }
            if (J* job = std::get_if<J>(&*item)) {
                const std::uint64_t bases = detail::saturating_add(window_bases, job->cost());
                if (bases > options.max_in_flight_bases) {
                    held_back.emplace(std::move(*job));
                    break;
                }
                window_bases = bases;
            }
            if (!admit(std::move(*item)))
                return fail(detail::queue_poisoned_message);
        }

        const std::uint64_t received =
            pool.receive(submitted, [&](typename detail::WorkerPool<J, T>::Message&& message) {
                const std::uint64_t index = message.first;
                // An index outside the window or seen twice fills nothing, so the count check
                // below catches it.
                if (index < window_start || index - window_start >= window.size())
                    return;
                std::optional<BatchItem<T>>& slot = window[index - window_start];
                if (slot)
                    return;
                slot.emplace(std::move(message.second));
                ++filled;
            });
        if (received < submitted)
            return fail(detail::workers_stopped_message);
        if (filled != window.size())
            return fail(detail::missing_results_message);

        summary.max_window_records =
            std::max<std::uint64_t>(summary.max_window_records, window.size());
        summary.max_window_bases = std::max(summary.max_window_bases, window_bases);

        for (std::optional<BatchItem<T>>& slot : window) {
            const ErrorRecord* record = std::get_if<ErrorRecord>(&*slot);
            const bool is_error = record != nullptr;
            const bool stops = is_error && (!record->error.recoverable || options.fail_fast);
            Result<void> sunk = sink(std::move(*slot));
            if (!sunk)
                return fail(std::move(sunk).error());
            ++summary.records;
            if (is_error)
                ++summary.errors;
            if (stops) {
                pool.shutdown(options.fail_fast);
                return summary;
            }
        }
    }

    pool.shutdown(options.fail_fast);
    return summary;
}

}  // namespace rux_dp
