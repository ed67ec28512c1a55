// The proxy settings the system keeps for its own network stack, and the
// answer of a proxy auto-config (PAC) file. Windows users set these once for
// every program; POSIX systems keep none that a library could read, so there
// the settings are reported missing and no look-up ever starts.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace ql::platform {

// The current user's settings, as Windows' own stack reads them.
struct SystemProxySettings {
  bool autoDetect = false;    // look for a PAC file on the network (WPAD)
  std::string autoConfigUrl;  // the PAC file's URL; empty for none
  std::string proxy;          // "host:port", or per scheme "http=host:port;https=host:port"
  std::string bypass;         // host patterns and "<local>", separated by ';'
};

// False where the system keeps no such settings or they cannot be read.
bool readSystemProxySettings(SystemProxySettings& out);

// Whether a proxy that asks for a sign-in gets the logged-on user's (through
// the system's security packages, as Windows' own stack does it) when no
// credentials were given. Elsewhere the user has no such sign-in to give.
#ifdef _WIN32
constexpr bool kProxySignInAsUser = true;
#else
constexpr bool kProxySignInAsUser = false;
#endif

// What a PAC file answers for one URL, asked on a thread of its own: a PAC
// server that never answers blocks the system's calls for up to minutes, and
// they take no time limit. Whoever waits gives up when it likes; the thread
// then finishes alone, owning everything it uses, and nobody waits for it,
// not even the library's clean-up or unload.
class ProxyScriptLookup {
 public:
  enum class State { pending, answered, failed };

  // Starts asking the PAC file at `scriptUrl` about `url`; with an empty
  // `scriptUrl`, the PAC file that WPAD finds. Never null: a look-up that
  // cannot start has failed at once.
  static std::shared_ptr<ProxyScriptLookup> start(const std::string& url, const std::string& scriptUrl);

  // Waits up to `limit` for the end. Once answered, `answer` holds the
  // script's answer in its own words ("PROXY a:1; PROXY b:2; DIRECT"); once
  // failed, the reason.
  State wait(std::chrono::milliseconds limit, std::string& answer);

  ProxyScriptLookup(std::string url, std::string scriptUrl) : url_(std::move(url)), scriptUrl_(std::move(scriptUrl)) {}
  ProxyScriptLookup(const ProxyScriptLookup&) = delete;
  ProxyScriptLookup& operator=(const ProxyScriptLookup&) = delete;

 private:
  static unsigned threadEntry(void* owner);
  void run();  // on the look-up's thread
  void finish(State state, std::string words);

  const std::string url_;
  const std::string scriptUrl_;
  std::mutex mutex_;
  std::condition_variable ended_;
  State state_ = State::pending;
  std::string words_;
};

}  // namespace ql::platform
