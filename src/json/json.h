// The library's handle on one jansson value. Nodes share values through
// jansson's own reference count; a node without a value ("empty") is what a
// failed lookup yields.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "json/json_errors.h"

struct json_t;

namespace Log {
class Logger;
}

namespace Common::JSON {

class JsonNode;

// Members of an object by key, in byte order of the keys.
using JsonMemberMap = std::map<std::string, JsonNode>;

class JsonNode {
 public:
  JsonNode() noexcept = default;
  // A new object holding every member of the map (each value shared).
  explicit JsonNode(const JsonMemberMap& members);
  JsonNode(const JsonNode& other) noexcept;
  JsonNode(JsonNode&& other) noexcept;
  JsonNode& operator=(const JsonNode& other) noexcept;
  JsonNode& operator=(JsonNode&& other) noexcept;
  ~JsonNode();

  // Takes over a reference the caller owns. Throws Failed for null.
  static JsonNode adopt(json_t* value);
  // Takes a new reference to a value owned elsewhere. Throws Failed for null.
  static JsonNode share(json_t* value);

  // Parses a NUL-terminated text whose top level is an object or an array.
  // A rejected text is reported to the default logger and thrown as Failed.
  static JsonNode load(const char* text);

  // The member `key` of an object node; an empty node for anything else.
  JsonNode get(const std::string& key) const;
  // Throws BadCast unless this is an object node.
  JsonMemberMap asMap() const;
  // Throws BadCast unless this is a string node; the text up to its first NUL.
  std::string asString() const;

  bool empty() const noexcept { return value_ == nullptr; }
  bool isObject() const noexcept;
  json_t* value() const noexcept { return value_; }

 private:
  explicit JsonNode(json_t* value) noexcept : value_(value) {}

  json_t* value_ = nullptr;
};

// Follows `keys` from `root`, one object member per key; an empty node when a
// step fails or `root` is not an object with members.
JsonNode findJsonNode(const JsonNode& root, const std::vector<std::string>& keys);

// The JSON module's logger, created when the library is loaded.
const std::shared_ptr<Log::Logger>& moduleLogger();

}  // namespace Common::JSON
