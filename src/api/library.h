// The process-wide state behind the exports, created when the library is
// loaded: the JSON document table, the request table and the log record
// queue, in that order.
#pragma once

#include "api/id_table.h"
#include "api/log_queue.h"

namespace Common::JSON {
class JsonNode;
}
namespace vela::http {
class http_request_helper;
}

namespace ql {

using JsonDocumentTable = IdTable<Common::JSON::JsonNode>;
using RequestTable = IdTable<vela::http::http_request_helper>;

JsonDocumentTable& jsonDocuments();
RequestTable& requests();
LogRecordQueue& logQueue();

}  // namespace ql
