// Reading a request's outcome through the exports, as the installer does.
#pragma once

#include <chrono>
#include <string>

#include "quillet/quillet.h"

namespace quillet_test {

// What QL_RequestInfo says, with every field 99 when it says nothing.
QL_REQUEST_INFO infoOf(unsigned id);

// Polls until the request no longer runs; the limit is stretched by scaled().
QL_REQUEST_INFO waitFinished(unsigned id, std::chrono::milliseconds limit = std::chrono::seconds(20));

// The body through the two-call protocol, bytes recovered from the low 8 bits;
// "<no data>" when the export refuses.
std::string bodyOf(unsigned id);

}  // namespace quillet_test
