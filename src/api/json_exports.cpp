// QL_ParseJSON and QL_GetStringByPath: parsed documents live in the JSON
// document table under ids the table issues.
#include <algorithm>
#include <exception>
#include <memory>
#include <string>

#include "api/export_guard.h"
#include "api/library.h"
#include "json/json.h"
#include "quillet/quillet.h"
#include "text/text.h"

using Common::JSON::JsonNode;

extern "C" {

QL_API int QL_CALL QL_ParseJSON(const char* text) {
  return ql::guardExport(0, [&]() -> int {
    // Taken first: a text that fails still uses up its id.
    const uint32_t id = ql::jsonDocuments().issueId();
    try {
      JsonNode root = JsonNode::load(text);
      if (!root.isObject()) return 0;  // an array at the top level is no document
      // The parsed object becomes the document as it is: a copy built from its
      // members would hold the same keys and share the same values, since the
      // parser already keeps only the last of duplicated keys and refuses keys
      // with NUL bytes or invalid UTF-8.
      auto document = std::make_shared<JsonNode>(std::move(root));
      // Every reference this thread took is given back before the document
      // is published: once stored, another thread may free its values.
      ql::jsonDocuments().insert(id, std::move(document));
    } catch (const std::exception&) {
      return 0;
    }
    return static_cast<int>(id);
  });
}

QL_API int QL_CALL QL_GetStringByPath(unsigned int document, const char* path, QL_WCHAR* buffer, unsigned int* length) {
  return ql::guardExport(0, [&]() -> int {
    if (length == nullptr) return 0;
    // Held to the end of the call: the values walked below are then never
    // freed by another thread while this one still touches them.
    const std::shared_ptr<JsonNode> root = ql::jsonDocuments().find(document);
    if (!root || path == nullptr) return 0;

    // The whole path names one member; '.' and '/' are part of the name.
    std::string value;
    {
      const JsonNode member = Common::JSON::findJsonNode(*root, {std::string(path)});
      if (member.empty()) return 0;
      try {
        value = member.asString();
      } catch (const std::exception&) {
        return 0;
      }
    }

    const std::u16string units = ql::widenBytes(value);
    const auto total = static_cast<unsigned int>(units.size());
    if (buffer != nullptr) {
      std::copy_n(units.data(), std::min(*length, total), reinterpret_cast<char16_t*>(buffer));
    }
    *length = total;
    return 1;
  });
}

}  // extern "C"
