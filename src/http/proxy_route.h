// Which proxy a transfer goes through. The proxy environment variables, as
// libcurl reads them, decide wherever one of them is set; otherwise the
// system's settings do (Windows: the user's fixed proxy with its bypass list,
// a PAC file, or one that WPAD finds). Loopback destinations always go
// direct under the system's settings, as Windows' own stack sends them.
//
// The choice is made on the worker, once per scheme, host and port in
// kRouteLifetime, and said in one log record ("Proxy for ...").
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vela::http {

// Where a record goes that names the route of a host.
using route_record_sink = void (*)(std::u16string record);

struct proxy_route {
  // The proxies in the order tried, each when the one before cannot be
  // reached; an empty entry stands for going direct. Never empty.
  std::vector<std::string> hops{std::string()};
  // "environment", "system settings", "PAC <url>" or "auto-detect"; empty
  // when nothing was configured that could name a proxy.
  std::string source;
  // The environment's exceptions, handed on to libcurl with its proxy.
  std::string noProxy;
};

constexpr auto kRouteLifetime = std::chrono::minutes(5);
// What a PAC file or WPAD that does not answer costs, once per route
// lifetime; the routes are then the fixed proxy, if any, else direct.
constexpr auto kScriptLookupLimit = std::chrono::seconds(2);

// The route for `url`, worked out now or remembered. Waits for a PAC answer
// up to kScriptLookupLimit; none when `cancelled` turns true meanwhile.
std::optional<proxy_route> routeFor(const std::string& url, const std::function<bool()>& cancelled);

// Forgets every route, for the HTTP system's take-down once no transfer runs:
// the table itself is never destroyed, so that nothing it held outlives an
// unload. A PAC look-up still running keeps its own share.
void forgetRoutes();

// Set once by the library frame; records before that are dropped.
void setRouteRecordSink(route_record_sink sink);

// A proxy as the log and the failure words name it: without credentials.
std::string shownProxy(const std::string& hop);
// Whether a proxy's URL carries a user name and password of its own.
bool proxyHasCredentials(const std::string& hop);

// The words added to a failure through `hop`: " via proxy 127.0.0.1:3128
// from PAC http://..."; empty for a direct hop.
std::u16string viaWords(const std::string& hop, const std::string& source);

}  // namespace vela::http
