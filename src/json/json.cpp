#include "json/json.h"

#include <jansson.h>

#include <algorithm>
#include <cstring>

#include "log/format_message.h"
#include "log/logger.h"
#include "text/text.h"

// Documents are read by several host threads at once, and every walk changes
// the reference counts of the values it passes. Those counts must be atomic.
#if !(defined(JSON_HAVE_ATOMIC_BUILTINS) && JSON_HAVE_ATOMIC_BUILTINS) && \
    !(defined(JSON_HAVE_SYNC_BUILTINS) && JSON_HAVE_SYNC_BUILTINS)
#error "jansson is built without atomic reference counts; concurrent document reads would corrupt them"
#endif

namespace Common::JSON {
namespace {

const std::shared_ptr<Log::Logger> jsonModuleLogger =
    Log::registerModuleLogger(Log::Logger::create(Log::moduleLoggerName("json", 52).c_str(), nullptr, 1, "Common"));

constexpr int32_t kErrorLevel = 5;
constexpr char16_t kLoadFailure[] = u"Failed to load JSON data (%0); line: %1; col: %2; byte: %3";
constexpr char kCreateFailure[] = "Failed to create json node";

// jansson's header reads the count with a plain load before it changes it
// atomically; these helpers keep every access atomic. A count of -1 marks a
// value jansson never counts (true, false, null).
constexpr std::size_t kUncounted = static_cast<std::size_t>(-1);

std::size_t loadCount(json_t* value) noexcept { return __atomic_load_n(&value->refcount, __ATOMIC_ACQUIRE); }

void retain(json_t* value) noexcept {
  if (value != nullptr && loadCount(value) != kUncounted) {
    __atomic_add_fetch(&value->refcount, 1, __ATOMIC_RELAXED);
  }
}

void release(json_t* value) noexcept {
  if (value != nullptr && loadCount(value) != kUncounted &&
      __atomic_sub_fetch(&value->refcount, 1, __ATOMIC_ACQ_REL) == 0) {
    json_delete(value);
  }
}

}  // namespace

const std::shared_ptr<Log::Logger>& moduleLogger() { return jsonModuleLogger; }

JsonNode::JsonNode(const JsonMemberMap& members) {
  // Built in a local node, so that a refused member releases the partly built
  // object: this node's destructor does not run when its constructor throws.
  JsonNode object = adopt(json_object());
  for (const auto& [key, node] : members) {
    retain(node.value_);
    // json_object_set_new takes the reference just made, also on refusal.
    if (json_object_set_new(object.value_, key.c_str(), node.value_) != 0) {
      throw Errors::Failed(kCreateFailure);
    }
  }
  std::swap(value_, object.value_);
}

JsonNode::JsonNode(const JsonNode& other) noexcept : value_(other.value_) { retain(value_); }

JsonNode::JsonNode(JsonNode&& other) noexcept : value_(other.value_) { other.value_ = nullptr; }

JsonNode& JsonNode::operator=(const JsonNode& other) noexcept {
  if (this != &other) {
    retain(other.value_);
    release(value_);
    value_ = other.value_;
  }
  return *this;
}

JsonNode& JsonNode::operator=(JsonNode&& other) noexcept {
  if (this != &other) {
    release(value_);
    value_ = other.value_;
    other.value_ = nullptr;
  }
  return *this;
}

JsonNode::~JsonNode() { release(value_); }

JsonNode JsonNode::adopt(json_t* value) {
  if (value == nullptr) throw Errors::Failed(kCreateFailure);
  return JsonNode(value);
}

JsonNode JsonNode::share(json_t* value) {
  if (value == nullptr) throw Errors::Failed(kCreateFailure);
  retain(value);
  return JsonNode(value);
}

JsonNode JsonNode::load(const char* text) {
  json_error_t error;
  std::memset(&error, 0, sizeof(error));
  json_t* root = json_loads(text, 0, &error);
  if (root != nullptr) return adopt(root);

  const char* textEnd = std::find(error.text, error.text + sizeof(error.text), '\0');
  const std::string parserText(static_cast<const char*>(error.text), textEnd);
  const std::u16string message =
      ql::formatMessage(kLoadFailure, parserText, error.line, error.column, static_cast<int32_t>(error.position));
  const Errors::Failed failure(ql::wideToUtf8(message));
  if (const std::shared_ptr<Log::Logger> logger = Log::defaultLogger()) {
    const char* what = failure.what();
    logger->log(kErrorLevel, Log::Location::here("json", 395), what, std::strlen(what));
  }
  throw failure;
}

JsonNode JsonNode::get(const std::string& key) const {
  if (value_ == nullptr || !json_is_object(value_)) return JsonNode();
  json_t* member = json_object_get(value_, key.c_str());
  if (member == nullptr) return JsonNode();
  return share(member);
}

bool JsonNode::isObject() const noexcept { return value_ != nullptr && json_is_object(value_); }

JsonMemberMap JsonNode::asMap() const {
  if (value_ == nullptr || !json_is_object(value_)) throw Errors::BadCast("");
  JsonMemberMap members;
  for (void* it = json_object_iter(value_); it != nullptr; it = json_object_iter_next(value_, it)) {
    members[std::string(json_object_iter_key(it))] = share(json_object_iter_value(it));
  }
  return members;
}

std::string JsonNode::asString() const {
  if (value_ == nullptr || !json_is_string(value_)) throw Errors::BadCast("");
  return std::string(json_string_value(value_));
}

JsonNode findJsonNode(const JsonNode& root, const std::vector<std::string>& keys) {
  if (root.empty() || !json_is_object(root.value()) || json_object_size(root.value()) == 0) {
    return JsonNode();
  }
  JsonNode current = root;
  for (const std::string& key : keys) {
    current = current.get(key);
    if (current.empty()) return JsonNode();
  }
  return current;
}

}  // namespace Common::JSON
