// QL_GenerateULID: a new ULID straight into the host's buffer.
#include "api/export_guard.h"
#include "quillet/quillet.h"
#include "util/ulid.h"

extern "C" QL_API void QL_CALL QL_GenerateULID(QL_WCHAR* buffer) {
  ql::guardExport([&] {
    if (buffer == nullptr) return;
    // 26 units, no terminator, nothing allocated.
    ql::writeNewUlid(reinterpret_cast<char16_t*>(buffer));
  });
}
