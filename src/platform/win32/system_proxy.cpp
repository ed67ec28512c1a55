#include <windows.h>
#include <winhttp.h>

#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

#include "platform/platform.h"
#include "platform/system_proxy.h"
#include "text/text.h"

namespace ql::platform {
namespace {

struct GlobalFreer {
  void operator()(void* memory) const { ::GlobalFree(memory); }
};
// The strings WinHTTP and jsproxy hand over for the caller to free.
template <typename Char>
using GlobalText = std::unique_ptr<Char, GlobalFreer>;

struct InternetCloser {
  void operator()(HINTERNET handle) const { ::WinHttpCloseHandle(handle); }
};
using Internet = std::unique_ptr<void, InternetCloser>;

struct ModuleFreer {
  void operator()(HMODULE module) const { ::FreeLibrary(module); }
};
using Module = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFreer>;

std::string utf8Of(const wchar_t* text) {
  return text == nullptr ? std::string() : wideToUtf8(reinterpret_cast<const char16_t*>(text));
}

std::wstring wideOf(const std::string& text) {
  const std::u16string wide = utf8ToWide(text.data(), text.size());
  return std::wstring(wide.begin(), wide.end());
}

std::string errorWords(const char* what) {
  return std::string(what) + " failed with error " + std::to_string(::GetLastError());
}

// A PAC file is a small script; anything larger is not one.
constexpr std::size_t kScriptLimit = 1024 * 1024;
// WinHTTP keeps these on Windows; Wine ignores them, which is why the look-up
// runs on a thread that may be left behind.
constexpr int kTimeoutMs = 2000;

// The PAC file at `url`, fetched directly, as the system fetches it.
bool fetchScript(HINTERNET session, const std::wstring& url, std::string& script) {
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!::WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return false;
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  const std::wstring path = std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) +
                            std::wstring(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  const Internet connection(::WinHttpConnect(session, host.c_str(), parts.nPort, 0));
  if (!connection) return false;
  const Internet request(::WinHttpOpenRequest(connection.get(), L"GET", path.empty() ? L"/" : path.c_str(), nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0));
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!request ||
      !::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !::WinHttpReceiveResponse(request.get(), nullptr) ||
      !::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX) ||
      status != 200) {
    return false;
  }
  script.clear();
  char buffer[16 * 1024];
  for (;;) {
    DWORD read = 0;
    if (!::WinHttpReadData(request.get(), buffer, sizeof buffer, &read)) return false;
    if (read == 0) return !script.empty();
    script.append(buffer, read);
    if (script.size() > kScriptLimit) return false;
  }
}

// jsproxy.dll's interface, which its header shares with the rest of WinINet,
// whose declarations clash with WinHTTP's.
struct ScriptBuffer {
  DWORD dwStructSize;
  LPSTR lpszScriptBuffer;
  DWORD dwScriptBufferSize;
};
using InitializeScript = BOOL(CALLBACK*)(DWORD, LPSTR, LPSTR, void*, ScriptBuffer*);
using DeinitializeScript = BOOL(CALLBACK*)(LPSTR, DWORD);
using AskScript = BOOL(CALLBACK*)(LPCSTR, DWORD, LPSTR, DWORD, LPSTR*, LPDWORD);

// GetProcAddress's result as the function it is; through void (*)(), which
// converts to any function pointer without a warning.
template <typename Function>
Function procedure(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

// jsproxy keeps one script for the whole process.
std::mutex& scriptLock() {
  static std::mutex lock;
  return lock;
}

// What the script itself answers for `url`, all of it: WinHTTP passes on only
// the proxies before the first DIRECT (Wine: only the first entry). False
// where jsproxy cannot run it (it is not supported from Windows 11 on).
bool wholeAnswer(std::string script, const std::string& url, const std::string& host, std::string& answer) {
  const Module jsproxy(::LoadLibraryExW(L"jsproxy.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (!jsproxy) return false;
  const auto initialize = procedure<InitializeScript>(jsproxy.get(), "InternetInitializeAutoProxyDll");
  const auto deinitialize = procedure<DeinitializeScript>(jsproxy.get(), "InternetDeInitializeAutoProxyDll");
  const auto ask = procedure<AskScript>(jsproxy.get(), "InternetGetProxyInfo");
  if (initialize == nullptr || deinitialize == nullptr || ask == nullptr) return false;

  std::lock_guard<std::mutex> one(scriptLock());
  ScriptBuffer buffer{sizeof(ScriptBuffer), script.data(), static_cast<DWORD>(script.size() + 1)};
  if (!initialize(0, nullptr, nullptr, nullptr, &buffer)) return false;
  std::string hostName = host;
  LPSTR result = nullptr;
  DWORD length = 0;
  const bool asked = ask(url.c_str(), static_cast<DWORD>(url.size()), hostName.data(),
                         static_cast<DWORD>(hostName.size()), &result, &length) != FALSE;
  const GlobalText<char> owned(result);
  deinitialize(nullptr, 0);
  if (!asked || result == nullptr) return false;
  answer = result;
  return true;
}

// The first proxy of an answer, in either form: "PROXY a:1; DIRECT" or
// WinHTTP's "a:1;b:2".
std::string firstProxy(const std::string& answer) {
  std::string first = answer.substr(0, answer.find(';'));
  const std::size_t word = first.find_first_not_of(" \t");
  if (word == std::string::npos) return {};
  first.erase(0, word);
  const std::size_t space = first.find_first_of(" \t");
  if (space != std::string::npos) first.erase(0, first.find_first_not_of(" \t", space));
  first.erase(first.find_last_not_of(" \t") + 1);
  return first;
}

// WinHTTP's list of proxies, "a:1;b:2", in a PAC file's words.
std::string answerOfList(const std::string& list) {
  std::string answer;
  std::size_t begin = 0;
  while (begin < list.size()) {
    std::size_t end = list.find_first_of("; \t", begin);
    if (end == std::string::npos) end = list.size();
    if (end > begin) answer += (answer.empty() ? "PROXY " : "; PROXY ") + list.substr(begin, end - begin);
    begin = end + 1;
  }
  return answer;
}

}  // namespace

bool readSystemProxySettings(SystemProxySettings& out) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
  if (!::WinHttpGetIEProxyConfigForCurrentUser(&config)) return false;
  const GlobalText<wchar_t> autoConfigUrl(config.lpszAutoConfigUrl);
  const GlobalText<wchar_t> proxy(config.lpszProxy);
  const GlobalText<wchar_t> bypass(config.lpszProxyBypass);
  out.autoDetect = config.fAutoDetect != FALSE;
  out.autoConfigUrl = utf8Of(autoConfigUrl.get());
  out.proxy = utf8Of(proxy.get());
  out.bypass = utf8Of(bypass.get());
  return true;
}

std::shared_ptr<ProxyScriptLookup> ProxyScriptLookup::start(const std::string& url, const std::string& scriptUrl) {
  auto lookup = std::make_shared<ProxyScriptLookup>(url, scriptUrl);
  // The thread owns a share of the look-up, so that nothing it touches goes
  // away under it when every waiter has given up. A running thread also
  // keeps this library loaded (Thread::start), so an unload never pulls the
  // code from under it, and nobody waits for it.
  auto share = std::make_unique<std::shared_ptr<ProxyScriptLookup>>(lookup);
  Thread thread = Thread::start(&threadEntry, share.get());
  if (thread.empty()) {
    lookup->finish(State::failed, errorWords("Starting the look-up's thread"));
  } else {
    (void)share.release();  // the thread's now
  }
  return lookup;
}

unsigned ProxyScriptLookup::threadEntry(void* owner) {
  const std::unique_ptr<std::shared_ptr<ProxyScriptLookup>> share(
      static_cast<std::shared_ptr<ProxyScriptLookup>*>(owner));
  try {
    (*share)->run();
  } catch (...) {
    (*share)->finish(State::failed, "out of memory");
  }
  return 0;
}

void ProxyScriptLookup::run() {
  const Internet session(
      ::WinHttpOpen(L"quillet", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return finish(State::failed, errorWords("WinHttpOpen"));
  ::WinHttpSetTimeouts(session.get(), kTimeoutMs, kTimeoutMs, kTimeoutMs, kTimeoutMs);

  std::string scriptUrl = scriptUrl_;
  if (scriptUrl.empty()) {
    LPWSTR found = nullptr;
    if (!::WinHttpDetectAutoProxyConfigUrl(WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A, &found)) {
      return finish(State::failed, errorWords("WinHttpDetectAutoProxyConfigUrl"));
    }
    const GlobalText<wchar_t> owned(found);
    scriptUrl = utf8Of(found);
  }

  const std::wstring url = wideOf(url_);
  const std::wstring script = wideOf(scriptUrl);
  WINHTTP_AUTOPROXY_OPTIONS options{};
  options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
  options.lpszAutoConfigUrl = script.c_str();
  options.fAutoLogonIfChallenged = TRUE;
  WINHTTP_PROXY_INFO info{};
  if (!::WinHttpGetProxyForUrl(session.get(), url.c_str(), &options, &info)) {
    return finish(State::failed, errorWords("WinHttpGetProxyForUrl"));
  }
  const GlobalText<wchar_t> proxies(info.lpszProxy);
  const GlobalText<wchar_t> bypass(info.lpszProxyBypass);
  if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || proxies == nullptr) {
    return finish(State::answered, "DIRECT");
  }
  const std::string listed = answerOfList(utf8Of(proxies.get()));

  // The script's whole answer, where it agrees with WinHTTP on the first
  // proxy: a jsproxy that has stopped working must not turn a proxy the
  // system names into DIRECT.
  std::string text;
  std::string whole;
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  if (fetchScript(session.get(), script, text) && ::WinHttpCrackUrl(url.c_str(), 0, 0, &parts) &&
      wholeAnswer(std::move(text), url_, utf8Of(std::wstring(parts.lpszHostName, parts.dwHostNameLength).c_str()),
                  whole) &&
      firstProxy(whole) == firstProxy(listed)) {
    return finish(State::answered, whole);
  }
  finish(State::answered, listed);
}

}  // namespace ql::platform
