#include "platform/system_proxy.h"

namespace ql::platform {

// Desktop environments keep proxy settings each in its own way, none of them
// meant for a library to read: the environment variables are what counts here.
bool readSystemProxySettings(SystemProxySettings&) { return false; }

std::shared_ptr<ProxyScriptLookup> ProxyScriptLookup::start(const std::string& url, const std::string& scriptUrl) {
  auto lookup = std::make_shared<ProxyScriptLookup>(url, scriptUrl);
  lookup->run();
  return lookup;
}

void ProxyScriptLookup::run() { finish(State::failed, "no PAC support on this system"); }

}  // namespace ql::platform
