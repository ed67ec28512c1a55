#include "log/logger.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "log/core.h"
#include "log/format_message.h"
#include "platform/platform.h"
#include "text/text.h"

namespace Log {
namespace {

const uint32_t loadedProcessId = ql::platform::processId();

std::recursive_mutex& coreHandleMutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

std::shared_ptr<Core>& coreHandleSlot() {
  static std::shared_ptr<Core> core;
  return core;
}

std::shared_ptr<Logger>& moduleLoggerSlot() {
  static std::shared_ptr<Logger> logger;
  return logger;
}

constexpr int32_t kAnnouncementLevel = 1;
constexpr char kAnnouncement[] = "Logger created (%0)";

}  // namespace

Location Location::here(const char* file, int32_t line) {
  return Location{file, line, ql::platform::unixTime100ns(), processId(), ql::platform::threadId()};
}

Record::Record(const Location& location, int32_t recordLevel, std::u16string recordText)
    : file(location.file),
      line(location.line),
      time(location.time),
      process(location.process),
      thread(location.thread),
      level(recordLevel),
      text(std::move(recordText)) {}

uint32_t processId() { return loadedProcessId; }

uint32_t channelId(const std::string& name) {
  uint32_t hash = 0x811C9DC5u;
  for (unsigned char byte : name) {
    hash ^= byte;
    hash *= 0x01000193u;
  }
  return hash;
}

std::shared_ptr<Logger> Logger::create(const char* name, std::shared_ptr<Logger> parent, uint32_t channelCount, ...) {
  std::vector<std::string> channels;
  va_list names;
  va_start(names, channelCount);
  for (uint32_t i = 0; i < channelCount; ++i) channels.emplace_back(va_arg(names, const char*));
  va_end(names);
  return create(std::string(name != nullptr ? name : ""), std::move(parent), std::move(channels));
}

std::shared_ptr<Logger> Logger::create(std::string name, std::shared_ptr<Logger> parent,
                                       std::vector<std::string> channels) {
  auto logger = std::make_shared<Logger>(Key(), std::move(name), std::move(parent), std::move(channels));
  logger->self_ = logger;
  return logger;
}

Logger::Logger(Key, std::string name, std::shared_ptr<Logger> parent, std::vector<std::string> channels)
    : name_(std::move(name)), parent_(std::move(parent)), channelNames_(std::move(channels)) {}

Logger::~Logger() {
  if (parent_) parent_->pruneChildren();
}

void Logger::log(int32_t level, const Location& location, const char* format, std::size_t length,
                 const std::string& argument) noexcept {
  emit(level, location, format, length, &argument);
}

void Logger::log(int32_t level, const Location& location, const char* text, std::size_t length) noexcept {
  emit(level, location, text, length, nullptr);
}

void Logger::emit(int32_t level, const Location& location, const char* format, std::size_t length,
                  const std::string* argument) noexcept {
  if (!isEnabled(level)) return;
  try {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (!ensureAttached()) return;
    const std::u16string wide = format != nullptr ? ql::utf8ToWide(format, length) : u"";
    std::u16string text = argument != nullptr ? ql::formatMessage(wide, *argument) : ql::formatMessage(wide);
    Record record(location, level, std::move(text));
    write(record);
  } catch (...) {
    // Emission never fails towards its caller; the record is lost.
  }
}

void Logger::write(Record& record) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!ensureAttached()) return;
  // The logger's own ids go in front, in its own order, without duplicates.
  for (auto id = channelIds_.rbegin(); id != channelIds_.rend(); ++id) {
    if (std::find(record.channels.begin(), record.channels.end(), *id) == record.channels.end()) {
      record.channels.insert(record.channels.begin(), *id);
    }
  }
  if (!sinks_.empty()) {
    if (std::shared_ptr<Core> core = coreHandle()) core->push(self_.lock(), record);
  }
  if (parent_) parent_->write(record);
}

bool Logger::ensureAttached() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (attached_) return true;
  std::shared_ptr<Core> core = coreHandle();
  if (!core) return false;
  attach(core);
  return true;
}

void Logger::attach(const std::shared_ptr<Core>& core) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  attached_ = true;
  channelIds_ = core->registerChannels(channelNames_);
  if (!parent_) {
    std::shared_ptr<Logger> root = core->rootLogger();
    // The root logger itself has no parent; taking itself would loop forever.
    if (root.get() != this) parent_ = std::move(root);
  }
  if (parent_) {
    parent_->ensureAttached();
    parent_->addChild(self_);
  }
  log(kAnnouncementLevel, Location::here("logger", 165), kAnnouncement, sizeof(kAnnouncement) - 1, name_);
}

void Logger::addChild(std::weak_ptr<Logger> child) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  pruneChildren();
  children_.push_back(std::move(child));
}

void Logger::pruneChildren() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  children_.erase(std::remove_if(children_.begin(), children_.end(),
                                 [](const std::weak_ptr<Logger>& child) { return child.expired(); }),
                  children_.end());
}

void Logger::addSink(std::shared_ptr<Sink> sink) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  sinks_.push_back(std::move(sink));
}

std::vector<std::shared_ptr<Sink>> Logger::sinks() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return sinks_;
}

bool Logger::attached() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return attached_;
}

std::shared_ptr<Logger> Logger::parent() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return parent_;
}

std::vector<uint32_t> Logger::channelIds() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return channelIds_;
}

std::size_t Logger::childCount() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  pruneChildren();
  return children_.size();
}

std::shared_ptr<Core> coreHandle() {
  std::lock_guard<std::recursive_mutex> guard(coreHandleMutex());
  return coreHandleSlot();
}

std::shared_ptr<Core> installCore(std::shared_ptr<Core> core) {
  std::lock_guard<std::recursive_mutex> guard(coreHandleMutex());
  std::swap(coreHandleSlot(), core);
  return core;
}

bool isEnabled(int32_t level) {
  const std::shared_ptr<Core> core = coreHandle();
  return core && core->enabled() && level >= core->minLevel();
}

std::shared_ptr<Logger> registerModuleLogger(std::shared_ptr<Logger> logger) {
  moduleLoggerSlot() = logger;
  return logger;
}

std::shared_ptr<Logger> defaultLogger() {
  static std::recursive_mutex mutex;
  static bool chosen = false;
  static std::shared_ptr<Logger> logger;
  std::lock_guard<std::recursive_mutex> guard(mutex);
  if (!chosen) {
    chosen = true;
    if (moduleLoggerSlot()) {
      logger = moduleLoggerSlot();
    } else if (std::shared_ptr<Core> core = coreHandle()) {
      logger = core->rootLogger();
    }
  }
  return logger;
}

std::string moduleLoggerName(const std::string& path, int line) {
  // The last three components of the path, joined by '/'.
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = path.find_first_of("/\\", start);
    const std::size_t stop = end == std::string::npos ? path.size() : end;
    if (stop > start) parts.push_back(path.substr(start, stop - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  const std::size_t first = parts.size() > 3 ? parts.size() - 3 : 0;
  std::string joined;
  for (std::size_t i = first; i < parts.size(); ++i) {
    if (!joined.empty()) joined += '/';
    joined += parts[i];
  }
  return "logger@" + joined + "(" + std::to_string(line) + ")";
}

}  // namespace Log
