#!/usr/bin/env python3
"""Downloads URL into FILE through the quillet library, with a progress line.

    python3 download.py [--library PATH] [--sha256 HEX] [--resume] URL FILE

With --sha256 the bytes go to FILE.part, which becomes FILE only once its
SHA-256 matches; --resume keeps the bytes a cancelled run left there.

The library is $QUILLET_LIBRARY, --library, or the build tree's. Its log
records are drained as the download runs and printed to standard error.
Exits 0 on success, 1 when the download failed, 130 after Ctrl-C.
"""

import argparse
import os
import sys
import time

from quillet import DOWNLOAD_RESUME, STATE_DONE, STATE_RUNNING, Quillet


class Progress:
    """One line on standard error: redrawn in place on a terminal, else
    printed at most once a second."""

    def __init__(self, stream):
        self.stream = stream
        self.tty = stream.isatty()
        self.last = None

    def show(self, downloaded, total, final=False, label=""):
        of = "unknown" if total < 0 else str(total)
        percent = f" ({downloaded * 100 // total}%)" if total > 0 else ""
        line = f"{label}{', ' if label else ''}downloaded {downloaded} bytes of {of}{percent}"
        now = time.monotonic()
        if self.tty:
            self.stream.write("\r" + line + ("\n" if final else ""))
        elif final or self.last is None or now - self.last >= 1.0:
            self.stream.write(line + "\n")
            self.last = now
        self.stream.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--library", help="path of libquillet.so (default: $QUILLET_LIBRARY or the build tree's)")
    parser.add_argument("--sha256", help="the file's SHA-256 as 64 hex digits; checked before FILE is written")
    parser.add_argument("--resume", action="store_true", help="keep the bytes a cancelled run left")
    parser.add_argument("url")
    parser.add_argument("file")
    args = parser.parse_args()

    q = Quillet(args.library)

    def drain():
        records = q.pull_log_records()
        for record in records:
            print(f"log: {record}", file=sys.stderr)
        return records

    q.initialize()
    drain()
    request = q.download_file_ex(args.url, args.file, flags=DOWNLOAD_RESUME if args.resume else 0,
                                 sha256=args.sha256)
    progress = Progress(sys.stderr)
    records = []
    total = -1
    interrupted = False
    while True:
        try:
            info = q.request_info(request)
            if info.state != STATE_RUNNING:
                break
            seen = q.download_progress64(request)
            if seen is not None and (seen[0] >= 0 or seen[1] > 0):
                total, downloaded = seen
                progress.show(downloaded, total)
            records += drain()
            time.sleep(0.1)
        except KeyboardInterrupt:
            # Cancel, then keep polling until the worker has ended.
            interrupted = True
            q.cancel(request)
    seen = q.download_progress64(request)
    if info.hasInfo and seen is not None:
        progress.show(seen[1], seen[0], final=True)
    reason = q.request_error(request)
    q.remove(request)
    q.cleanup()
    records += drain()

    if interrupted:
        print("download cancelled", file=sys.stderr)
        return 130
    if info.state != STATE_DONE:
        print(f"download failed: {reason or 'no reason given'}", file=sys.stderr)
        return 1
    print(f"saved {args.file} (HTTP {info.responseCode})", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
