#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace rux_dp::detail {

/// FIFO of (index, job) shared by the main thread and the workers. `closed` tells idle workers to
/// end; `poisoned` records that a worker failed while holding the lock, leaving the deque suspect.
template <class J>
class JobQueue {
public:
    using Entry = std::pair<std::uint64_t, J>;

    /// Appends a job and wakes one idle worker; false when the queue is poisoned.
    [[nodiscard]] bool push(std::uint64_t index, J&& job) {
        {
            std::lock_guard lock(mutex_);
            if (poisoned_)
                return false;
            jobs_.emplace_back(index, std::move(job));
            update_hint();
        }
        ready_.notify_one();
        return true;
    }

    /// The next job, blocking while the queue is empty and open; nothing once it is closed and
    /// drained, or poisoned.
    std::optional<Entry> pop() {
        spin_while_idle();
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return poisoned_ || closed_ || !jobs_.empty(); });
        if (poisoned_ || jobs_.empty())
            return std::nullopt;
        try {
            std::optional<Entry> entry(std::move(jobs_.front()));
            jobs_.pop_front();
            update_hint();
            return entry;
        } catch (...) {
            // The front entry may be half moved: nobody may trust the deque any more, and the
            // other workers must not wait for jobs that will never be handed out.
            poisoned_ = true;
            update_hint();
            lock.unlock();
            ready_.notify_all();
            throw;
        }
    }

    /// Closes the queue (dropping queued jobs when `discard`) and wakes every worker. A poisoned
    /// queue is left as it is; its workers end on waking.
    void close(bool discard) {
        {
            std::lock_guard lock(mutex_);
            if (!poisoned_) {
                if (discard)
                    jobs_.clear();
                closed_ = true;
                update_hint();
            }
        }
        ready_.notify_all();
    }

private:
    // Called under the lock after every change; only spinning workers read it, and they decide
    // nothing from it but when to take the lock.
    void update_hint() {
        hint_.store(poisoned_ || closed_ || !jobs_.empty(), std::memory_order_relaxed);
    }

    /// Between two windows the queue is empty only while the main thread emits and refills.
    /// Sleeping at once lets the processor go idle, and waking an idle virtual processor can
    /// take longer than that gap, so poll briefly (yielding to any other runnable thread) first.
    void spin_while_idle() const {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point until = Clock::now() + spin_limit;
        while (!hint_.load(std::memory_order_relaxed) && Clock::now() < until) {
            std::this_thread::yield();
        }
    }

    static constexpr std::chrono::microseconds spin_limit{200};

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Entry> jobs_;
    bool closed_ = false;
    bool poisoned_ = false;
    std::atomic<bool> hint_{false};
};

/// Unbounded many-to-one channel. Senders are counted, so the receiver learns when every sender
/// has gone instead of waiting forever for results that cannot come.
template <class M>
class ResultChannel {
public:
    /// A sending end; releasing it (destruction) counts the sender out.
    class Sender {
    public:
        Sender(Sender&& other) noexcept : channel_(std::exchange(other.channel_, nullptr)) {}
        Sender& operator=(Sender&&) = delete;
        Sender(const Sender&) = delete;
        Sender& operator=(const Sender&) = delete;
        ~Sender() {
            if (channel_ != nullptr)
                channel_->release_sender();
        }

        void send(M message) { channel_->push(std::move(message)); }

    private:
        friend class ResultChannel;
        explicit Sender(ResultChannel* channel) : channel_(channel) {}
        ResultChannel* channel_;
    };

    Sender make_sender() {
        std::lock_guard lock(mutex_);
        ++senders_;
        return Sender(this);
    }

    /// Blocks until `count` messages are queued or no sender is left, then hands up to `count` of
    /// them to `take` in arrival order; returns how many it handed over. The last `polled`
    /// messages are waited for by brief polling rather than sleeping.
    template <class Take>
    std::uint64_t receive(std::uint64_t count, std::uint64_t polled, Take&& take) {
        std::deque<M> ready;
        {
            std::unique_lock lock(mutex_);
            const auto done = [&] { return messages_.size() >= count || senders_ == 0; };
            if (polled != 0 && count > polled) {
                // When all but the last few results are in, some workers are idle, so polling
                // costs no worker any time and saves the wake-up of a sleeping thread, which
                // the whole pool waits for at the end of every window.
                wanted_ = count - polled;
                arrived_.wait(lock, [&] { return messages_.size() >= wanted_ || senders_ == 0; });
                wanted_ = count;
                hint_.store(done(), std::memory_order_relaxed);
                lock.unlock();
                using Clock = std::chrono::steady_clock;
                const Clock::time_point until = Clock::now() + poll_limit;
                while (!hint_.load(std::memory_order_relaxed) && Clock::now() < until) {
                    std::this_thread::yield();
                }
                lock.lock();
            }
            wanted_ = count;
            arrived_.wait(lock, done);
            wanted_ = 0;
            if (messages_.size() <= count) {
                ready.swap(messages_);
            } else {
                for (std::uint64_t k = 0; k < count; ++k) {
                    ready.push_back(std::move(messages_.front()));
                    messages_.pop_front();
                }
            }
        }
        for (M& message : ready)
            take(std::move(message));
        return ready.size();
    }

private:
    void push(M message) {
        bool wake = false;
        {
            std::lock_guard lock(mutex_);
            messages_.push_back(std::move(message));
            // Waking the receiver once per batch rather than per message keeps the main thread
            // off the CPU the workers need.
            wake = wanted_ != 0 && messages_.size() >= wanted_;
            hint_.store(wake, std::memory_order_relaxed);
        }
        if (wake)
            arrived_.notify_one();
    }

    void release_sender() {
        bool last = false;
        {
            std::lock_guard lock(mutex_);
            last = --senders_ == 0;
            if (last)
                hint_.store(true, std::memory_order_relaxed);
        }
        if (last)
            arrived_.notify_one();
    }

    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<M> messages_;
    std::uint64_t senders_ = 0;
    std::uint64_t wanted_ = 0;
    // Set under the lock when the receiver has what it waits for; read by it while polling.
    std::atomic<bool> hint_{false};

    static constexpr std::chrono::microseconds poll_limit{200};
};

}  // namespace rux_dp::detail
