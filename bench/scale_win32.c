/* The scale target in the DLL (32-bit or x64) under Wine: many downloads at once from
 * a rate-limited location, none of which may fail. Each worker costs address
 * space (its stack reservation and the system's per-thread overhead) out of
 * the process's 2 GiB, so this is where too large a stack would show.
 *
 * Usage: scale_win32.exe URL DIR COUNT SIZE */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "quillet/quillet.h"

static void drainLog(void) {
  QL_WCHAR buffer[512];
  int length = 0;
  while (QL_PullLogRecord(buffer, 512, &length)) {
  }
}

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s URL DIR COUNT SIZE\n", argv[0]);
    return 2;
  }
  const char* url = argv[1];
  const int count = atoi(argv[3]);
  const long long size = atoll(argv[4]);
  unsigned* ids = calloc((size_t)count, sizeof *ids);
  wchar_t(*paths)[MAX_PATH] = calloc((size_t)count, sizeof *paths);
  if (ids == NULL || paths == NULL) return 2;

  QL_Initialize();
  for (int i = 0; i < count; ++i) {
    swprintf(paths[i], MAX_PATH, L"%hs\\scale-%d.bin", argv[2], i);
    ids[i] = QL_DownloadFile(url, paths[i]);
  }
  int peak = 0;
  const DWORD start = GetTickCount();
  for (int running = count; running > 0 && GetTickCount() - start < 300000;) {
    running = 0;
    for (int i = 0; i < count; ++i) {
      QL_REQUEST_INFO info;
      QL_RequestInfo(ids[i], &info);
      running += info.state == QL_STATE_RUNNING;
    }
    if (running > peak) peak = running;
    drainLog();
    Sleep(50);
  }
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    QL_REQUEST_INFO info;
    QL_RequestInfo(ids[i], &info);
    WIN32_FILE_ATTRIBUTE_DATA data;
    const int sized = GetFileAttributesExW(paths[i], GetFileExInfoStandard, &data) &&
                      (((long long)data.nFileSizeHigh << 32) | data.nFileSizeLow) == size;
    if (info.state != QL_STATE_DONE || !sized) {
      if (failures++ < 5) {
        fprintf(stderr, "  download %u: state %d, libcurl code %d, status %d\n", ids[i], info.state,
                info.curlCode, info.responseCode);
      }
    }
  }
  QL_Cleanup();
  drainLog();
  for (int i = 0; i < count; ++i) DeleteFileW(paths[i]);
  printf("scale in the %d-bit DLL under Wine, %d downloads: %d failures, %d running at once at the peak "
         "(goal 0 failures) %s\n",
         (int)(sizeof(void*) * 8), count, failures, peak, failures == 0 ? "— met" : "— NOT met");
  return failures == 0 ? 0 : 1;
}
