/* quillet: network and utility core for the launcher's installer.
 *
 * Rules for every export:
 *
 * - Threads. Any export may be called from any thread at any time,
 *   concurrently with any other export, also before QL_Initialize and after
 *   QL_Cleanup. Requests run on worker threads of their own; the library
 *   never calls back into the caller.
 * - Text in. Narrow strings (URLs, bodies, JSON text, member names) are
 *   NUL-terminated and handed to libcurl and jansson as bytes, unconverted.
 *   File paths are NUL-terminated UTF-16.
 * - Text out. Copied as 16-bit units into buffers the caller owns, never
 *   NUL-terminated; the unit count comes back through an out-parameter or is
 *   fixed. The library never allocates memory for the caller. Byte strings
 *   (bodies, JSON values, ULIDs) come back "byte-widened": one unit per byte,
 *   sign-extended (0x41 -> 0x0041, 0xC3 -> 0xFFC3), so the low 8 bits of
 *   each unit are the byte; UTF-8 is not decoded.
 * - Results. Flags are 1 for success and 0 otherwise. Request and document
 *   ids are never 0: each table counts 1, 2, ... 4294967295, then 1 again.
 *   An unknown id gives 0 and changes nothing. A null out-pointer gives 0
 *   and nothing is written. An export that fails inside (out of memory)
 *   returns its failure value.
 * - Words. What went wrong, or happened, is told as UTF-16 log records that
 *   the caller drains with QL_PullLogRecord.
 * - Fork (POSIX). A child of fork() sees none of the parent's requests:
 *   their ids are unknown there, as if removed, and nothing in the child
 *   waits for their workers or touches their transfers, which go on in the
 *   parent. The child may call QL_Cleanup and exit at once.
 *
 * Two-call length protocol (QL_RequestData, QL_GetStringByPath and
 * QL_PullLogRecord): the first call, with no buffer, reports the length in
 * units; the second copies that many units.
 *
 *   unsigned int n = 0;
 *   if (QL_GetStringByPath(doc, "version", NULL, &n) == 1) {
 *     QL_WCHAR* text = malloc((n + 1) * sizeof(QL_WCHAR));
 *     QL_GetStringByPath(doc, "version", text, &n);  // n units, no NUL
 *   }
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

/* What QL_RequestInfo reports about a request. */
typedef struct QL_REQUEST_INFO {
  int state;         /* one of QL_STATE_... */
  int hasInfo;       /* 1 once responseCode and contentLength are filled: for a download
                        when its response head has arrived, for an in-memory request
                        when it has finished */
  int curlCode;      /* libcurl code of a transfer that failed inside libcurl, else -1 */
  int responseCode;  /* HTTP status after redirects */
  int contentLength; /* announced length in bytes, -1 when none was announced */
} QL_REQUEST_INFO;

/* Starts the HTTP system: libcurl's global initialisation, once per process.
 * The outcome is only logged: "Http system initialized", or "Http system
 * initialization failed: " and libcurl's text. Calling it again logs the
 * stored outcome again. Without it, the first request starts the system. */
QL_API void QL_CALL QL_Initialize(void);

/* Ends the library's work in this process, in this order:
 * 1. drops every stored JSON document (their ids become unknown);
 * 2. cancels every request, waits without a time limit for its worker
 *    thread to end, and removes it (its id becomes unknown); waits too for
 *    the workers of requests another thread is removing meanwhile; then
 *    logs "All requests stopped", after every request's own records;
 * 3. takes the HTTP system down for good and logs "Http system
 *    deinitialized".
 * Afterwards QL_Initialize logs "Http system initialization failed: Failed
 * initialization", and every new request still gets an id but fails with
 * libcurl code 2. JSON, ULIDs and the log queue keep working; ids keep
 * counting. Call it before unloading the library. */
QL_API void QL_CALL QL_Cleanup(void);

/* Starts an HTTP request whose response body is kept in memory, on a worker
 * thread of its own, and returns at once.
 *   post  in: 0 for GET (data is ignored), nonzero for POST.
 *   url   in: only http:// and https:// URLs are fetched, and at most 30
 *         redirects are followed; anything else fails with libcurl's code.
 *   data  in: the POST body, sent as is. NULL posts the URL's query string
 *         to the URL before its first '?'; "" sends a GET.
 * Returns the new request id. A request that cannot run still gets one;
 * QL_RequestInfo tells its outcome. The whole transfer is limited to 30 s
 * (libcurl code 28); a status other than 200 or 206 fails the request.
 * Logs "Sending request: ID <URL>". Free it with QL_RemoveRequest. */
QL_API unsigned int QL_CALL QL_Request(int post, const char* url, const char* data);

/* QL_Request(1, url, data). */
QL_API unsigned int QL_CALL QL_SendStats(const char* url, const char* data);

/* Starts downloading url into a file, on a worker thread of its own, and
 * returns at once.
 *   url   in: as for QL_Request. There is no overall time limit, but less
 *         than 1 byte per second for 60 s fails it (libcurl code 28).
 *   path  in: UTF-16 file path. The file is created, or emptied, before the
 *         call returns, and is held open without sharing until the download
 *         ends; what was written stays when it fails or is cancelled.
 * Returns the new request id. A file that cannot be opened still gives an
 * id: the request is then failed with curlCode -1 and hasInfo 0. Logs
 * "Start download request: ID <URL> to <PATH>", and when the transfer
 * ends "Request finished: " and "success" or the error's text (the system's
 * text for a file error). Follow it with QL_RequestDownloadProgress. */
QL_API unsigned int QL_CALL QL_DownloadFile(const char* url, const QL_WCHAR* path);

/* Flags of QL_DOWNLOAD_OPTIONS. */
#define QL_DOWNLOAD_RESUME 0x1u /* keep the bytes already on disk and ask the server only for the rest */
#define QL_DOWNLOAD_ATOMIC 0x2u /* write "<path>.part" and rename it onto path only once complete and verified */

/* How QL_DownloadFileEx downloads. Zero-fill it, then set size and the
 * fields wanted. Every 64-bit field sits on an 8-byte offset in 32-bit and
 * 64-bit builds alike: 40 bytes on x86, 48 on x64. */
typedef struct QL_DOWNLOAD_OPTIONS {
  unsigned int size;           /* sizeof(QL_DOWNLOAD_OPTIONS) as the caller compiled it */
  unsigned int flags;          /* QL_DOWNLOAD_... */
  long long expectedSize;      /* the file's full size in bytes; 0 or -1 when unknown */
  const char* sha256;          /* the file's SHA-256 as 64 hex digits (either case), or NULL */
  const char* mirrors;         /* NULL, or more URLs of the same file, one per line, tried in order after url */
  unsigned int retries;        /* how often a transient failure is retried, per URL */
  unsigned int job;            /* 0, or a job from QL_CreateJob that runs the file (1.2.0) */
  long long maxBytesPerSecond; /* receive speed cap, 0 for none */
} QL_DOWNLOAD_OPTIONS;

/* QL_DownloadFile with more care, for files an installer must be able to
 * trust. Returns a request id; QL_RequestInfo, QL_CancelRequest,
 * QL_RemoveRequest and both progress exports work on it, and
 * QL_RequestError tells why it failed.
 *   url      in: as for QL_DownloadFile.
 *   path     in: as for QL_DownloadFile.
 *   options  in: NULL behaves exactly as QL_DownloadFile(url, path). A size
 *            other than sizeof(QL_DOWNLOAD_OPTIONS), unknown flag bits, a
 *            sha256 that is not 64 hex digits, an expectedSize below -1, or
 *            a job that names no live job fail the request at once (curlCode -1,
 *            hasInfo 0), touching no file. A target that the plain
 *            download cannot write (a folder, a name ending in a
 *            separator, a read-only file) fails the same way, also when
 *            atomic, before any byte is fetched.
 * - Atomic (QL_DOWNLOAD_ATOMIC, or whenever sha256 is given): the bytes go
 *   to "<path>.part" in the same folder, and only a complete, verified file
 *   is renamed onto path, replacing what was there in one step after its
 *   data was flushed to disk. Until then path keeps what it held. On
 *   Windows a rename that another program holding either file refuses (a
 *   virus scanner) is tried again for up to 5 s. A failed or cancelled
 *   request, a failed rename too, keeps the .part file for a later resume;
 *   a file that fails its SHA-256 is deleted.
 * - Resume (QL_DOWNLOAD_RESUME): the N bytes already in the file written to
 *   (the .part file when atomic, else path) are kept and only "bytes=N-" is
 *   asked for, with "If-Range" naming the version those bytes came from
 *   (its strong ETag, or its Last-Modified when sha256 is given or no ETag
 *   was; a resume without one logs "Resume without validator: ID ..."). A
 *   206 appends only when its Content-Range runs from exactly N to the end
 *   of a file of the full size known; any other 206 writes nothing and
 *   counts as a transient failure. A 200 starts over from 0 with its own
 *   size. A 416 whose total is N means the file is complete (an empty file
 *   too, whose total is 0); one whose total is below N starts over from 0
 *   ("Start download over: ID ..."). A file longer than expectedSize
 *   starts over. A resumable download (resume or atomic) keeps the version,
 *   the URL and the full size in "<path>.part.meta" from its first answer
 *   until the file is complete, so that a later run names the same version;
 *   a missing or unreadable record only means no version is named.
 * - sha256: hashed while the bytes arrive, kept bytes included; a mismatch
 *   after a resume starts over from 0 once, then fails the request with both
 *   digests in its words.
 * - expectedSize: checked against the announced length before a byte is
 *   written, and against the file's size at the end (so is the total of a
 *   Content-Range). 0, as in a zero-filled struct, means unknown.
 * - retries: a transient failure (connection refused or reset, time-out,
 *   body cut short, TLS handshake, name look-up, HTTP 408, 429, 500, 502,
 *   503, 504) is retried up to this many times per URL, after 1 s, doubling
 *   to at most 30 s, or the server's Retry-After in seconds (at most 60 s).
 *   Each retry resumes from the bytes already written. A cancel during the
 *   wait ends the request within a second with libcurl code 42.
 * - mirrors: when a URL fails for good, the next line is tried, resuming
 *   from the bytes already there. The request fails only when the last URL
 *   has failed, with that URL's failure.
 * - maxBytesPerSecond: caps the receive speed. It holds from the first
 *   second on: at any moment the bytes received are at most what the cap
 *   allows since the first body byte, plus one receive buffer (100 KiB).
 * Logs "Start download request: ID <URL> to <PATH>" and "Request finished: "
 * as QL_DownloadFile does, and on the way "Resume download: ID from N
 * bytes", "Retry download: ID ...", "Switch to mirror: ID <URL> after: ..."
 * and "Verification failed: ID ...". */
QL_API unsigned int QL_CALL QL_DownloadFileEx(const char* url, const QL_WCHAR* path,
                                              const QL_DOWNLOAD_OPTIONS* options);

/* Download jobs (1.2.0): the host hands over many files at once and the
 * library runs them, as many at a time as the job allows, over few
 * connections (HTTP/2 where the server offers it over TLS), whatever the
 * host's poll rate. A file joins a job through QL_DownloadFileEx with
 * QL_DOWNLOAD_OPTIONS.job set; its request id works with every request
 * export, and it reads as running while it waits for room. */
#define QL_JOB_HTTP1 0x1u /* keep every transfer on HTTP/1.1 (default: HTTP/2 over TLS where the server offers it) */

typedef struct QL_JOB_OPTIONS {
  unsigned int size;                  /* sizeof(QL_JOB_OPTIONS) as the caller compiled it */
  unsigned int flags;                 /* QL_JOB_... */
  unsigned int maxTransfers;          /* files transferring at once; 0: 16 */
  unsigned int maxConnectionsPerHost; /* 0: 6 */
  long long maxBytesPerSecond;        /* receive cap for the whole job; 0: none */
} QL_JOB_OPTIONS;                     /* 24 bytes on every build */

typedef struct QL_JOB_PROGRESS {
  unsigned int size;        /* in: sizeof(QL_JOB_PROGRESS) */
  unsigned int files;       /* files added */
  unsigned int filesDone;   /* ended with success */
  unsigned int filesFailed; /* ended failed or cancelled */
  long long bytesTotal;     /* the files' full sizes added up; -1 while one is unknown */
  long long bytesWritten;   /* bytes on disk across the files, kept ones included */
  long long bytesPerSecond; /* receive speed over the last 3 s */
  unsigned int paused;      /* 1 while paused */
  unsigned int reserved;    /* 0 */
} QL_JOB_PROGRESS;          /* 48 bytes on every build */

/* Creates a job. options: NULL for the defaults; a size other than
 * sizeof(QL_JOB_OPTIONS) or unknown flags fail. Returns the job id, 0 on
 * failure. Logs "Create job: J". */
QL_API unsigned int QL_CALL QL_CreateJob(const QL_JOB_OPTIONS* options);
/* Fills progress (its size set by the caller) with the job's figures.
 * Returns 1, or 0 for an unknown job, a NULL progress or a wrong size. */
QL_API int QL_CALL QL_JobProgress(unsigned int job, QL_JOB_PROGRESS* progress);
/* paused 1: no more bytes arrive for the job's files and no file starts;
 * 0: they go on from the bytes on disk. Returns 1, 0 for an unknown job.
 * Logs "Pause job: J" or "Resume job: J". */
QL_API int QL_CALL QL_PauseJob(unsigned int job, int paused);
/* Blocks until every file added so far has ended (returns 1) or the time
 * passes (returns 0); 0 at once for an unknown job. */
QL_API int QL_CALL QL_WaitJob(unsigned int job, unsigned int milliseconds);
/* Cancels what runs, waits for it, and removes the job and its files'
 * requests. Returns 1, 0 for an unknown job. Logs "Remove job: J". When
 * the last file of a job ends, "Job finished: J, N done, M failed". */
QL_API int QL_CALL QL_RemoveJob(unsigned int job);

/* Signed manifests (1.2.0): a manifest's SHA-256 digests prove its files
 * only as far as the manifest itself can be trusted, so the publisher signs
 * it with minisign and the installer holds the public key. Both of
 * minisign's algorithms are accepted: "ED" (the default, over the data's
 * BLAKE2b-512) and the legacy "Ed" (over the data itself). The key id in the
 * signature must be one of the keys', and the global signature over the
 * trusted comment must hold too. Each call logs "Signature verified: key
 * <ID>", the key id in 16 hex digits (leading zeros kept), or "Signature
 * check failed: " and one of: malformed signature, malformed key, no key
 * with id <ID>, bad signature, bad trusted comment signature, or the
 * system's words (a file that cannot be read, data NULL with a size). A
 * NULL text counts as empty. A legacy "Ed" signature of a file needs the
 * file whole in memory: such a file may hold at most 64 MiB (beyond, the
 * system's words for a file too large). QL_VerifyRequestSignature logs
 * "Request not found" for an id that names no in-memory request and
 * "Request not finished" for one still running. */

/* 1 when signature (the text of a minisign signature file) is a valid signature of the bytes by
 * one of publicKeys (one or more minisign public keys, one base64 key a line; "untrusted comment:"
 * lines are allowed and skipped); else 0, with a log record that says why. */
QL_API int QL_CALL QL_VerifySignature(const void* data, unsigned int size, const char* signature,
                                      const char* publicKeys);
/* The same over the body of a finished in-memory request, exactly the bytes that arrived. */
QL_API int QL_CALL QL_VerifyRequestSignature(unsigned int request, const char* signature, const char* publicKeys);
/* The same over a file's contents, read in pieces (a file of any size, in constant memory). */
QL_API int QL_CALL QL_VerifyFileSignature(const QL_WCHAR* path, const char* signature, const char* publicKeys);

/* Asks a running request to stop and returns at once. The transfer stops at
 * its next progress check and the request ends failed with libcurl code 42;
 * a finished request is unchanged. The request stays until QL_RemoveRequest.
 * Returns 1 for a known id, else 0. Logs "Cancel request: ID", and
 * "Request not found" for an unknown id. */
QL_API int QL_CALL QL_CancelRequest(unsigned int id);

/* Removes a request and frees it: a running one is cancelled, and the call
 * waits without a time limit for its worker thread to end (a download's file
 * is closed). The id becomes unknown. Returns 1 for a known id, else 0.
 * Logs "Remove request: ID", and "Request not found" for an unknown id. */
QL_API int QL_CALL QL_RemoveRequest(unsigned int id);

/* Reads a request's state; poll it until state is QL_STATE_DONE or
 * QL_STATE_FAILED.
 *   info  out: first set to state 0, hasInfo 0, curlCode -1, responseCode 0,
 *         contentLength 0, then filled in as QL_REQUEST_INFO describes.
 * Returns 1 for a known id, else 0 (with info NULL: 0, nothing written). */
QL_API int QL_CALL QL_RequestInfo(unsigned int id, QL_REQUEST_INFO* info);

/* A download's progress.
 *   total       out: the announced length in bytes, -1 when none was.
 *   downloaded  out: bytes in the file so far (low 32 bits); 0 once the
 *               download has ended and closed its file.
 * Both are set to 0 first. Returns 1 once the response head has arrived;
 * 0 before that, for an unknown id or an in-memory request, and for a NULL
 * pointer (then nothing is written). */
QL_API int QL_CALL QL_RequestDownloadProgress(unsigned int id, int* total, int* downloaded);

/* A download's progress as 64-bit values, for QL_DownloadFile and
 * QL_DownloadFileEx requests alike.
 *   total    out: the file's full size in bytes: expectedSize when given,
 *            else the kept bytes plus the announced length, else -1.
 *   written  out: bytes in the file, kept ones included; after the end, what
 *            the file held when it was closed.
 * Returns 1 for a known download (before its response head too), 0 for an
 * unknown id, an in-memory request, or a NULL pointer (nothing written). */
QL_API int QL_CALL QL_RequestDownloadProgress64(unsigned int id, long long* total, long long* written);

/* The words of a failed request, of any kind: libcurl's message for its
 * code, the HTTP status that failed it, the system's words for a file error,
 * a SHA-256 mismatch. Two calls (see the top of the file).
 *   buffer    out: NULL, or room for capacity units.
 *   capacity  in: the units buffer holds.
 *   length    out: the words' length in units.
 * Returns 1 when the words were copied (no NUL); 0 with *length set when
 * buffer is NULL or too small; 0 with *length 0 for an unknown, running or
 * successful request; 0 for a NULL length (nothing written). */
QL_API int QL_CALL QL_RequestError(unsigned int id, QL_WCHAR* buffer, unsigned int capacity, int* length);

/* The body of a finished in-memory request, byte-widened; a failed request
 * gives what arrived before it failed. Two calls (see the top of the file):
 *   buffer  out: NULL, or room for *size units.
 *   size    in/out: with buffer NULL or *size 0, set to the body length in
 *           bytes, which is its length in units. Otherwise in only: the
 *           first *size body bytes are written as *size units, padded with
 *           0 past the body's end; a negative *size gives 0.
 * Returns 1; 0 for an unknown id, a running request, a download, or a NULL
 * size (nothing written). */
QL_API int QL_CALL QL_RequestData(unsigned int id, QL_WCHAR* buffer, int* size);

/* Parses a JSON text and stores its root object for QL_GetStringByPath.
 *   text  in: UTF-8 JSON whose top level is an object.
 * Returns the new document id, or 0 for NULL, invalid JSON, a top level
 * that is not an object, or no memory. Ids run past 0x7FFFFFFF: read the
 * result as unsigned. Documents stay until QL_Cleanup; there is no way to
 * free one sooner. */
QL_API int QL_CALL QL_ParseJSON(const char* text);

/* Copies the string value of one member of a stored document's root object,
 * byte-widened. Two calls (see the top of the file).
 *   document  in: an id from QL_ParseJSON.
 *   path      in: the whole text is one member name; '.' and '/' are part
 *             of the name, not separators.
 *   buffer    out: NULL, or room for *length units.
 *   length    in: the capacity of buffer in units; out: the value's full
 *             length in units (its length in bytes).
 * Copies min(*length, value length) units when buffer is not NULL. Returns 1
 * when the member exists and is a string, also when the buffer was too
 * short; 0 otherwise, or for a NULL path or length, with nothing written. */
QL_API int QL_CALL QL_GetStringByPath(unsigned int document, const char* path, QL_WCHAR* buffer, unsigned int* length);

/* Writes a new ULID: exactly 26 units of Crockford base 32 (ASCII), no NUL.
 * It holds the time in whole seconds, then 80 pseudo-random bits, so ULIDs
 * sort by second but not within one, and threads or processes can make
 * equal ones in the same second.
 *   buffer  out: room for 26 units; NULL writes nothing. */
QL_API void QL_CALL QL_GenerateULID(QL_WCHAR* buffer);

/* Takes the oldest log record off the library's queue. Two calls (see the
 * top of the file).
 *   buffer    out: room for capacity units; NULL only asks for the length.
 *   capacity  in: the units buffer holds.
 *   length    out: the oldest record's length in units, 0 when the queue
 *             is empty.
 * Returns 1 when the record was copied (no NUL) and removed; 0 when the
 * queue is empty, or the record does not fit (*length > capacity: it stays
 * first, call again with a bigger buffer), or length is NULL. Records are
 * kept, without limit, until pulled; concurrent pulls never get the same
 * record. */
QL_API int QL_CALL QL_PullLogRecord(QL_WCHAR* buffer, unsigned int capacity, int* length);

#ifdef __cplusplus
}
#endif

#endif /* QUILLET_QUILLET_H */
