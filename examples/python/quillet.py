"""A ctypes binding of the quillet library's exports.

It needs no C header and no compiler: it loads libquillet.so (quillet.dll on
Windows) and declares each export's argument and result types itself, the way
a scripted installer calls the library. Its rules are the header's
(include/quillet/quillet.h): text comes back as 16-bit units in buffers the
caller owns, byte strings one sign-extended unit per byte.

    q = Quillet()                        # or Quillet("/path/to/libquillet.so")
    q.initialize()
    doc = q.parse_json('{"name": "quillet"}')
    print(q.string_by_path(doc, "name"))  # b'quillet'
    q.cleanup()
"""

import ctypes
import os
import sys
from ctypes import POINTER, Structure, byref, c_char_p, c_int, c_longlong, c_uint, c_uint16, sizeof

STATE_NONE = 0
STATE_RUNNING = 1
STATE_DONE = 2
STATE_FAILED = 3


class RequestInfo(Structure):
    """QL_REQUEST_INFO: five 32-bit signed integers."""

    _fields_ = [
        ("state", c_int),
        ("hasInfo", c_int),
        ("curlCode", c_int),
        ("responseCode", c_int),
        ("contentLength", c_int),
    ]


DOWNLOAD_RESUME = 0x1
DOWNLOAD_ATOMIC = 0x2


class DownloadOptions(Structure):
    """QL_DOWNLOAD_OPTIONS: ctypes lays it out as the C compiler does (40
    bytes on 32-bit, 48 on 64-bit)."""

    _fields_ = [
        ("size", c_uint),
        ("flags", c_uint),
        ("expectedSize", c_longlong),
        ("sha256", c_char_p),
        ("mirrors", c_char_p),
        ("retries", c_uint),
        ("job", c_uint),
        ("maxBytesPerSecond", c_longlong),
    ]


JOB_HTTP1 = 0x1


class JobOptions(Structure):
    """QL_JOB_OPTIONS: 24 bytes on every build."""

    _fields_ = [
        ("size", c_uint),
        ("flags", c_uint),
        ("maxTransfers", c_uint),
        ("maxConnectionsPerHost", c_uint),
        ("maxBytesPerSecond", c_longlong),
    ]


class JobProgress(Structure):
    """QL_JOB_PROGRESS: 48 bytes on every build."""

    _fields_ = [
        ("size", c_uint),
        ("files", c_uint),
        ("filesDone", c_uint),
        ("filesFailed", c_uint),
        ("bytesTotal", c_longlong),
        ("bytesWritten", c_longlong),
        ("bytesPerSecond", c_longlong),
        ("paused", c_uint),
        ("reserved", c_uint),
    ]


# QL_WCHAR is a 16-bit unit everywhere; ctypes' c_wchar is 4 bytes on Linux.
_UNITS = POINTER(c_uint16)

_SIGNATURES = {
    "QL_Initialize": (None, []),
    "QL_Cleanup": (None, []),
    "QL_Request": (c_uint, [c_int, c_char_p, c_char_p]),
    "QL_SendStats": (c_uint, [c_char_p, c_char_p]),
    "QL_DownloadFile": (c_uint, [c_char_p, _UNITS]),
    "QL_DownloadFileEx": (c_uint, [c_char_p, _UNITS, POINTER(DownloadOptions)]),
    "QL_RequestDownloadProgress64": (c_int, [c_uint, POINTER(c_longlong), POINTER(c_longlong)]),
    "QL_RequestError": (c_int, [c_uint, _UNITS, c_uint, POINTER(c_int)]),
    "QL_CreateJob": (c_uint, [POINTER(JobOptions)]),
    "QL_JobProgress": (c_int, [c_uint, POINTER(JobProgress)]),
    "QL_PauseJob": (c_int, [c_uint, c_int]),
    "QL_WaitJob": (c_int, [c_uint, c_uint]),
    "QL_RemoveJob": (c_int, [c_uint]),
    "QL_CancelRequest": (c_int, [c_uint]),
    "QL_RemoveRequest": (c_int, [c_uint]),
    "QL_RequestInfo": (c_int, [c_uint, POINTER(RequestInfo)]),
    "QL_RequestDownloadProgress": (c_int, [c_uint, POINTER(c_int), POINTER(c_int)]),
    "QL_RequestData": (c_int, [c_uint, _UNITS, POINTER(c_int)]),
    "QL_ParseJSON": (c_int, [c_char_p]),
    "QL_GetStringByPath": (c_int, [c_uint, c_char_p, _UNITS, POINTER(c_uint)]),
    "QL_GenerateULID": (None, [_UNITS]),
    "QL_PullLogRecord": (c_int, [_UNITS, c_uint, POINTER(c_int)]),
    "QL_VerifySignature": (c_int, [c_char_p, c_uint, c_char_p, c_char_p]),
    "QL_VerifyRequestSignature": (c_int, [c_uint, c_char_p, c_char_p]),
    "QL_VerifyFileSignature": (c_int, [_UNITS, c_char_p, c_char_p]),
}

_HERE = os.path.dirname(os.path.abspath(__file__))
_UTF16 = "utf-16-le" if sys.byteorder == "little" else "utf-16-be"


def default_library_path():
    """$QUILLET_LIBRARY, else the build tree's library, else the installed one."""
    path = os.environ.get("QUILLET_LIBRARY")
    if path:
        return path
    if sys.platform == "win32":
        return "quillet.dll"
    built = os.path.join(_HERE, "..", "..", "build", "dev", "libquillet.so")
    return built if os.path.exists(built) else "libquillet.so.1"


def _narrow(text):
    """A str as UTF-8 bytes; bytes and None pass unchanged."""
    return text.encode("utf-8") if isinstance(text, str) else text


def _path_units(path):
    units = os.fspath(path).encode(_UTF16, "surrogatepass") + b"\0\0"
    return (c_uint16 * (len(units) // 2)).from_buffer_copy(units)


def _decode(units, count):
    """count UTF-16 units as a str."""
    return bytes(units)[: 2 * count].decode(_UTF16, "replace")


def _unwiden(units, count):
    """The bytes behind byte-widened units: the low 8 bits of each."""
    return bytes(unit & 0xFF for unit in units[:count])


class Quillet:
    """The library's exports, raw (q.lib.QL_...) and with Python types."""

    def __init__(self, path=None):
        path = path or default_library_path()
        # 32-bit Windows exports are __stdcall.
        loader = ctypes.WinDLL if sys.platform == "win32" else ctypes.CDLL
        self.lib = loader(path)
        for name, (restype, argtypes) in _SIGNATURES.items():
            function = getattr(self.lib, name)
            function.restype = restype
            function.argtypes = argtypes

    def initialize(self):
        self.lib.QL_Initialize()

    def cleanup(self):
        self.lib.QL_Cleanup()

    def request(self, url, data=None, post=False):
        return self.lib.QL_Request(1 if post else 0, _narrow(url), _narrow(data))

    def send_stats(self, url, data=None):
        return self.lib.QL_SendStats(_narrow(url), _narrow(data))

    def download_file(self, url, path):
        return self.lib.QL_DownloadFile(_narrow(url), _path_units(path))

    def download_file_ex(self, url, path, flags=0, expected_size=-1, sha256=None, mirrors=(), retries=0,
                         max_bytes_per_second=0, job=0):
        """QL_DownloadFileEx; mirrors is a sequence of URLs, job one from create_job or 0."""
        options = DownloadOptions(sizeof(DownloadOptions), flags, expected_size, _narrow(sha256),
                                  _narrow("\n".join(mirrors)) if mirrors else None, retries, job, max_bytes_per_second)
        return self.lib.QL_DownloadFileEx(_narrow(url), _path_units(path), byref(options))

    def create_job(self, flags=0, max_transfers=0, max_connections_per_host=0, max_bytes_per_second=0):
        """A new download job's id, 0 on failure; 0 for a number means the library's default."""
        options = JobOptions(sizeof(JobOptions), flags, max_transfers, max_connections_per_host, max_bytes_per_second)
        return self.lib.QL_CreateJob(byref(options))

    def job_progress(self, job):
        """The job's JobProgress, or None for an unknown job."""
        progress = JobProgress()
        progress.size = sizeof(JobProgress)
        return progress if self.lib.QL_JobProgress(job, byref(progress)) == 1 else None

    def pause_job(self, job, paused=True):
        return self.lib.QL_PauseJob(job, 1 if paused else 0) == 1

    def wait_job(self, job, milliseconds):
        """True once every file added so far has ended, False when the time passed first."""
        return self.lib.QL_WaitJob(job, milliseconds) == 1

    def remove_job(self, job):
        return self.lib.QL_RemoveJob(job) == 1

    def cancel(self, request_id):
        return self.lib.QL_CancelRequest(request_id) == 1

    def remove(self, request_id):
        return self.lib.QL_RemoveRequest(request_id) == 1

    def request_info(self, request_id):
        info = RequestInfo()
        self.lib.QL_RequestInfo(request_id, byref(info))
        return info

    def download_progress(self, request_id):
        """(total, downloaded) once the response head has arrived, else None."""
        total, downloaded = c_int(0), c_int(0)
        if self.lib.QL_RequestDownloadProgress(request_id, byref(total), byref(downloaded)) != 1:
            return None
        return total.value, downloaded.value

    def download_progress64(self, request_id):
        """(total, written) of a known download, total -1 while unknown; else None."""
        total, written = c_longlong(0), c_longlong(0)
        if self.lib.QL_RequestDownloadProgress64(request_id, byref(total), byref(written)) != 1:
            return None
        return total.value, written.value

    def request_error(self, request_id):
        """The words of a failed request, or None."""
        length = c_int(0)
        self.lib.QL_RequestError(request_id, None, 0, byref(length))
        if length.value <= 0:
            return None
        buffer = (c_uint16 * length.value)()
        if self.lib.QL_RequestError(request_id, buffer, length.value, byref(length)) != 1:
            return None
        return _decode(buffer, length.value)

    def request_data(self, request_id):
        """The body of a finished in-memory request, or None."""
        size = c_int(0)
        if self.lib.QL_RequestData(request_id, None, byref(size)) != 1:
            return None
        if size.value == 0:
            return b""
        buffer = (c_uint16 * size.value)()
        if self.lib.QL_RequestData(request_id, buffer, byref(size)) != 1:
            return None
        return _unwiden(buffer, size.value)

    def parse_json(self, text):
        """The new document's id (0 on failure), read as unsigned."""
        return self.lib.QL_ParseJSON(_narrow(text)) & 0xFFFFFFFF

    def string_by_path(self, document, name):
        """The member's value as bytes, or None when missing or not a string."""
        length = c_uint(0)
        if self.lib.QL_GetStringByPath(document, _narrow(name), None, byref(length)) != 1:
            return None
        buffer = (c_uint16 * max(length.value, 1))()
        if self.lib.QL_GetStringByPath(document, _narrow(name), buffer, byref(length)) != 1:
            return None
        return _unwiden(buffer, length.value)

    def generate_ulid(self):
        buffer = (c_uint16 * 26)()
        self.lib.QL_GenerateULID(buffer)
        return _unwiden(buffer, 26).decode("ascii")

    def verify_signature(self, data, signature, public_keys):
        """True when signature, a minisign signature file's text, signs the bytes
        data with one of public_keys (minisign public keys, a key a line;
        comment lines are skipped). A log record says which key, or why not."""
        data = _narrow(data)
        return self.lib.QL_VerifySignature(data, len(data), _narrow(signature), _narrow(public_keys)) == 1

    def verify_request_signature(self, request_id, signature, public_keys):
        """verify_signature over the body of a finished in-memory request."""
        return self.lib.QL_VerifyRequestSignature(request_id, _narrow(signature), _narrow(public_keys)) == 1

    def verify_file_signature(self, path, signature, public_keys):
        """verify_signature over a file's bytes, which the library reads in pieces."""
        return self.lib.QL_VerifyFileSignature(_path_units(path), _narrow(signature), _narrow(public_keys)) == 1

    def pull_log_records(self):
        """Every queued log record, oldest first."""
        records = []
        buffer = (c_uint16 * 256)()
        length = c_int(0)
        while True:
            if self.lib.QL_PullLogRecord(buffer, len(buffer), byref(length)) == 1:
                records.append(_decode(buffer, length.value))
            elif length.value > len(buffer):
                buffer = (c_uint16 * length.value)()  # too small: grow and ask again
            else:
                return records
