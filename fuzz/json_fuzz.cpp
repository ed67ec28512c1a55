// QL_ParseJSON and QL_GetStringByPath on arbitrary text, checked against
// jansson's own parse of the same text: a document is stored exactly when
// jansson yields an object, and every string member reads back as its bytes,
// one sign-extended unit each.
#include <jansson.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "check.h"
#include "quillet/quillet.h"

namespace {

// Members checked per document; enough to reach duplicates and odd keys.
constexpr int kMembersChecked = 8;

struct JsonFree {
  void operator()(json_t* value) const { json_decref(value); }
};

std::u16string expectedUnits(const char* bytes, std::size_t length) {
  std::u16string units;
  for (std::size_t i = 0; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    units += static_cast<char16_t>(byte < 0x80 ? byte : 0xFF00 | byte);
  }
  return units;
}

// Documents stay until QL_Cleanup. Emptying the table after each stored one
// leaves the library as the input found it, so libFuzzer's leak check sees
// balanced allocations instead of a document per input.
struct CleanupAtEnd {
  ~CleanupAtEnd() {
    QL_Cleanup();
    QL_WCHAR record[256];
    int length = 0;
    while (QL_PullLogRecord(record, 256, &length) == 1) {
    }
  }
};

void checkMember(int id, const char* key, json_t* value) {
  constexpr unsigned int kUntouched = 0xA5A5A5A5;
  if (!json_is_string(value)) {
    unsigned int length = kUntouched;
    QL_WCHAR unit = u'#';
    FUZZ_CHECK(QL_GetStringByPath(static_cast<unsigned int>(id), key, &unit, &length) == 0);
    FUZZ_CHECK(length == kUntouched && unit == u'#');
    return;
  }
  // Flags 0 refuse "\u0000", so the value holds no NUL.
  const char* text = json_string_value(value);
  FUZZ_CHECK(std::strlen(text) == json_string_length(value));
  const std::u16string expected = expectedUnits(text, json_string_length(value));
  const auto n = static_cast<unsigned int>(expected.size());

  unsigned int length = 0;
  FUZZ_CHECK(QL_GetStringByPath(static_cast<unsigned int>(id), key, nullptr, &length) == 1);
  FUZZ_CHECK(length == n);

  // Exactly sized buffers, so that a write past the capacity is caught.
  std::vector<QL_WCHAR> whole(n);
  length = n;
  FUZZ_CHECK(QL_GetStringByPath(static_cast<unsigned int>(id), key, whole.data(), &length) == 1);
  FUZZ_CHECK(length == n);
  FUZZ_CHECK(std::u16string(whole.begin(), whole.end()) == expected);

  if (n > 0) {
    const unsigned int capacity = n / 2;
    std::vector<QL_WCHAR> part(capacity);
    length = capacity;
    FUZZ_CHECK(QL_GetStringByPath(static_cast<unsigned int>(id), key, part.data(), &length) == 1);
    FUZZ_CHECK(length == n);
    FUZZ_CHECK(std::u16string(part.begin(), part.end()) == expected.substr(0, capacity));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // The exports take NUL-terminated text: a NUL inside the input ends it for
  // both parsers alike.
  const std::string text(reinterpret_cast<const char*>(data), size);
  json_error_t error;
  const std::unique_ptr<json_t, JsonFree> root(json_loads(text.c_str(), 0, &error));

  const int id = QL_ParseJSON(text.c_str());
  FUZZ_CHECK((id != 0) == json_is_object(root.get()));
  if (id == 0) return 0;
  const CleanupAtEnd cleanup;

  int checked = 0;
  const char* key;
  json_t* value;
  json_object_foreach(root.get(), key, value) {
    if (checked++ == kMembersChecked) break;
    checkMember(id, key, value);
    // A name the object lacks reads as nothing.
    const std::string missing = std::string(key) + "\x01";
    if (json_object_get(root.get(), missing.c_str()) == nullptr) {
      unsigned int length = 0;
      FUZZ_CHECK(QL_GetStringByPath(static_cast<unsigned int>(id), missing.c_str(), nullptr, &length) == 0);
    }
  }
  if (json_object_size(root.get()) == 0) {
    unsigned int length = 0;
    FUZZ_CHECK(QL_GetStringByPath(static_cast<unsigned int>(id), "", nullptr, &length) == 0);
  }
  return 0;
}
