// The process-wide log core: level filter, channel registry, and delivery of
// records to the sinks of the logger that submitted them, either at once
// (synchronous) or through a bounded queue that a consumer drains (buffered).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log/errors.h"
#include "log/record.h"

namespace Log {

class Logger;

struct QueuedRecord {
  std::shared_ptr<Logger> owner;
  Record record;
  std::vector<std::string> channels;
};

class Core {
 public:
  enum Mode : int32_t { kSynchronous = 1, kBuffered = 2 };
  using FailureHandler = std::function<void(const Errors::Base&)>;

  struct Settings {
    int32_t mode = kSynchronous;
    uint32_t capacity = 1024;
    int32_t minLevel = 0;
    FailureHandler failureHandler;
    std::shared_ptr<Logger> rootLogger;
  };

  explicit Core(Settings settings);
  Core(const Core&) = delete;
  Core& operator=(const Core&) = delete;

  bool enabled() const { return enabled_.load(); }
  int32_t minLevel() const { return minLevel_; }

  std::vector<uint32_t> registerChannels(const std::vector<std::string>& names);
  std::vector<std::string> resolveChannels(const std::vector<uint32_t>& ids);
  std::shared_ptr<Logger> rootLogger();

  void push(const std::shared_ptr<Logger>& owner, const Record& record);
  void submit(const std::shared_ptr<Logger>& owner, const Record& record, std::vector<std::string> names);
  void dispatch(const QueuedRecord& item);
  void enqueue(QueuedRecord item);
  void fail(const Errors::Base& error);

  // Consumer side of buffered mode. Wait on signal() holding signalMutex();
  // pop() takes the head of the queue under the core lock.
  bool pop(QueuedRecord& item);
  std::mutex& signalMutex() { return signalMutex_; }
  std::condition_variable& signal() { return signal_; }
  std::size_t queueLength();
  uint32_t peakLength() const { return peakLength_.load(); }

 private:
  std::mutex lock_;
  std::atomic<bool> enabled_{true};
  FailureHandler failureHandler_;
  const int32_t mode_;
  std::deque<QueuedRecord> queue_;
  const uint32_t capacity_;
  std::mutex signalMutex_;
  std::condition_variable signal_;
  std::shared_ptr<Logger> rootLogger_;
  const int32_t minLevel_;
  std::map<uint32_t, std::string> registry_;
  std::atomic<uint32_t> peakLength_{0};
};

// Drains a buffered core on a thread of its own and dispatches each item as
// the synchronous mode would. Stopping delivers what is still queued first.
class BufferedConsumer {
 public:
  explicit BufferedConsumer(std::shared_ptr<Core> core);
  ~BufferedConsumer();
  BufferedConsumer(const BufferedConsumer&) = delete;
  BufferedConsumer& operator=(const BufferedConsumer&) = delete;

  void stop();

 private:
  void run();

  std::shared_ptr<Core> core_;
  bool stopping_ = false;  // guarded by the core's signal mutex
  std::thread thread_;
};

}  // namespace Log
