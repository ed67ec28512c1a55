#include "log/core.h"

#include <utility>

#include "log/logger.h"

namespace Log {
namespace {

constexpr int32_t kOverflowLevel = 4;
constexpr char16_t kOverflowNotice[] = u"Log buffer overflow: some messages may be lost!";

}  // namespace

Core::Core(Settings settings)
    : failureHandler_(std::move(settings.failureHandler)),
      mode_(settings.mode),
      capacity_(settings.capacity),
      rootLogger_(std::move(settings.rootLogger)),
      minLevel_(settings.minLevel) {}

std::vector<uint32_t> Core::registerChannels(const std::vector<std::string>& names) {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<uint32_t> ids;
  ids.reserve(names.size());
  for (const std::string& name : names) {
    const uint32_t id = channelId(name);
    registry_[id] = name;  // on a collision the later name wins
    ids.push_back(id);
  }
  return ids;
}

std::vector<std::string> Core::resolveChannels(const std::vector<uint32_t>& ids) {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<std::string> names;
  names.reserve(ids.size());
  for (uint32_t id : ids) names.push_back(registry_[id]);
  return names;
}

std::shared_ptr<Logger> Core::rootLogger() {
  std::lock_guard<std::mutex> guard(lock_);
  return rootLogger_;
}

void Core::push(const std::shared_ptr<Logger>& owner, const Record& record) {
  if (!enabled()) return;
  submit(owner, record, resolveChannels(record.channels));
}

void Core::submit(const std::shared_ptr<Logger>& owner, const Record& record, std::vector<std::string> names) {
  if (!enabled()) return;
  try {
    QueuedRecord item{owner, record, std::move(names)};
    bool wanted = false;
    for (const std::shared_ptr<Sink>& sink : owner->sinks()) {
      if (sink->minLevel <= record.level) wanted = true;
    }
    // Nobody would read it: it must not take a queue slot either.
    if (!wanted) return;
    if (mode_ == kSynchronous) {
      std::lock_guard<std::mutex> guard(lock_);
      dispatch(item);
    } else if (mode_ == kBuffered) {
      enqueue(std::move(item));
    }
  } catch (const Errors::Base& error) {
    fail(error);
  } catch (const std::exception& error) {
    fail(Errors::Failed(error.what()));
  }
}

void Core::dispatch(const QueuedRecord& item) {
  for (const std::shared_ptr<Sink>& sink : item.owner->sinks()) {
    if (sink->minLevel <= item.record.level) sink->consume(item.record, item.channels);
  }
}

void Core::enqueue(QueuedRecord item) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    const auto length = static_cast<uint32_t>(queue_.size());
    if (length > capacity_ - 1u) return;
    if (length == capacity_ - 1u) {
      // The last slot always carries the notice; the record is lost.
      item.record = Record(Location::here("core", 396), kOverflowLevel, kOverflowNotice);
      item.channels.clear();
    }
    queue_.push_back(std::move(item));
    if (length + 1u > peakLength_.load()) peakLength_.exchange(length + 1u);
  }
  std::lock_guard<std::mutex> guard(signalMutex_);
  signal_.notify_one();
}

void Core::fail(const Errors::Base& error) {
  FailureHandler handler;
  {
    std::lock_guard<std::mutex> guard(lock_);
    handler = failureHandler_;
    enabled_.exchange(false);
  }
  if (handler) handler(error);
}

bool Core::pop(QueuedRecord& item) {
  std::lock_guard<std::mutex> guard(lock_);
  if (queue_.empty()) return false;
  item = std::move(queue_.front());
  queue_.pop_front();
  return true;
}

std::size_t Core::queueLength() {
  std::lock_guard<std::mutex> guard(lock_);
  return queue_.size();
}

BufferedConsumer::BufferedConsumer(std::shared_ptr<Core> core) : core_(std::move(core)), thread_([this] { run(); }) {}

BufferedConsumer::~BufferedConsumer() { stop(); }

void BufferedConsumer::stop() {
  {
    std::lock_guard<std::mutex> guard(core_->signalMutex());
    stopping_ = true;
  }
  core_->signal().notify_all();
  if (thread_.joinable()) thread_.join();
}

void BufferedConsumer::run() {
  std::unique_lock<std::mutex> signalLock(core_->signalMutex());
  for (;;) {
    QueuedRecord item;
    if (core_->pop(item)) {
      signalLock.unlock();
      try {
        core_->dispatch(item);
      } catch (const Errors::Base& error) {
        core_->fail(error);
      } catch (const std::exception& error) {
        core_->fail(Errors::Failed(error.what()));
      }
      signalLock.lock();
      continue;
    }
    if (stopping_) return;
    core_->signal().wait(signalLock);
  }
}

}  // namespace Log
