#include "api/library.h"

#include <mutex>

#include "http/http_request_helper.h"
#include "http/http_system.h"

namespace ql {
namespace {

// Created at load in this order. Teardown at unload stops every request
// first, while the log queue its workers write to and libcurl are still
// there, and only then releases the HTTP system.
struct Library {
  JsonDocumentTable json;
  RequestTable requests;
  LogRecordQueue log;
  platform::RecursiveLock shutdown;

  Library() = default;
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  ~Library() {
    std::lock_guard<platform::RecursiveLock> guard(shutdown);
    auto* system = vela::http::http_system::existing();
    if (system != nullptr) system->refuseNewTransfers();
    stopAllRequests(requests);
    if (system != nullptr) system->releaseAtUnload();
  }
};

Library library;

}  // namespace

void stopAllRequests(RequestTable& table) {
  RequestTable::Entries stopping = table.takeAll();
  for (auto& entry : stopping) entry.second->cancel();
  for (auto& entry : stopping) entry.second.reset();
}

JsonDocumentTable& jsonDocuments() { return library.json; }
RequestTable& requests() { return library.requests; }
LogRecordQueue& logQueue() { return library.log; }
platform::RecursiveLock& shutdownLock() { return library.shutdown; }

}  // namespace ql
