#include "http/download_job.h"

#include <curl/curl.h>

#include <algorithm>
#include <utility>

#include "http/http_system.h"
#include "text/text.h"

namespace vela::http {
namespace {
// How far back the job's speed looks.
constexpr auto kSpeedWindow = std::chrono::seconds(3);
constexpr auto kSampleEvery = std::chrono::milliseconds(250);
constexpr int kStreamErrorsBeforeHttp1 = 3;

// "scheme://host:port" of a URL, for counting per host.
std::string originOf(const std::string& url) {
  const std::size_t scheme = url.find("://");
  const std::size_t end = scheme == std::string::npos ? std::string::npos : url.find_first_of("/?#", scheme + 3);
  return url.substr(0, end);
}
}  // namespace

download_job::download_job(job_settings settings, record_sink records, uint32_t id)
    : settings_(settings), records_(std::move(records)), id_(id) {
  pace_.start(settings_.maxBytesPerSecond);
}

download_job::~download_job() {
  // A job whose start failed half way; a started one was stopped first.
  if (multi_ != nullptr) curl_multi_cleanup(static_cast<CURLM*>(multi_));
  if (holding_) http_system::instance().letGo();
}

bool download_job::start() {
  if (http_system::instance().hold() != 0) return false;
  holding_ = true;
  CURLM* multi = curl_multi_init();
  if (multi == nullptr) return false;
  multi_ = multi;
  // Several files over one connection where the server speaks HTTP/2; on
  // HTTP/1.1 a few connections per host, each reused file after file.
  if (curl_multi_setopt(multi, CURLMOPT_PIPELINING, settings_.http1 ? CURLPIPE_NOTHING : CURLPIPE_MULTIPLEX) !=
          CURLM_OK ||
      curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(settings_.maxConnectionsPerHost)) !=
          CURLM_OK) {
    return false;
  }
  thread_ = ql::platform::Thread::start(&threadEntry, this);
  return !thread_.empty();
}

bool download_job::add(const std::shared_ptr<FileDownloadRequest>& file, std::u16string target,
                       download_options options) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (stopping_) return false;
  }
  options.driver = shared_from_this();
  options.allowHttp2 = !settings_.http1;
  // Without the job's lock: a file's end takes its own lock, then the job's.
  file->joinJob(shared_from_this(), std::move(target), std::move(options));
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!stopping_) {
      files_.push_back(file);
      queue_.push_back({file});
      if (multi_ != nullptr) curl_multi_wakeup(static_cast<CURLM*>(multi_));
      return true;
    }
  }
  // Stopped meanwhile, before the file was in: it never joined.
  file->leaveQueue();
  return false;
}

download_job::figures download_job::progress() {
  figures out;
  std::vector<std::shared_ptr<FileDownloadRequest>> files;
  std::vector<std::shared_ptr<FileDownloadRequest>> started;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    started.swap(graveyard_);
    out.files = static_cast<uint32_t>(files_.size());
    out.filesDone = done_;
    out.filesFailed = failed_;
    out.paused = paused_;
    if (samples_.size() > 1) {
      const double seconds = std::chrono::duration<double>(samples_.back().first - samples_.front().first).count();
      if (seconds > 0) {
        out.bytesPerSecond =
            static_cast<int64_t>(static_cast<double>(samples_.back().second - samples_.front().second) / seconds);
      }
    }
    for (const auto& weak : files_) {
      if (auto file = weak.lock()) files.push_back(std::move(file));
    }
  }
  // Each file's lock without the job's: a file's end takes them the other
  // way round.
  bool unknown = false;
  for (const auto& file : files) {
    const auto [full, written] = file->progress();
    if (full < 0) {
      // A file that failed without a size never gets one: it leaves the
      // total alone rather than keep it unknown for good.
      const auto status = file->snapshot();
      unknown = unknown || !(status.finished && status.failed);
      out.bytesWritten += written;
    } else {
      out.bytesTotal += full;
      out.bytesWritten += std::min(written, full);
    }
  }
  if (unknown) out.bytesTotal = -1;
  return out;
}

void download_job::pause(bool paused) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    paused_ = paused;
  }
  wake();
}

bool download_job::wait(std::chrono::milliseconds limit) {
  std::vector<std::shared_ptr<FileDownloadRequest>> files;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    files.swap(graveyard_);
    if (!changed_.wait_for(lock, limit, [this] { return done_ + failed_ >= files_.size(); })) return false;
    for (const auto& weak : files_) {
      if (auto file = weak.lock()) files.push_back(std::move(file));
    }
  }
  // A file counts as ended with its last record; its worker ends right
  // after, and then the file reads as ended to the host too.
  for (const auto& file : files) file->waitThread();
  return true;
}

std::vector<uint32_t> download_job::stop() {
  std::vector<std::shared_ptr<FileDownloadRequest>> files;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
    queue_.clear();
    for (const auto& weak : files_) {
      if (auto file = weak.lock()) files.push_back(std::move(file));
    }
  }
  std::vector<uint32_t> ids;
  for (const auto& file : files) {
    ids.push_back(file->id());
    file->cancel();  // a waiting file ends here; a running one soon
  }
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return transferring_ == 0; });
    exiting_ = true;
  }
  wake();
  thread_.wait();
  thread_.close();
  void* multi = nullptr;
  std::vector<std::shared_ptr<FileDownloadRequest>> left;
  {
    // A late cancel's wake finds no handle from here on.
    std::lock_guard<std::mutex> guard(mutex_);
    std::swap(multi, multi_);
    left.swap(graveyard_);
  }
  if (multi != nullptr) curl_multi_cleanup(static_cast<CURLM*>(multi));
  if (holding_) http_system::instance().letGo();
  holding_ = false;
  return ids;
}

void download_job::fileEnded(bool success, bool started) {
  bool finished = false;
  uint32_t done = 0;
  uint32_t failed = 0;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (started && transferring_ > 0) --transferring_;
    ++(success ? done_ : failed_);
    done = done_;
    failed = failed_;
    finished = done_ + failed_ >= files_.size();
  }
  changed_.notify_all();
  if (finished) {
    records_(u"Job finished: " + ql::toDecimalText(id_) + u", " + ql::toDecimalText(done) + u" done, " +
             ql::toDecimalText(failed) + u" failed");
  }
  wake();  // room for the next file
}

int download_job::run(void* easy, http_transfer& transfer) {
  active handed;
  handed.easy = easy;
  handed.transfer = &transfer;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (exiting_ || multi_ == nullptr) return CURLE_ABORTED_BY_CALLBACK;
    submitted_.push_back(&handed);
    curl_multi_wakeup(static_cast<CURLM*>(multi_));
  }
  std::unique_lock<std::mutex> lock(mutex_);
  handed.ended.wait(lock, [&handed] { return handed.done; });
  return handed.code;
}

void download_job::wake() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (multi_ != nullptr) curl_multi_wakeup(static_cast<CURLM*>(multi_));
}

unsigned download_job::threadEntry(void* self) {
  static_cast<download_job*>(self)->loop();
  return 0;
}

void download_job::finish(active& transfer, int code) {
  if (code == CURLE_HTTP2_STREAM) {
    const std::string origin = originOf(transfer.transfer->params_.url);
    if (++streamErrors_[origin] == kStreamErrorsBeforeHttp1) {
      records_(u"Job " + ql::toDecimalText(id_) + u": HTTP/1.1 for " + ql::widenBytes(origin) + u" after " +
               ql::toDecimalText(static_cast<uint32_t>(kStreamErrorsBeforeHttp1)) + u" HTTP/2 stream errors");
    }
  }
  if (transfer.added) {
    noteLeftResolver(transfer.easy, code);
    curl_multi_remove_handle(static_cast<CURLM*>(multi_), transfer.easy);
  }
  transfer.transfer->sharedPace_ = nullptr;
  running_.erase(std::remove(running_.begin(), running_.end(), &transfer), running_.end());
  std::lock_guard<std::mutex> guard(mutex_);
  transfer.code = code;
  transfer.done = true;
  // Under the lock: the worker, and the record with it, goes once it has
  // the lock back, so the record is still there to be notified.
  transfer.ended.notify_one();
}

void download_job::samplePace() {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> guard(mutex_);
  if (!samples_.empty() && now - samples_.back().first < kSampleEvery) return;
  samples_.emplace_back(now, pace_.handedOn());
  while (samples_.size() > 2 && now - samples_[1].first >= kSpeedWindow) samples_.pop_front();
}

void download_job::startFiles() {
  for (;;) {
    std::shared_ptr<FileDownloadRequest> file;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (paused_ || stopping_ || transferring_ >= settings_.maxTransfers || queue_.empty()) return;
      file = queue_.front().file.lock();
      queue_.pop_front();
      if (!file) continue;  // removed while it waited, which ended it
      ++transferring_;
    }
    if (!file->startQueued()) {
      // A cancel ended it while it waited.
      std::lock_guard<std::mutex> guard(mutex_);
      --transferring_;
    }
    // A file must never be destroyed here: its destructor joins its worker,
    // which may be waiting for this very thread. Whether this is the last
    // owner can change at any moment, so the host's next call lets it go.
    std::lock_guard<std::mutex> guard(mutex_);
    graveyard_.push_back(std::move(file));
  }
}

void download_job::loop() {
  auto* multi = static_cast<CURLM*>(multi_);
  using clock = http_transfer::receive_pace::clock;
  for (;;) {
    std::vector<active*> fresh;
    bool paused = false;
    bool exiting = false;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      fresh.swap(submitted_);
      paused = paused_;
      exiting = exiting_;
    }
    for (active* handed : fresh) {
      running_.push_back(handed);
      const auto errors = streamErrors_.find(originOf(handed->transfer->params_.url));
      if (errors != streamErrors_.end() && errors->second >= kStreamErrorsBeforeHttp1) {
        curl_easy_setopt(handed->easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(handed->easy, CURLOPT_PIPEWAIT, 0L);
      }
      if (exiting || curl_multi_add_handle(multi, handed->easy) != CURLM_OK) {
        finish(*handed, exiting ? CURLE_ABORTED_BY_CALLBACK : CURLE_OUT_OF_MEMORY);
        continue;
      }
      handed->added = true;
      handed->transfer->sharedPace_ = &pace_;
      if (paused) curl_easy_pause(handed->easy, CURLPAUSE_RECV);
    }
    if (exiting && running_.empty()) break;
    if (paused != pauseApplied_) {
      pauseApplied_ = paused;
      for (active* handed : std::vector<active*>(running_)) {
        // A transfer held back by a cap stays held until its time.
        if (!handed->transfer->paced_) curl_easy_pause(handed->easy, paused ? CURLPAUSE_RECV : CURLPAUSE_CONT);
      }
    }

    int still = 0;
    curl_multi_perform(multi, &still);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      const auto it = std::find_if(running_.begin(), running_.end(),
                                   [message](const active* handed) { return handed->easy == message->easy_handle; });
      if (it != running_.end()) finish(**it, message->data.result);
    }

    // What libcurl does not look at while a transfer is paused: a cancel,
    // and the moment a cap lets it go on.
    auto waitFor = std::chrono::milliseconds(1000);
    const auto now = clock::now();
    for (active* handed : std::vector<active*>(running_)) {
      http_transfer& transfer = *handed->transfer;
      const bool held = paused || transfer.paced_;
      if (exiting || (held && transfer.cancelRequested())) {
        finish(*handed, CURLE_ABORTED_BY_CALLBACK);
        continue;
      }
      if (!transfer.paced_) continue;
      if (transfer.pacedUntil_ <= now) {
        transfer.paced_ = false;
        // Hands on the bytes held back, which may hold it back again.
        if (!paused) curl_easy_pause(handed->easy, CURLPAUSE_CONT);
      } else {
        waitFor = std::min(waitFor, std::chrono::ceil<std::chrono::milliseconds>(transfer.pacedUntil_ - now));
      }
    }
    samplePace();
    startFiles();
    curl_multi_poll(multi, nullptr, 0, static_cast<int>(waitFor.count()), nullptr);
  }
}

}  // namespace vela::http
