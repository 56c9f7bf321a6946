// Input buffers of one fixed size that connections borrow while a request is
// under way and give back when they fall idle, so that thousands of idle
// connections hold no buffer and a busy host allocates none per request.
// Thread-safe. Not a general allocator.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace DRAVHost {

class BufferPool {
public:
  // Buffers of `size` bytes; at most `keep` free ones are kept for reuse.
  BufferPool(std::size_t size, std::size_t keep) : size_(size), keep_(keep) {}

  std::size_t bufferSize() const { return size_; }
  // A buffer of bufferSize() bytes, owned by the caller until it is given back.
  std::unique_ptr<char[]> take() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!free_.empty()) {
        std::unique_ptr<char[]> buffer = std::move(free_.back());
        free_.pop_back();
        return buffer;
      }
    }
    return std::unique_ptr<char[]>(new char[size_]);
  }
  void giveBack(std::unique_ptr<char[]> buffer) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (buffer && free_.size() < keep_) free_.push_back(std::move(buffer));
  }

private:
  const std::size_t size_;
  const std::size_t keep_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<char[]>> free_;
};

}  // namespace DRAVHost
