#pragma once
// The headless host's event thread: work posted from any thread runs, in order, on the thread
// that calls run().
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace tesmor::host {

class EventQueue {
public:
    void post(std::function<void()> work) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(work));
        }
        ready_.notify_one();
    }
    void quit() {
        {
            std::lock_guard lock(mutex_);
            quitting_ = true;
        }
        ready_.notify_one();
    }
    // Runs posted work until quit(); work posted before quit() still runs.
    void run() {
        for (;;) {
            std::function<void()> work;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [&] { return quitting_ || !queue_.empty(); });
                if (queue_.empty()) return;
                work = std::move(queue_.front());
                queue_.pop_front();
            }
            work();
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> queue_;
    bool quitting_ = false;
};

}  // namespace tesmor::host
