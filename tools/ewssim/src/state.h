// Saving and loading mailboxes between runs (the optional state file), and keeping that file up
// to date while the server runs.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "store.h"

namespace ewssim {

// Fills an empty store from the state file. Returns false when there is no such file; throws
// std::runtime_error naming the file and the fault when it exists but cannot be read.
bool LoadState(const std::string& path, const SchemaModel& schema, Store& store);
// The store as state file text; the caller holds the store's mutex (shared is enough).
std::string StateText(const Store& store);
// Replaces `path` with `text` so that a crash leaves either the old file or the new one: a
// temporary file beside it is written and flushed to the disk, renamed over it, and the folder
// flushed. Throws std::runtime_error on failure, leaving the old file in place.
void WriteFileAtomically(const std::string& path, const std::string& text);

// Writes a snapshot of the store to the state file soon after each change: a background thread
// looks at the store's generation every kStatePollMs and writes when it moved. A failed write is
// reported on stderr (once until the message changes or a write succeeds) and retried.
class StateKeeper {
 public:
  static constexpr int kStatePollMs = 250;

  // `savedGeneration`: the store's generation that the file already holds (0: none).
  StateKeeper(std::string path, Store& store, uint64_t savedGeneration);
  ~StateKeeper();
  StateKeeper(const StateKeeper&) = delete;
  StateKeeper& operator=(const StateKeeper&) = delete;

  // Stops the thread and writes the last changes; returns false when that write failed.
  bool Stop();

 private:
  bool SaveIfChanged();
  void Run();

  std::string path_;
  Store& store_;
  uint64_t saved_;
  std::string lastError_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace ewssim
