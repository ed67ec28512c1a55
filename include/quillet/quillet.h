/* quillet: network and utility core for the launcher's installer.
 *
 * Every result is pulled by the caller: text is copied as UTF-16 units into
 * buffers the caller owns, never NUL-terminated, with lengths reported through
 * out-parameters. The library never allocates memory on the caller's behalf.
 */
#ifndef QUILLET_QUILLET_H
#define QUILLET_QUILLET_H

#include "quillet/version.h"

#if defined(_WIN32)
#include <stddef.h>
typedef wchar_t QL_WCHAR;
#elif defined(__cplusplus)
typedef char16_t QL_WCHAR;
#else
#include <uchar.h>
typedef char16_t QL_WCHAR;
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define QL_CALL __stdcall
#else
#define QL_CALL
#endif

/* On Windows the export table comes from the module definition file. */
#if !defined(_WIN32) && defined(__GNUC__)
#define QL_API __attribute__((visibility("default")))
#else
#define QL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define QL_STATE_NONE 0    /* identifier not found */
#define QL_STATE_RUNNING 1 /* the worker is still running */
#define QL_STATE_DONE 2    /* finished without an error */
#define QL_STATE_FAILED 3  /* finished with an error */

typedef struct QL_REQUEST_INFO {
  int state;         /* one of QL_STATE_... */
  int hasInfo;       /* 1 once responseCode and contentLength are filled */
  int curlCode;      /* libcurl code of a transfer that failed inside libcurl, else -1 */
  int responseCode;  /* HTTP status after redirects */
  int contentLength; /* announced length in bytes, -1 when none was announced */
} QL_REQUEST_INFO;

QL_API void QL_CALL QL_Initialize(void);
QL_API void QL_CALL QL_Cleanup(void);

QL_API unsigned int QL_CALL QL_Request(int post, const char* url, const char* data);
QL_API unsigned int QL_CALL QL_SendStats(const char* url, const char* data);
QL_API unsigned int QL_CALL QL_DownloadFile(const char* url, const QL_WCHAR* path);
QL_API int QL_CALL QL_CancelRequest(unsigned int id);
QL_API int QL_CALL QL_RemoveRequest(unsigned int id);
QL_API int QL_CALL QL_RequestInfo(unsigned int id, QL_REQUEST_INFO* info);
QL_API int QL_CALL QL_RequestDownloadProgress(unsigned int id, int* total, int* downloaded);
QL_API int QL_CALL QL_RequestData(unsigned int id, QL_WCHAR* buffer, int* size);

QL_API int QL_CALL QL_ParseJSON(const char* text);
QL_API int QL_CALL QL_GetStringByPath(unsigned int document, const char* path, QL_WCHAR* buffer,
                                      unsigned int* length);

QL_API void QL_CALL QL_GenerateULID(QL_WCHAR* buffer);

QL_API int QL_CALL QL_PullLogRecord(QL_WCHAR* buffer, unsigned int capacity, int* length);

#ifdef __cplusplus
}
#endif

#endif /* QUILLET_QUILLET_H */
