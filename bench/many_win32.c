/* The many-files workload in the DLL under Wine: COUNT files named f0000.bin,
 * f0001.bin, ... under URL (a folder, ending in '/'), PARALLEL downloads at
 * once, the next one started as soon as one ends. Prints the seconds the
 * whole list took; every file must arrive with SIZE bytes. There is no goal:
 * Wine's TLS is not Windows'.
 *
 * Usage: many_win32.exe URL DIR COUNT PARALLEL SIZE */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quillet/quillet.h"

static void drainLog(void) {
  QL_WCHAR buffer[512];
  int length = 0;
  while (QL_PullLogRecord(buffer, 512, &length)) {
  }
}

int main(int argc, char** argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: %s URL DIR COUNT PARALLEL SIZE\n", argv[0]);
    return 2;
  }
  const char* url = argv[1];
  const int count = atoi(argv[3]);
  const int parallel = atoi(argv[4]);
  const long long size = atoll(argv[5]);
  unsigned* running = calloc((size_t)parallel, sizeof *running);
  int* slotFile = calloc((size_t)parallel, sizeof *slotFile);
  wchar_t(*paths)[MAX_PATH] = calloc((size_t)count, sizeof *paths);
  if (running == NULL || slotFile == NULL || paths == NULL || parallel < 1) return 2;
  for (int i = 0; i < count; ++i) swprintf(paths[i], MAX_PATH, L"%hs\\many-%04d.bin", argv[2], i);

  QL_Initialize();
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  int next = 0, left = count, failures = 0;
  while (left > 0) {
    for (int slot = 0; slot < parallel; ++slot) {
      if (running[slot] == 0 && next < count) {
        char fileUrl[1024];
        snprintf(fileUrl, sizeof fileUrl, "%sf%04d.bin", url, next);
        slotFile[slot] = next;
        running[slot] = QL_DownloadFile(fileUrl, paths[next++]);
      }
      if (running[slot] == 0) continue;
      QL_REQUEST_INFO info;
      QL_RequestInfo(running[slot], &info);
      if (info.state == QL_STATE_RUNNING) continue;
      if (info.state != QL_STATE_DONE && failures++ < 5) {
        fprintf(stderr, "  file %d: state %d, libcurl code %d, status %d\n", slotFile[slot], info.state, info.curlCode,
                info.responseCode);
      }
      QL_RemoveRequest(running[slot]);
      running[slot] = 0;
      --left;
    }
    Sleep(1);
  }
  QueryPerformanceCounter(&end);
  drainLog();
  for (int i = 0; i < count; ++i) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    const int sized = GetFileAttributesExW(paths[i], GetFileExInfoStandard, &data) &&
                      (((long long)data.nFileSizeHigh << 32) | data.nFileSizeLow) == size;
    if (!sized && failures++ < 5) fprintf(stderr, "  file %d: not %lld bytes\n", i, size);
    DeleteFileW(paths[i]);
  }
  QL_Cleanup();
  drainLog();
  printf("%.3f %d\n", (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart, failures);
  return failures == 0 ? 0 : 1;
}
