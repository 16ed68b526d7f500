#include "producer_retirement.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "base/fork_state.h"
#include "speech/transcript_producer.h"

namespace kolta::server {

namespace {

class Retirement {
public:
    Retirement() : generation_(engine::fork_generation()), thread_([this] { run(); }) {}

    ~Retirement() {
        if (engine::fork_generation() != generation_) {
            // A child of fork(): the thread, and maybe a lock, stayed behind.
            engine::abandon_inherited_thread(thread_);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

    void add(std::unique_ptr<engine::TranscriptProducer> producer) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(std::move(producer));
        }
        wake_.notify_all();
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (true) {
            wake_.wait(lock, [this] { return !queue_.empty() || stopping_; });
            if (queue_.empty()) {
                return;
            }
            auto producer = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            producer.reset();
            lock.lock();
        }
    }

    const std::uint64_t generation_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::unique_ptr<engine::TranscriptProducer>> queue_;
    bool stopping_ = false;
    std::thread thread_; // last: started once the rest is ready
};

} // namespace

void retire_in_background(std::unique_ptr<engine::TranscriptProducer> producer) {
    static Retirement retirement;
    retirement.add(std::move(producer));
}

} // namespace kolta::server
