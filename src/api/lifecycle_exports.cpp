// QL_Initialize and QL_Cleanup: the HTTP system's start and its final stop.
#include <curl/curl.h>

#include <mutex>

#include "api/export_guard.h"
#include "api/library.h"
#include "api/log_queue.h"
#include "http/http_system.h"
#include "platform/platform.h"
#include "quillet/quillet.h"

extern "C" QL_API void QL_CALL QL_Initialize(void) {
  ql::guardExport([] {
    int result = vela::http::http_system::instance().initResult();
    if (result == 0) {
      ql::pushLogRecord(u"Http system initialized");
    } else {
      ql::pushLogRecord(u"Http system initialization failed: " +
                        ql::platform::ansiToWide(curl_easy_strerror(static_cast<CURLcode>(result))));
    }
  });
}

extern "C" QL_API void QL_CALL QL_Cleanup(void) {
  ql::guardExport([] {
    std::lock_guard<ql::platform::RecursiveLock> one(ql::shutdownLock());
    ql::jsonDocuments().clear();
    // Transfers started from here on fail at once, so that the requests
    // stopped next hold the last handles libcurl's clean-up waits for; the
    // system is released however this scope ends.
    vela::http::http_system::shutdown going(&vela::http::http_system::instance(), true);
    // No job starts another file, and every job's thread ends.
    ql::stopAllJobs(ql::jobs());
    // Every worker has ended before the record below, those of requests
    // another export still held too, so each download's own end comes first
    // and no record follows the last.
    ql::stopEveryWorker(ql::requests());
    // Nor does a thread wait for the next request.
    ql::platform::retireKeptThreads();
    ql::pushLogRecord(u"All requests stopped");
    going.finish();
    ql::pushLogRecord(u"Http system deinitialized");
    // What the documents and requests held is free now; without this the
    // C library would keep it for the rest of the host's run.
    ql::platform::releaseFreeMemory();
  });
}
