// Translation of errno values into the Windows error codes the layer reports.
#pragma once

#include <cstdint>

namespace ql::platform::posix {

// The Windows code for an errno value.
uint32_t windowsCode(int error);

// Records windowsCode(error) as the calling thread's last error.
void setLastErrno(int error);

}  // namespace ql::platform::posix
