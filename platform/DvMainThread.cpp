#include "DvMainThread.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <deque>
#include <mutex>
#include <stdexcept>

namespace dv {

namespace {

// One process-wide queue. The eventfd holds a non-zero count exactly while calls wait: posting
// adds to it, taking the calls out reads it back to zero under the same lock.
class TMainThreadQueue {
 public:
  TMainThreadQueue() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (fd_ < 0) throw std::runtime_error("eventfd failed");
  }
  ~TMainThreadQueue() { close(fd_); }

  void Post(std::function<void()> call) {
    std::lock_guard<std::mutex> lock(lock_);
    calls_.push_back(std::move(call));
    const std::uint64_t one = 1;
    while (write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }

  int Process() {
    std::deque<std::function<void()>> batch;
    {
      std::lock_guard<std::mutex> lock(lock_);
      batch.swap(calls_);
      std::uint64_t count = 0;
      while (read(fd_, &count, sizeof count) < 0 && errno == EINTR) {
      }
    }
    int ran = 0;
    while (!batch.empty()) {
      std::function<void()> call = std::move(batch.front());
      batch.pop_front();
      try {
        if (call) call();
      } catch (...) {
        Requeue(batch);
        throw;
      }
      ++ran;
    }
    return ran;
  }

  int Count() {
    std::lock_guard<std::mutex> lock(lock_);
    return static_cast<int>(calls_.size());
  }
  int FD() const { return fd_; }

 private:
  // Calls not run because one before them raised go back in front, in order.
  void Requeue(std::deque<std::function<void()>>& rest) {
    if (rest.empty()) return;
    std::lock_guard<std::mutex> lock(lock_);
    calls_.insert(calls_.begin(), std::make_move_iterator(rest.begin()),
                  std::make_move_iterator(rest.end()));
    const std::uint64_t one = 1;
    while (write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }

  std::mutex lock_;
  std::deque<std::function<void()>> calls_;
  int fd_;
};

TMainThreadQueue& Queue() {
  static TMainThreadQueue queue;
  return queue;
}

}  // namespace

void DvQueueToMainThread(std::function<void()> call) {
  Queue().Post(std::move(call));
}

int DvProcessMainThreadQueue() {
  return Queue().Process();
}

int DvWaitMainThreadQueue(int timeoutMs) {
  pollfd fd{Queue().FD(), POLLIN, 0};
  if (poll(&fd, 1, timeoutMs) <= 0) return 0;
  return Queue().Process();
}

int DvMainThreadQueueFD() {
  return Queue().FD();
}

int DvMainThreadQueueCount() {
  return Queue().Count();
}

}  // namespace dv
