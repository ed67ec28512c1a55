// The job exports: create a job, read its progress, pause, wait for and
// remove it. Files join a job through QL_DownloadFileEx.
#include <chrono>
#include <cstddef>
#include <memory>

#include "api/export_guard.h"
#include "api/library.h"
#include "api/log_queue.h"
#include "http/download_job.h"
#include "quillet/quillet.h"
#include "text/text.h"

namespace {

static_assert(sizeof(QL_JOB_OPTIONS) == 24, "24 bytes on every build");
static_assert(sizeof(QL_JOB_PROGRESS) == 48, "48 bytes on every build");
static_assert(offsetof(QL_JOB_PROGRESS, bytesTotal) == 16, "64-bit fields on 8-byte offsets");

constexpr unsigned int kKnownJobFlags = QL_JOB_HTTP1;
constexpr unsigned int kDefaultTransfers = 16;
constexpr unsigned int kDefaultConnectionsPerHost = 6;

uint32_t createJob(const QL_JOB_OPTIONS* options) {
  vela::http::job_settings settings;
  if (options != nullptr) {
    if (options->size != sizeof(QL_JOB_OPTIONS) || (options->flags & ~kKnownJobFlags) != 0 ||
        options->maxBytesPerSecond < 0) {
      ql::pushLogRecord(u"Invalid job options");
      return 0;
    }
    settings.http1 = (options->flags & QL_JOB_HTTP1) != 0;
    settings.maxTransfers = options->maxTransfers != 0 ? options->maxTransfers : kDefaultTransfers;
    settings.maxConnectionsPerHost =
        options->maxConnectionsPerHost != 0 ? options->maxConnectionsPerHost : kDefaultConnectionsPerHost;
    settings.maxBytesPerSecond = options->maxBytesPerSecond;
  }
  const uint32_t id = ql::jobs().issueId();
  auto job = std::make_shared<vela::http::download_job>(settings, ql::pushLogRecord, id);
  if (!job->start()) {
    ql::pushLogRecord(u"Failed to create job");
    job->stop();
    return 0;
  }
  ql::jobs().insert(id, job);
  ql::pushLogRecord(u"Create job: " + ql::toDecimalText(id));
  return id;
}

}  // namespace

extern "C" {

QL_API unsigned int QL_CALL QL_CreateJob(const QL_JOB_OPTIONS* options) {
  return ql::guardExport(0u, [&] { return createJob(options); });
}

QL_API int QL_CALL QL_JobProgress(unsigned int job, QL_JOB_PROGRESS* progress) {
  return ql::guardExport(0, [&] {
    if (progress == nullptr || progress->size != sizeof(QL_JOB_PROGRESS)) return 0;
    const auto found = ql::jobs().find(job);
    if (!found) return 0;
    const vela::http::download_job::figures figures = found->progress();
    *progress = QL_JOB_PROGRESS{sizeof(QL_JOB_PROGRESS),
                                figures.files,
                                figures.filesDone,
                                figures.filesFailed,
                                figures.bytesTotal,
                                figures.bytesWritten,
                                figures.bytesPerSecond,
                                figures.paused ? 1u : 0u,
                                0u};
    return 1;
  });
}

QL_API int QL_CALL QL_PauseJob(unsigned int job, int paused) {
  return ql::guardExport(0, [&] {
    const auto found = ql::jobs().find(job);
    if (!found) return 0;
    ql::pushLogRecord((paused != 0 ? u"Pause job: " : u"Resume job: ") + ql::toDecimalText(job));
    found->pause(paused != 0);
    return 1;
  });
}

QL_API int QL_CALL QL_WaitJob(unsigned int job, unsigned int milliseconds) {
  return ql::guardExport(0, [&] {
    const auto found = ql::jobs().find(job);
    if (!found) return 0;
    return found->wait(std::chrono::milliseconds(milliseconds)) ? 1 : 0;
  });
}

QL_API int QL_CALL QL_RemoveJob(unsigned int job) {
  return ql::guardExport(0, [&] {
    ql::pushLogRecord(u"Remove job: " + ql::toDecimalText(job));
    const auto found = ql::jobs().extract(job);
    if (!found) {
      ql::pushLogRecord(u"Job not found");
      return 0;
    }
    for (uint32_t id : found->stop()) ql::requests().extract(id);
    return 1;
  });
}

}  // extern "C"
