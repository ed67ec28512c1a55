// What an emission produces: the call site, the level, the text and the ids
// of the channels gathered on its way up the logger tree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Log {

struct Location {
  const char* file;  // static name without directories or extension
  int32_t line;
  int64_t time;  // 100-nanosecond units since 1970-01-01 UTC
  uint32_t process;
  uint32_t thread;

  // The call site with the current time, process and thread.
  static Location here(const char* file, int32_t line);
};

struct Record {
  const char* file = "";
  int32_t line = 0;
  int64_t time = 0;
  uint32_t process = 0;
  uint32_t thread = 0;
  int32_t level = 0;
  std::u16string text;
  std::vector<uint32_t> channels;

  Record() = default;
  Record(const Location& location, int32_t level, std::u16string text);
};

// The process id, read once when the library is loaded.
uint32_t processId();

// 32-bit FNV-1a of the name's bytes.
uint32_t channelId(const std::string& name);

}  // namespace Log
