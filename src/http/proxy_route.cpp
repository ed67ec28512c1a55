#include "http/proxy_route.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>

#include "platform/platform.h"
#include "platform/system_proxy.h"
#include "text/text.h"

namespace vela::http {
namespace {

using clock = std::chrono::steady_clock;

std::atomic<route_record_sink> recordSink{nullptr};

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Pieces of `text` between any of `separators`, trimmed, empty ones left out.
std::vector<std::string> split(const std::string& text, const char* separators) {
  std::vector<std::string> pieces;
  std::size_t begin = 0;
  while (begin <= text.size()) {
    std::size_t end = text.find_first_of(separators, begin);
    if (end == std::string::npos) end = text.size();
    std::string piece = trimmed(text.substr(begin, end - begin));
    if (!piece.empty()) pieces.push_back(std::move(piece));
    begin = end + 1;
  }
  return pieces;
}

struct url_parts {
  std::string scheme;  // lower case
  std::string host;    // lower case, IPv6 without brackets
  std::string port;
  std::string origin() const {
    return scheme + "://" + (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + port;
  }
};

std::optional<url_parts> partsOf(const std::string& url) {
  std::unique_ptr<CURLU, void (*)(CURLU*)> parsed(curl_url(), curl_url_cleanup);
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return std::nullopt;
  auto part = [&](CURLUPart which, std::string& out) {
    char* value = nullptr;
    if (curl_url_get(parsed.get(), which, &value, CURLU_DEFAULT_PORT) != CURLUE_OK) return false;
    const std::unique_ptr<char, void (*)(void*)> owned(value, curl_free);
    out = lower(value);
    return true;
  };
  url_parts parts;
  if (!part(CURLUPART_SCHEME, parts.scheme) || !part(CURLUPART_HOST, parts.host) || !part(CURLUPART_PORT, parts.port)) {
    return std::nullopt;
  }
  if (parts.host.size() > 1 && parts.host.front() == '[') parts.host = parts.host.substr(1, parts.host.size() - 2);
  return parts;
}

// A dotted IPv4 address: four decimal parts of at most 255.
std::optional<uint32_t> ipv4(const std::string& host) {
  const std::vector<std::string> parts = split(host, ".");
  if (parts.size() != 4 || host.find_first_not_of("0123456789.") != std::string::npos || host.front() == '.' ||
      host.back() == '.' || host.find("..") != std::string::npos) {
    return std::nullopt;
  }
  uint32_t address = 0;
  for (const std::string& part : parts) {
    if (part.size() > 3) return std::nullopt;
    const int value = std::stoi(part);
    if (value > 255) return std::nullopt;
    address = address << 8 | static_cast<uint32_t>(value);
  }
  return address;
}

bool isLoopback(const std::string& host) {
  const auto v4 = ipv4(host);
  if (v4) return (*v4 >> 24) == 127;
  return host == "::1" || host == "0:0:0:0:0:0:0:1";
}

// --- the environment, read through libcurl, as libcurl reads it -----------

std::optional<std::string> environment(const char* name) {
  char* value = curl_getenv(name);
  if (value == nullptr) return std::nullopt;
  const std::unique_ptr<char, void (*)(void*)> owned(value, curl_free);
  return std::string(value);
}

std::optional<std::string> firstOf(std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (auto value = environment(name)) return value;
  }
  return std::nullopt;
}

// libcurl takes the upper-case HTTP_PROXY nowhere: a CGI program finds the
// client's "Proxy:" header there.
std::optional<std::string> environmentProxy(const std::string& scheme) {
  auto value = scheme == "https" ? firstOf({"https_proxy", "HTTPS_PROXY"}) : firstOf({"http_proxy"});
  return value ? value : firstOf({"all_proxy", "ALL_PROXY"});
}

bool environmentDecides() {
  return firstOf({"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
      .has_value();
}

bool inIpv4Block(uint32_t address, const std::string& block) {
  const std::size_t slash = block.find('/');
  const auto base = ipv4(block.substr(0, slash));
  if (!base) return false;
  const std::string bitsText = block.substr(slash + 1);
  if (bitsText.empty() || bitsText.size() > 2 || bitsText.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const int bits = std::stoi(bitsText);
  if (bits > 32) return false;
  const uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
  return (address & mask) == (*base & mask);
}

// NO_PROXY as libcurl matches it: "*" for every host; else names matching
// whole or as a domain suffix, addresses whole or by IPv4 block.
bool noProxyMatches(const std::string& host, const std::string& list) {
  if (trimmed(list) == "*") return true;
  const auto address = ipv4(host);
  const bool isAddress = address || host.find(':') != std::string::npos;
  for (std::string entry : split(lower(list), ", \t")) {
    if (isAddress) {
      if (entry.size() > 1 && entry.front() == '[') entry = entry.substr(1, entry.find(']') - 1);
      if (entry == host || (address && entry.find('/') != std::string::npos && inIpv4Block(*address, entry))) {
        return true;
      }
      continue;
    }
    if (entry.front() == '.') entry.erase(0, 1);
    if (!entry.empty() && entry.back() == '.') entry.pop_back();
    if (entry.empty()) continue;
    if (host == entry) return true;
    if (host.size() > entry.size() && host.compare(host.size() - entry.size(), entry.size(), entry) == 0 &&
        host[host.size() - entry.size() - 1] == '.') {
      return true;
    }
  }
  return false;
}

proxy_route environmentRoute(const url_parts& url) {
  proxy_route route;
  route.source = "environment";
  route.noProxy = firstOf({"no_proxy", "NO_PROXY"}).value_or("");
  const std::string proxy = environmentProxy(url.scheme).value_or("");
  if (!proxy.empty() && !noProxyMatches(url.host, route.noProxy)) route.hops = {proxy};
  return route;
}

// --- the system's settings --------------------------------------------------

// A bypass pattern: '*' stands for any run of characters, case ignored.
bool wildcardMatches(const std::string& pattern, const std::string& text) {
  std::size_t p = 0, t = 0, star = std::string::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p;
      ++t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// "<local>" stands for every name without a dot; other entries are host
// patterns, with or without a scheme in front and a port behind.
bool bypassed(const url_parts& url, const std::string& list) {
  for (std::string entry : split(lower(list), "; \t")) {
    if (entry == "<local>") {
      if (url.host.find('.') == std::string::npos && url.host.find(':') == std::string::npos) return true;
      continue;
    }
    const std::size_t scheme = entry.find("://");
    if (scheme != std::string::npos) {
      if (entry.compare(0, scheme, url.scheme) != 0) continue;
      entry.erase(0, scheme + 3);
    }
    if (wildcardMatches(entry, url.host) || wildcardMatches(entry, url.host + ":" + url.port)) return true;
  }
  return false;
}

// The fixed proxy for the URL's scheme: the one proxy for all, or the entry
// "<scheme>=host:port" of the per-scheme form; empty when it names none.
std::string fixedProxy(const std::string& setting, const std::string& scheme) {
  const std::vector<std::string> entries = split(setting, "; \t");
  for (const std::string& entry : entries) {
    const std::size_t equals = entry.find('=');
    if (equals == std::string::npos) {
      if (entries.size() == 1) return entry;
      continue;
    }
    if (lower(entry.substr(0, equals)) == scheme) return entry.substr(equals + 1);
  }
  return {};
}

proxy_route fixedRoute(const url_parts& url, const ql::platform::SystemProxySettings& settings) {
  proxy_route route;
  route.source = "system settings";
  const std::string proxy = fixedProxy(settings.proxy, url.scheme);
  if (!proxy.empty() && !bypassed(url, settings.bypass)) route.hops = {proxy};
  return route;
}

// A PAC answer, "PROXY a:1; SOCKS5 b:2; DIRECT", as hops in its order. An
// answer that names nothing usable means direct.
std::vector<std::string> hopsOfAnswer(const std::string& answer) {
  std::vector<std::string> hops;
  for (const std::string& entry : split(answer, ";")) {
    const std::vector<std::string> words = split(entry, " \t");
    const std::string kind = lower(words[0]);
    if (kind == "direct") {
      hops.emplace_back();
    } else if (words.size() == 2 && kind == "proxy") {
      hops.push_back(words[1]);
    } else if (words.size() == 2 && kind == "https") {
      hops.push_back("https://" + words[1]);
    } else if (words.size() == 2 && (kind == "socks" || kind == "socks4")) {
      hops.push_back("socks4://" + words[1]);
    } else if (words.size() == 2 && kind == "socks5") {
      hops.push_back("socks5://" + words[1]);
    }
  }
  if (hops.empty()) hops.emplace_back();
  return hops;
}

// Where the host part of a proxy URL starts, after any scheme.
std::size_t authorityStart(const std::string& hop) {
  const std::size_t scheme = hop.find("://");
  return scheme == std::string::npos ? 0 : scheme + 3;
}

// The '@' that ends "user:password@" in a proxy URL; npos when it has none.
std::size_t userInfoEnd(const std::string& hop) {
  const std::size_t start = authorityStart(hop);
  const std::size_t at = hop.find('@', start);
  return at != std::string::npos && at < hop.find('/', start) ? at : std::string::npos;
}

std::string shownHops(const std::vector<std::string>& hops) {
  std::string shown;
  for (const std::string& hop : hops) {
    if (!shown.empty()) shown += ", then ";
    shown += hop.empty() ? "DIRECT" : shownProxy(hop);
  }
  return shown;
}

// --- the routes remembered, per scheme, host and port -----------------------

struct remembered {
  proxy_route route;
  clock::time_point until;
  // While a PAC look-up runs: its answer is awaited until `giveUpAt`, and
  // the route taken when none comes by then, or it fails.
  std::shared_ptr<ql::platform::ProxyScriptLookup> lookup;
  clock::time_point giveUpAt;
  std::string scriptSource;
  proxy_route fallback;
};

// One per process: a forked child starts afresh, since the lock may have
// been held by a thread that did not come along. Neither is ever destroyed
// by the C++ runtime, as a worker may still ask while the library unloads.
struct route_table {
  explicit route_table(uint32_t forkGeneration) : generation(forkGeneration) {}
  const uint32_t generation;
  std::mutex mutex;
  std::map<std::string, remembered> routes;
  // PAC sources ("PAC <url>", "auto-detect") that gave no answer, until when
  // they are not asked again: a silent one costs its wait once, not once
  // for every host.
  std::map<std::string, clock::time_point> silent;
};

route_table& table() {
  alignas(route_table) static unsigned char first[sizeof(route_table)];
  static std::atomic<route_table*> current{new (first) route_table(ql::platform::forkGeneration())};
  const uint32_t generation = ql::platform::forkGeneration();
  for (;;) {
    route_table* t = current.load();
    if (t->generation == generation) return *t;
    // The parent's table stays allocated and untouched.
    auto fresh = std::make_unique<route_table>(generation);
    if (current.compare_exchange_strong(t, fresh.get())) return *fresh.release();
  }
}

void record(const std::string& origin, const proxy_route& route) {
  const route_record_sink sink = recordSink.load();
  if (sink == nullptr || route.source.empty()) return;
  sink(u"Proxy for " + ql::widenBytes(origin) + u": " + ql::widenBytes(shownHops(route.hops)) + u" (from " +
       ql::widenBytes(route.source) + u")");
}

// The route as the settings give it without waiting; when they name a PAC
// file, the look-up started for it is left in `entry`.
proxy_route settle(const url_parts& url, remembered& entry, route_table& routes) {
  if (environmentDecides()) return environmentRoute(url);
  ql::platform::SystemProxySettings settings;
  if (isLoopback(url.host) || !ql::platform::readSystemProxySettings(settings)) return {};
  proxy_route fixed = fixedRoute(url, settings);
  if (settings.autoConfigUrl.empty() && !settings.autoDetect) {
    if (trimmed(settings.proxy).empty()) fixed.source.clear();  // nothing was set
    return fixed;
  }
  // One look-up, not two in a row: the PAC file named outright, else the one
  // WPAD finds. Should it fail, the fixed proxy applies, as Windows does it.
  const std::string source = settings.autoConfigUrl.empty() ? "auto-detect" : "PAC " + settings.autoConfigUrl;
  if (trimmed(settings.proxy).empty()) fixed.source = source;
  const auto silent = routes.silent.find(source);
  if (silent != routes.silent.end() && silent->second > clock::now()) return fixed;
  entry.lookup = ql::platform::ProxyScriptLookup::start(url.origin() + "/", settings.autoConfigUrl);
  entry.giveUpAt = clock::now() + kScriptLookupLimit;
  entry.scriptSource = source;
  entry.fallback = fixed;
  return {};
}

}  // namespace

void setRouteRecordSink(route_record_sink sink) { recordSink.store(sink); }

void forgetRoutes() {
  route_table& routes = table();
  std::map<std::string, remembered> forgotten;
  std::lock_guard<std::mutex> guard(routes.mutex);
  forgotten.swap(routes.routes);
  routes.silent.clear();
}

std::string shownProxy(const std::string& hop) {
  std::string shown = hop;
  const std::size_t at = userInfoEnd(shown);
  if (at != std::string::npos) shown.erase(authorityStart(shown), at + 1 - authorityStart(shown));
  if (lower(shown.substr(0, authorityStart(shown))) == "http://") shown.erase(0, authorityStart(shown));
  if (!shown.empty() && shown.back() == '/') shown.pop_back();
  return shown;
}

bool proxyHasCredentials(const std::string& hop) { return userInfoEnd(hop) != std::string::npos; }

std::u16string viaWords(const std::string& hop, const std::string& source) {
  if (hop.empty()) return {};
  return u" via proxy " + ql::widenBytes(shownProxy(hop)) + u" from " + ql::widenBytes(source);
}

std::optional<proxy_route> routeFor(const std::string& url, const std::function<bool()>& cancelled) {
  const auto parts = partsOf(url);
  if (!parts) return proxy_route{};  // libcurl refuses the URL itself
  const std::string origin = parts->origin();
  route_table& routes = table();

  std::optional<proxy_route> settled;
  std::shared_ptr<ql::platform::ProxyScriptLookup> lookup;
  clock::time_point giveUpAt;
  {
    std::lock_guard<std::mutex> guard(routes.mutex);
    const auto now = clock::now();
    for (auto it = routes.routes.begin(); it != routes.routes.end();) {
      it = !it->second.lookup && it->second.until <= now ? routes.routes.erase(it) : std::next(it);
    }
    auto found = routes.routes.find(origin);
    if (found == routes.routes.end()) {
      remembered entry;
      entry.route = settle(*parts, entry, routes);
      entry.until = now + kRouteLifetime;
      found = routes.routes.emplace(origin, std::move(entry)).first;
      if (!found->second.lookup) settled = found->second.route;
    } else if (!found->second.lookup) {
      return found->second.route;
    }
    lookup = found->second.lookup;
    giveUpAt = found->second.giveUpAt;
  }
  // The record goes out without the table's lock: the host's queue has its own.
  if (settled) {
    record(origin, *settled);
    return settled;
  }

  // Other workers asking for the same host meanwhile wait for the same look-up.
  using State = ql::platform::ProxyScriptLookup::State;
  std::string answer;
  State state = State::pending;
  while (state == State::pending && clock::now() < giveUpAt) {
    if (cancelled && cancelled()) return std::nullopt;
    const auto slice = std::min<clock::duration>(giveUpAt - clock::now(), std::chrono::milliseconds(50));
    state = lookup->wait(std::chrono::ceil<std::chrono::milliseconds>(slice), answer);
  }
  {
    std::lock_guard<std::mutex> guard(routes.mutex);
    auto found = routes.routes.find(origin);
    if (found == routes.routes.end()) return proxy_route{};
    remembered& entry = found->second;
    // Settled by another worker meanwhile, and recorded by it.
    if (entry.lookup != lookup) return entry.route;
    if (state == State::answered) {
      entry.route.hops = hopsOfAnswer(answer);
      entry.route.source = entry.scriptSource;
    } else {
      entry.route = entry.fallback;
      routes.silent[entry.scriptSource] = clock::now() + kRouteLifetime;
    }
    entry.lookup.reset();
    entry.until = clock::now() + kRouteLifetime;
    settled = entry.route;
  }
  record(origin, *settled);
  return settled;
}

}  // namespace vela::http
