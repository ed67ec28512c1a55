#include "platform/posix/errors.h"

#include <cerrno>
#include <cstring>

#include "platform/platform.h"

namespace ql::platform {
namespace {

thread_local uint32_t t_lastError = kErrorSuccess;

struct SystemText {
  uint32_t code;
  const char* text;  // ASCII, without the trailing line break
};

// Every code this layer can produce, plus the neighbours the error category
// groups them with, worded as an English Windows system words them.
constexpr SystemText kSystemTexts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {14, "Not enough storage is available to complete this operation."},
    {15, "The system cannot find the drive specified."},
    {19, "The media is write protected."},
    {21, "The device is not ready."},
    {29, "The system cannot write to the specified device."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33, "The process cannot access the file because another process has locked a portion of the file."},
    {38, "Reached the end of the file."},
    {50, "The request is not supported."},
    {53, "The network path was not found."},
    {65, "Network access is denied."},
    {67, "The network name cannot be found."},
    {80, "The file exists."},
    {83, "Fail on INT 24."},
    {87, "The parameter is incorrect."},
    {108, "The disk is in use or locked by another process."},
    {112, "There is not enough space on the disk."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {131, "An attempt was made to move the file pointer before the beginning of the file."},
    {132, "The file pointer cannot be set on the specified device or file."},
    {145, "The directory is not empty."},
    {158, "The segment is already unlocked."},
    {161, "The specified path is invalid."},
    {167, "Unable to lock a region of a file."},
    {183, "Cannot create a file when that file already exists."},
    {206, "The filename or extension is too long."},
    {223, "The file size exceeds the limit allowed and cannot be saved."},
    {267, "The directory name is invalid."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {998, "Invalid access to memory location."},
    {1117, "The request could not be performed because of an I/O device error."},
    {1314, "A required privilege is not held by the client."},
    {1450, "Insufficient system resources exist to complete the requested service."},
    {1460, "This operation returned because the timeout period expired."},
    {1921, "The name of the file cannot be resolved by the system."},
};

// Language ids an English system answers: any neutral id (0, 0x400, 0x800,
// ...) and English (United States).
bool answersLanguage(uint32_t languageId) { return (languageId & 0x3FF) == 0 || languageId == 0x409; }

}  // namespace

uint32_t lastError() { return t_lastError; }

void setLastError(uint32_t code) { t_lastError = code; }

bool systemMessage(uint32_t code, uint32_t languageId, std::u16string& text) {
  text.clear();
  if (!answersLanguage(languageId)) {
    setLastError(kErrorMuiFileNotFound);  // what FormatMessageW answers
    return false;
  }
  for (const SystemText& entry : kSystemTexts) {
    if (entry.code != code) continue;
    const std::size_t length = std::strlen(entry.text);
    text.reserve(length + 2);
    for (std::size_t i = 0; i < length; ++i) {
      text += static_cast<char16_t>(static_cast<unsigned char>(entry.text[i]));
    }
    text += u"\r\n";
    return true;
  }
  setLastError(kErrorMrMidNotFound);
  return false;
}

namespace posix {

uint32_t windowsCode(int error) {
  switch (error) {
    case 0: return kErrorSuccess;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case ENOMEM: return kErrorNotEnoughMemory;
    case ETXTBSY:
    case EWOULDBLOCK: return kErrorSharingViolation;
    case EINVAL: return kErrorInvalidParameter;
    case ENOSPC:
    case EDQUOT: return kErrorDiskFull;
    case ENAMETOOLONG: return kErrorFilenameExcedRange;
    case EMFILE:
    case ENFILE: return kErrorTooManyOpenFiles;  // "cannot open the file"
    case EROFS: return kErrorWriteProtect;
    case EEXIST: return kErrorFileExists;
    case ESPIPE: return kErrorSeekOnDevice;
    case EFBIG: return kErrorFileTooLarge;
    case ENOTEMPTY: return kErrorDirNotEmpty;
    case EFAULT: return kErrorNoAccess;
    case EIO: return kErrorIoDevice;
    case ELOOP: return kErrorCantResolveFilename;
    case ENOLCK: return kErrorNotEnoughMemory;
    case ENXIO:
    case ENODEV: return kErrorNotReady;
    case ENOSYS: return kErrorInvalidFunction;
    case EOPNOTSUPP: return kErrorNotSupported;
    case ETIMEDOUT: return kErrorTimeout;
    default: return kErrorGenFailure;  // a general failure
  }
}

void setLastErrno(int error) { setLastError(windowsCode(error)); }

}  // namespace posix
}  // namespace ql::platform
