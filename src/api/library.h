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
class download_job;
}  // namespace vela::http

namespace ql {

using JsonDocumentTable = IdTable<Common::JSON::JsonNode>;
using RequestTable = IdTable<vela::http::http_request_helper>;
using JobTable = IdTable<vela::http::download_job>;

JsonDocumentTable& jsonDocuments();
RequestTable& requests();
JobTable& jobs();
LogRecordQueue& logQueue();

// Held by QL_Cleanup and the unload teardown for their whole run, so that a
// second one starts only once the first has written its last record.
platform::RecursiveLock& shutdownLock();

// Empties the request table and stops every request taken out of it: all are
// cancelled first, so their workers wind down together, then each is released
// in identifier order (joining its worker when the table was its last owner).
// The table lock is not held meanwhile, so the other exports keep answering.
void stopAllRequests(RequestTable& table);

// Empties the job table and stops every job taken out of it: their waiting
// files end, their running ones are cancelled and waited for, and each
// job's thread ends. Their files' requests stay in the request table.
void stopAllJobs(JobTable& table);

// The same until no worker runs at all: also the requests another export
// held meanwhile (a removal on another thread joins its own) and those stored
// after the table was emptied. Only while new transfers are refused, so that
// every worker ends soon; never at unload, where Windows has ended workers
// that will not count themselves out.
void stopEveryWorker(RequestTable& table);

}  // namespace ql
