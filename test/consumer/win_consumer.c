/* A Windows program that uses a release zip's quillet.dll as a client would:
 * a ULID, a JSON lookup and an HTTP GET of the URL in QUILLET_CONSUMER_URL,
 * whose body must begin with QUILLET_CONSUMER_BODY, then an atomic download
 * of the same URL whose 64-bit progress must show the whole body. Prints
 * "consumer ok <ULID> <version> <body length>" and exits 0, or names the
 * step that failed (with QL_RequestError's words for a failed request) and
 * exits 1.
 *
 * It includes nothing but quillet.h (whose <stddef.h> is the compiler's own)
 * and calls only kernel32, declared here: built for the MSVC target with
 * clang and lld-link it needs no C runtime or Windows SDK headers, which
 * Debian does not ship for that target. The same source builds with MinGW. */
#include <quillet/quillet.h>

#define WINAPI __stdcall
#define IMPORT __declspec(dllimport)
IMPORT void* WINAPI GetStdHandle(unsigned long which);
IMPORT int WINAPI WriteFile(void* file, const void* data, unsigned long size, unsigned long* written,
                            void* overlapped);
IMPORT unsigned long WINAPI GetEnvironmentVariableA(const char* name, char* value, unsigned long size);
IMPORT void WINAPI Sleep(unsigned long milliseconds);
IMPORT void WINAPI ExitProcess(unsigned int code);

static void put(const char* text) {
  unsigned long n = 0, written = 0;
  while (text[n] != '\0') ++n;
  WriteFile(GetStdHandle((unsigned long)-11), text, n, &written, 0);
}

static void put_number(long value) {
  char digits[16];
  int i = 15;
  int negative = value < 0;
  unsigned long rest = negative ? (unsigned long)-value : (unsigned long)value;
  digits[i] = '\0';
  do {
    digits[--i] = (char)('0' + rest % 10);
    rest /= 10;
  } while (rest != 0);
  if (negative) digits[--i] = '-';
  put(digits + i);
}

static int failed(const char* what) {
  put("consumer FAILED: ");
  put(what);
  put("\n");
  return 1;
}

/* The low byte of each unit: the words are ASCII. */
static void put_units(const QL_WCHAR* units, int count) {
  char text[2];
  int i;
  text[1] = '\0';
  for (i = 0; i < count; ++i) {
    text[0] = (char)(units[i] & 0x7F);
    put(text);
  }
}

static int wait_for(unsigned int request, QL_REQUEST_INFO* info) {
  int polls;
  for (polls = 0;; ++polls) {
    if (!QL_RequestInfo(request, info)) return failed("QL_RequestInfo does not know the request");
    if (info->state == QL_STATE_DONE || info->state == QL_STATE_FAILED) return 0;
    if (polls == 1200) return failed("the request did not end within 60 s");
    Sleep(50);
  }
}

static int run(void) {
  static char url[512], expected[128];
  static QL_WCHAR body[256], words[256];
  QL_DOWNLOAD_OPTIONS options = {0};
  long long total = 0, written = 0;
  int words_length = 0;
  char ulid[27];
  QL_WCHAR wide[26];
  QL_REQUEST_INFO info;
  unsigned int document, length = 0, request, download;
  unsigned long url_length, expected_length, i;
  int size = 0;

  url_length = GetEnvironmentVariableA("QUILLET_CONSUMER_URL", url, sizeof url);
  expected_length = GetEnvironmentVariableA("QUILLET_CONSUMER_BODY", expected, sizeof expected);
  if (url_length == 0 || url_length >= sizeof url || expected_length == 0 || expected_length >= sizeof expected)
    return failed("QUILLET_CONSUMER_URL and QUILLET_CONSUMER_BODY must be set");

  QL_GenerateULID(wide);
  for (i = 0; i < 26; ++i) {
    /* Crockford base 32: digits and capitals without I, L, O and U. */
    QL_WCHAR c = wide[i];
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z' && c != 'I' && c != 'L' && c != 'O' && c != 'U')))
      return failed("QL_GenerateULID wrote a unit outside Crockford base 32");
    ulid[i] = (char)c;
  }
  ulid[26] = '\0';

  document = (unsigned int)QL_ParseJSON("{\"greeting\": \"hello\"}");
  if (document == 0 || !QL_GetStringByPath(document, "greeting", 0, &length) || length != 5)
    return failed("QL_ParseJSON / QL_GetStringByPath");

  QL_Initialize();
  request = QL_Request(0, url, 0);
  if (wait_for(request, &info) != 0) return 1;
  if (info.state != QL_STATE_DONE) {
    put("consumer FAILED: the request failed, libcurl code ");
    put_number(info.curlCode);
    put(", HTTP status ");
    put_number(info.responseCode);
    put(": ");
    if (QL_RequestError(request, words, sizeof words / sizeof words[0], &words_length)) put_units(words, words_length);
    put("\n");
    return 1;
  }
  if (!QL_RequestData(request, 0, &size) || size < (int)expected_length)
    return failed("the response body is shorter than expected");
  size = (int)expected_length;
  if (!QL_RequestData(request, body, &size)) return failed("QL_RequestData");
  for (i = 0; i < expected_length; ++i)
    if ((body[i] & 0xFF) != (unsigned char)expected[i]) return failed("the response body differs");
  QL_RemoveRequest(request);

  options.size = sizeof options;
  options.flags = QL_DOWNLOAD_ATOMIC;
  options.expectedSize = -1;
  download = QL_DownloadFileEx(url, L"consumer-download.bin", &options);
  if (wait_for(download, &info) != 0) return 1;
  if (info.state != QL_STATE_DONE) return failed("QL_DownloadFileEx");
  if (!QL_RequestDownloadProgress64(download, &total, &written) || written != info.contentLength ||
      total != info.contentLength)
    return failed("QL_RequestDownloadProgress64 does not show the whole file");
  QL_RemoveRequest(download);
  QL_Cleanup();

  put("consumer ok ");
  put(ulid);
  put(" " QUILLET_VERSION " ");
  put_number((long)info.contentLength);
  put("\n");
  return 0;
}

#ifdef __MINGW32__
int main(void) { return run(); }
#else
/* The entry point (lld-link /entry:consumer_start): no C runtime starts us. */
void consumer_start(void) { ExitProcess((unsigned int)run()); }
#endif
