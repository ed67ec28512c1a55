// The part of Thread::start that is the same on every system.
#pragma once

#include "platform/platform.h"

namespace ql::platform {

// The checks made before a thread is created: false, with lastError() set as
// Windows would set it, for a missing entry or while creation is made to fail.
bool mayStartThread(Thread::Entry entry);

}  // namespace ql::platform
