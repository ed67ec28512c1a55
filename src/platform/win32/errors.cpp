#include <windows.h>

#include "platform/platform.h"

namespace ql::platform {

// The codes the POSIX side produces by number must be the system's own.
#define QL_SAME_CODE(name, macro) static_assert(name == macro, #name " differs from " #macro)
QL_SAME_CODE(kErrorSuccess, ERROR_SUCCESS);
QL_SAME_CODE(kErrorInvalidFunction, ERROR_INVALID_FUNCTION);
QL_SAME_CODE(kErrorFileNotFound, ERROR_FILE_NOT_FOUND);
QL_SAME_CODE(kErrorPathNotFound, ERROR_PATH_NOT_FOUND);
QL_SAME_CODE(kErrorTooManyOpenFiles, ERROR_TOO_MANY_OPEN_FILES);
QL_SAME_CODE(kErrorAccessDenied, ERROR_ACCESS_DENIED);
QL_SAME_CODE(kErrorInvalidHandle, ERROR_INVALID_HANDLE);
QL_SAME_CODE(kErrorNotEnoughMemory, ERROR_NOT_ENOUGH_MEMORY);
QL_SAME_CODE(kErrorWriteProtect, ERROR_WRITE_PROTECT);
QL_SAME_CODE(kErrorNotReady, ERROR_NOT_READY);
QL_SAME_CODE(kErrorGenFailure, ERROR_GEN_FAILURE);
QL_SAME_CODE(kErrorSharingViolation, ERROR_SHARING_VIOLATION);
QL_SAME_CODE(kErrorNotSupported, ERROR_NOT_SUPPORTED);
QL_SAME_CODE(kErrorFileExists, ERROR_FILE_EXISTS);
QL_SAME_CODE(kErrorInvalidParameter, ERROR_INVALID_PARAMETER);
QL_SAME_CODE(kErrorDiskFull, ERROR_DISK_FULL);
QL_SAME_CODE(kErrorInvalidName, ERROR_INVALID_NAME);
QL_SAME_CODE(kErrorNegativeSeek, ERROR_NEGATIVE_SEEK);
QL_SAME_CODE(kErrorSeekOnDevice, ERROR_SEEK_ON_DEVICE);
QL_SAME_CODE(kErrorDirNotEmpty, ERROR_DIR_NOT_EMPTY);
QL_SAME_CODE(kErrorFilenameExcedRange, ERROR_FILENAME_EXCED_RANGE);
QL_SAME_CODE(kErrorFileTooLarge, ERROR_FILE_TOO_LARGE);
QL_SAME_CODE(kErrorMrMidNotFound, ERROR_MR_MID_NOT_FOUND);
QL_SAME_CODE(kErrorNoAccess, ERROR_NOACCESS);
QL_SAME_CODE(kErrorIoDevice, ERROR_IO_DEVICE);
QL_SAME_CODE(kErrorTimeout, ERROR_TIMEOUT);
QL_SAME_CODE(kErrorCantResolveFilename, ERROR_CANT_RESOLVE_FILENAME);
QL_SAME_CODE(kErrorMuiFileNotFound, ERROR_MUI_FILE_NOT_FOUND);
#undef QL_SAME_CODE

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wide characters expected");

uint32_t lastError() { return ::GetLastError(); }

void setLastError(uint32_t code) { ::SetLastError(code); }

bool systemMessage(uint32_t code, uint32_t languageId, std::u16string& text) {
  text.clear();
  wchar_t* buffer = nullptr;
  const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
  const DWORD length =
      ::FormatMessageW(flags, nullptr, code, languageId, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  if (length == 0 || buffer == nullptr) {
    if (buffer != nullptr) ::LocalFree(buffer);
    return false;
  }
  // Free the system's buffer even when copying it throws.
  struct LocalBuffer {
    wchar_t* pointer;
    ~LocalBuffer() { ::LocalFree(pointer); }
  } owner{buffer};
  text.assign(reinterpret_cast<const char16_t*>(owner.pointer), length);
  return true;
}

}  // namespace ql::platform
