#include "platform/system_proxy.h"

namespace ql::platform {

ProxyScriptLookup::State ProxyScriptLookup::wait(std::chrono::milliseconds limit, std::string& answer) {
  std::unique_lock<std::mutex> lock(mutex_);
  ended_.wait_for(lock, limit, [this] { return state_ != State::pending; });
  if (state_ != State::pending) answer = words_;
  return state_;
}

void ProxyScriptLookup::finish(State state, std::string words) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    state_ = state;
    words_ = std::move(words);
  }
  ended_.notify_all();
}

}  // namespace ql::platform
