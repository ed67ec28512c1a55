// Named loggers in a tree. An emission is checked against the process-wide
// core first; without a core (the library never installs one) it returns
// there, and no logger ever attaches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "log/record.h"

namespace Log {

class Core;

// Delivery end of a core. A sink receives records at or above its minLevel.
class Sink {
 public:
  explicit Sink(int32_t level) : minLevel(level) {}
  virtual ~Sink() = default;
  virtual void consume(const Record& record, const std::vector<std::string>& channels) = 0;

  const int32_t minLevel;
};

class Logger {
 public:
  // `channelCount` NUL-terminated narrow channel names follow `channelCount`.
  static std::shared_ptr<Logger> create(const char* name, std::shared_ptr<Logger> parent, uint32_t channelCount, ...);
  static std::shared_ptr<Logger> create(std::string name, std::shared_ptr<Logger> parent,
                                        std::vector<std::string> channels);
  // Only create() makes loggers: they live in shared ownership.
  class Key {
    friend class Logger;
    Key() = default;
  };
  Logger(Key, std::string name, std::shared_ptr<Logger> parent, std::vector<std::string> channels);
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // `format` is UTF-8 with placeholders, filled with `argument`.
  void log(int32_t level, const Location& location, const char* format, std::size_t length,
           const std::string& argument) noexcept;
  // `text` is UTF-8 and written as it is, cut at its first NUL.
  void log(int32_t level, const Location& location, const char* text, std::size_t length) noexcept;

  void write(Record& record);
  bool ensureAttached();
  void attach(const std::shared_ptr<Core>& core);
  void addChild(std::weak_ptr<Logger> child);
  void pruneChildren();

  // Sinks are the embedder's; the library adds none.
  void addSink(std::shared_ptr<Sink> sink);
  std::vector<std::shared_ptr<Sink>> sinks();

  const std::string& name() const { return name_; }
  bool attached();
  std::shared_ptr<Logger> parent();
  std::vector<uint32_t> channelIds();
  std::size_t childCount();

 private:
  void emit(int32_t level, const Location& location, const char* format, std::size_t length,
            const std::string* argument) noexcept;

  std::weak_ptr<Logger> self_;
  std::recursive_mutex lock_;
  const std::string name_;
  bool attached_ = false;
  std::shared_ptr<Logger> parent_;
  std::vector<std::weak_ptr<Logger>> children_;
  const std::vector<std::string> channelNames_;
  std::vector<uint32_t> channelIds_;
  std::vector<std::shared_ptr<Sink>> sinks_;
};

// Copy of the process-wide core handle; empty unless an embedder installed one.
std::shared_ptr<Core> coreHandle();
// Replaces the process-wide core handle and returns the previous one. The
// library itself never calls it; embedders and tests do.
std::shared_ptr<Core> installCore(std::shared_ptr<Core> core);

// A core is present, enabled, and lets `level` through.
bool isEnabled(int32_t level);

// Chosen on first use: the module logger, else the core's root logger, else
// none. Never re-evaluated.
std::shared_ptr<Logger> defaultLogger();

// Makes `logger` the module logger that defaultLogger prefers. Called during
// static initialisation by the module that owns it.
std::shared_ptr<Logger> registerModuleLogger(std::shared_ptr<Logger> logger);

// "logger@<last three path components>(<line>)".
std::string moduleLoggerName(const std::string& path, int line);

}  // namespace Log
