#!/usr/bin/env python3
"""Downloads a manifest's files into DIR as one quillet job, with one progress line.

    python3 job.py [--library PATH] [--parallel N] [--manifest-sig SIGFILE --key PUBKEY...] MANIFEST DIR

MANIFEST holds one file a line, "URL [SHA256] [NAME]"; blank lines and lines
starting with # are skipped. A second field of 64 hex digits is the SHA-256,
else the NAME, which defaults to the last component of the URL's path and
must be a plain file name. Every file is written to NAME.part, resumed from
what a cancelled run left, and renamed to NAME once complete and verified; a
file already in DIR is not fetched again.

With --manifest-sig, SIGFILE is a minisign signature of MANIFEST, which must
verify with one of the --key public keys (a public key file as minisign
writes it, or its base64 line) before any file is fetched.

Exits 0 when every file arrived, 1 when one failed (each is named with the
library's words) or the manifest's signature did not verify, 2 for a bad
manifest, 130 after Ctrl-C.
"""

import argparse
import os
import re
import sys
import urllib.parse

from download import Progress
from quillet import DOWNLOAD_ATOMIC, DOWNLOAD_RESUME, STATE_DONE, Quillet

_SHA256 = re.compile(r"[0-9a-fA-F]{64}")


def read_manifest(path, text):
    """[(url, sha256 or None, name)] from the manifest's text; raises ValueError naming the bad line."""
    entries, names = [], set()
    for number, line in enumerate(text.splitlines(), 1):
        fields = line.split()
        if not fields or fields[0].startswith("#"):
            continue
        if len(fields) > 3 or (len(fields) == 3 and not _SHA256.fullmatch(fields[1])):
            raise ValueError(f"{path}:{number}: expected URL [SHA256] [NAME]")
        url = fields[0]
        sha256 = fields[1] if len(fields) > 1 and _SHA256.fullmatch(fields[1]) else None
        named = len(fields) == 3 or (len(fields) == 2 and sha256 is None)
        name = fields[-1] if named else urllib.parse.urlsplit(url).path.rsplit("/", 1)[-1]
        # The name must stay inside DIR.
        if name in ("", ".", "..") or "/" in name or "\\" in name or name in names:
            raise ValueError(f"{path}:{number}: the name {name!r} is not a new plain file name")
        names.add(name)
        entries.append((url, sha256, name))
    return entries


def read_key(key):
    """A public key file's text, or the argument itself when no file has that name."""
    try:
        with open(key, encoding="utf-8") as text:
            return text.read()
    except OSError:
        return key


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--library", help="path of libquillet.so (default: $QUILLET_LIBRARY or the build tree's)")
    parser.add_argument("--parallel", type=int, default=0, help="files transferring at once (default: the library's)")
    parser.add_argument("--manifest-sig", help="a minisign signature of MANIFEST, checked before any file is fetched")
    parser.add_argument("--key", action="append", default=[], help="a public key it must verify with (repeatable)")
    parser.add_argument("manifest")
    parser.add_argument("dir")
    args = parser.parse_args()
    if bool(args.manifest_sig) != bool(args.key):
        parser.error("--manifest-sig and --key go together")
    try:
        with open(args.manifest, "rb") as manifest:
            text = manifest.read()  # the bytes verified are the bytes read
    except OSError as error:
        print(f"bad manifest: {error}", file=sys.stderr)
        return 2
    q = Quillet(args.library)

    def drain():
        for record in q.pull_log_records():
            print(f"log: {record}", file=sys.stderr)

    if args.manifest_sig:
        try:
            with open(args.manifest_sig, "rb") as signature:
                verified = q.verify_signature(text, signature.read(), "\n".join(map(read_key, args.key)))
        except OSError as error:
            print(f"bad signature file: {error}", file=sys.stderr)
            return 1
        drain()
        if not verified:
            print(f"{args.manifest}: not signed by the key given; no file fetched", file=sys.stderr)
            return 1
    try:
        entries = read_manifest(args.manifest, text.decode("utf-8"))
    except (UnicodeError, ValueError) as error:
        print(f"bad manifest: {error}", file=sys.stderr)
        return 2
    os.makedirs(args.dir, exist_ok=True)
    # A file with no .part beside it was finished by an earlier run.
    entries = [(url, sha256, name) for url, sha256, name in entries
               if not (os.path.isfile(os.path.join(args.dir, name))
                       and not os.path.exists(os.path.join(args.dir, name + ".part")))]

    q.initialize()
    job = q.create_job(max_transfers=args.parallel)
    if job == 0:
        drain()
        print("cannot create the job", file=sys.stderr)
        return 1
    requests = [(name, q.download_file_ex(url, os.path.join(args.dir, name), flags=DOWNLOAD_RESUME | DOWNLOAD_ATOMIC,
                                          sha256=sha256, job=job))
                for url, sha256, name in entries]
    progress = Progress(sys.stderr)

    def show(final=False):
        figures = q.job_progress(job)
        failed = f" ({figures.filesFailed} failed)" if figures.filesFailed else ""
        progress.show(figures.bytesWritten, figures.bytesTotal, final=final,
                      label=f"{figures.filesDone}/{figures.files} files{failed}")

    interrupted = False
    try:
        # wait_job is the pause between polls and returns as the last file ends.
        while not q.wait_job(job, 150):
            show()
            drain()
    except KeyboardInterrupt:
        interrupted = True
    show(final=True)
    failures = [] if interrupted else [(name, q.request_error(request)) for name, request in requests
                                       if q.request_info(request).state != STATE_DONE]
    q.remove_job(job)  # cancels what still runs; the .part files stay
    q.cleanup()
    drain()

    if interrupted:
        print(f"job cancelled; the .part files in {args.dir} keep what arrived: run the same command again to resume",
              file=sys.stderr)
        return 130
    for name, reason in failures:
        print(f"{name} failed: {reason or 'no reason given'}", file=sys.stderr)
    if failures:
        print(f"job failed: {len(failures)} of {len(requests)} files failed", file=sys.stderr)
        return 1
    print(f"saved {len(requests)} files to {args.dir}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
