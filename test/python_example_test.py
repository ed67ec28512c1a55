#!/usr/bin/env python3
"""Runs examples/python/download.py and job.py against a loopback HTTP server.

    python_example_test.py LIBRARY EXAMPLES_DIR

The example reaches the library only through ctypes, so this checks that the
exports can be used without the C header: a download arrives byte for byte
with its progress line and log records, a download with its SHA-256 arrives
and one with a wrong SHA-256 fails with both digests, and a 404 ends in a
failure that quotes the library's words. A manifest's files downloaded as
one job, after its minisign signature verified, arrive whole but for the one
with a wrong SHA-256, which is named; the manifest changed after signing
fetches nothing.
"""

import functools
import hashlib
import http.server
import os
import pathlib
import subprocess
import sys
import tempfile
import threading


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def run_example(library, examples, url, target, *options, script="download.py"):
    return subprocess.run(
        [sys.executable, os.path.join(examples, script), "--library", library, *options, url, target],
        capture_output=True, text=True, timeout=60,
        env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))  # nothing written into the source tree


def main():
    library, examples = sys.argv[1], sys.argv[2]
    failures = []

    def check(condition, what, result):
        if not condition:
            failures.append(f"{what}\n--- exit {result.returncode}, stderr:\n{result.stderr}")

    with tempfile.TemporaryDirectory() as root:
        served = os.path.join(root, "served")
        os.mkdir(served)
        payload = bytes((i * 7 + i // 251) & 0xFF for i in range(2 << 20))
        with open(os.path.join(served, "payload.bin"), "wb") as f:
            f.write(payload)

        handler = functools.partial(QuietHandler, directory=served)
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        base = f"http://127.0.0.1:{server.server_address[1]}"
        try:
            target = os.path.join(root, "out.bin")
            result = run_example(library, examples, base + "/payload.bin", target)
            check(result.returncode == 0, "the download exits 0", result)
            written = pathlib.Path(target).read_bytes() if os.path.exists(target) else None
            check(written == payload, "the file holds the served bytes", result)
            check(f"downloaded {len(payload)} bytes of {len(payload)} (100%)" in result.stderr,
                  "the last progress line shows the whole file", result)
            check("log: Request finished: success" in result.stderr, "the log records are drained", result)

            verified = os.path.join(root, "verified.bin")
            digest = hashlib.sha256(payload).hexdigest()
            result = run_example(library, examples, base + "/payload.bin", verified, "--sha256", digest)
            check(result.returncode == 0 and pathlib.Path(verified).read_bytes() == payload,
                  "a download with its SHA-256 arrives whole", result)
            wrong = digest[:-1] + ("0" if digest[-1] != "0" else "1")
            result = run_example(library, examples, base + "/payload.bin", os.path.join(root, "wrong.bin"),
                                 "--sha256", wrong)
            check(result.returncode == 1 and f"SHA-256 mismatch: expected {wrong}, received {digest}" in result.stderr,
                  "a wrong SHA-256 fails with both digests", result)
            check(not os.path.exists(os.path.join(root, "wrong.bin")), "a wrong file never gets the name", result)

            manifest, folder = os.path.join(root, "manifest.txt"), os.path.join(root, "job")
            pathlib.Path(manifest).write_text(f"# the game\n{base}/payload.bin {digest}\n"
                                              f"{base}/payload.bin copy.bin\n{base}/payload.bin {wrong} bad.bin\n")
            # Signed with minisign itself, as a publisher signs a manifest.
            key = os.path.join(root, "key")
            for command in (["-G", "-W", "-p", key + ".pub", "-s", key], ["-S", "-s", key, "-m", manifest]):
                subprocess.run(["minisign", *command], check=True, capture_output=True, stdin=subprocess.DEVNULL)
            signed = ("--manifest-sig", manifest + ".minisig", "--key", key + ".pub")
            result = run_example(library, examples, manifest, folder, *signed, script="job.py")
            check(result.returncode == 1 and "bad.bin failed: SHA-256 mismatch" in result.stderr
                  and "2/3 files (1 failed)" in result.stderr, "a job names the file it could not verify", result)
            check("log: Signature verified: key " in result.stderr, "the signed manifest verifies first", result)
            check(all(pathlib.Path(folder, name).read_bytes() == payload for name in ("payload.bin", "copy.bin"))
                  and not os.path.exists(os.path.join(folder, "bad.bin")), "the job's other files arrive", result)
            with open(manifest, "a") as changed:
                changed.write(f"{base}/payload.bin extra.bin\n")
            result = run_example(library, examples, manifest, folder, *signed, script="job.py")
            check(result.returncode == 1 and "log: Signature check failed: bad signature" in result.stderr
                  and not os.path.exists(os.path.join(folder, "extra.bin")),
                  "a manifest changed after signing fetches nothing", result)

            result = run_example(library, examples, base + "/missing.bin", os.path.join(root, "missing.bin"))
            check(result.returncode == 1, "a 404 exits 1", result)
            check("download failed: Unexpected http server response code(404)." in result.stderr,
                  "the failure quotes the library's record", result)
        finally:
            server.shutdown()
            server.server_close()

    for failure in failures:
        print("FAILED:", failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
