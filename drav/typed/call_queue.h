// The threads that run a typed client's asynchronous calls: at most
// `capacity` of them, started as calls wait and none is idle, each running
// one call at a time from a queue in the order posted. Destroying the queue
// cancels the calls still waiting (their cancel action runs) and waits for
// those running. Thread-safe.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace DRAVTyped {

// Runs posted calls on at most `capacity` threads, in order.
class CallQueue {
public:
  explicit CallQueue(unsigned capacity) : capacity_(capacity == 0 ? 1 : capacity) {}
  CallQueue(const CallQueue&) = delete;
  CallQueue& operator=(const CallQueue&) = delete;

  ~CallQueue() {
    std::deque<Task> cancelled;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      cancelled.swap(waiting_);
    }
    posted_.notify_all();
    for (Task& task : cancelled) task.cancel();
    for (std::thread& worker : workers_) worker.join();
  }

  // `run` runs on one of the queue's threads; `cancel` instead when the
  // queue is destroyed first. Neither may throw.
  void post(std::function<void()> run, std::function<void()> cancel) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      waiting_.push_back(Task{std::move(run), std::move(cancel)});
      if (idle_ < waiting_.size() && workers_.size() < capacity_) workers_.emplace_back([this] { work(); });
    }
    posted_.notify_one();
  }

  // Threads started so far (never more than the capacity).
  std::size_t threads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return workers_.size();
  }

private:
  struct Task {
    std::function<void()> run;
    std::function<void()> cancel;
  };

  void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      ++idle_;
      posted_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
      --idle_;
      if (stopping_) return;
      Task task = std::move(waiting_.front());
      waiting_.pop_front();
      lock.unlock();
      task.run();
      lock.lock();
    }
  }

  const unsigned capacity_;
  mutable std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<Task> waiting_;
  std::vector<std::thread> workers_;
  std::size_t idle_ = 0;
  bool stopping_ = false;
};

}  // namespace DRAVTyped
