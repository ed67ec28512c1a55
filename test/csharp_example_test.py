#!/usr/bin/env python3
"""Builds examples/csharp with Mono's C# compiler and runs it against a
loopback HTTP server.

    csharp_example_test.py LIBRARY EXAMPLES_DIR

The program reaches the library only through its P/Invoke declarations, so
this checks them against the real exports: a manifest that does not match
its minisign signature is refused, the manifest's files run as one job and
arrive byte for byte, a body cut short and a wrong SHA-256 fail with
the library's words, and the next run resumes from the bytes the failed one
kept. Without Mono the test fails and says how to install it.
"""

import hashlib
import http.server
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import threading

PAYLOAD = bytes((i * 13 + i // 509) & 0xFF for i in range(3 << 20))
CUT_AT = 1 << 20
FILES = {"payload.bin": PAYLOAD, "small.bin": PAYLOAD[7:50007], "bad.bin": PAYLOAD[:9000]}


class Handler(http.server.BaseHTTPRequestHandler):
    """/manifest.txt, and FILES with ranges; the first payload request is
    cut after CUT_AT bytes while the server's `cut` is set."""

    def log_message(self, *args):
        pass

    def do_GET(self):
        server = self.server
        if self.path in ("/manifest.txt", "/manifest.txt.minisig"):
            text = server.manifest if self.path == "/manifest.txt" else server.signature
            self.reply(200, text, len(text))
            return
        body = FILES.get(self.path[1:])
        if body is None:
            self.reply(404, b"missing", 7)
            return
        asked = self.headers.get("Range", "")
        start = int(asked[6:-1]) if asked.startswith("bytes=") and asked.endswith("-") else 0
        if body is PAYLOAD:
            server.ranges.append(asked)
            if server.cut:
                server.cut = False
                self.reply(200, PAYLOAD[:CUT_AT], len(PAYLOAD))  # announces the whole file, then hangs up
                self.close_connection = True
                return
        extra = {"Content-Range": f"bytes {start}-{len(body) - 1}/{len(body)}"} if start else {}
        self.reply(206 if start else 200, body[start:], len(body) - start, extra)

    def reply(self, status, body, length, headers=None):
        self.send_response(status)
        self.send_header("Content-Length", str(length))
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)


def main():
    library, examples = sys.argv[1], sys.argv[2]
    compiler, runtime = shutil.which("mcs"), shutil.which("mono")
    if compiler is None or runtime is None:
        print("csharp_example: FAILED: Mono's C# compiler (mcs) or runtime (mono) is missing; "
              "install them with: bash scripts/install-deps.sh csharp", file=sys.stderr)
        return 1
    failures = []

    def check(condition, what, result):
        if not condition:
            failures.append(f"{what}\n--- exit {result.returncode}, stderr:\n{result.stderr}")

    with tempfile.TemporaryDirectory() as root:
        program = os.path.join(root, "Download.exe")
        built = subprocess.run([compiler, "-warn:4", "-warnaserror+", "-out:" + program,
                                os.path.join(examples, "Quillet.cs"), os.path.join(examples, "Download.cs")],
                               capture_output=True, text=True, timeout=120)
        if built.returncode != 0:
            print("csharp_example: FAILED: mcs did not build the example:\n" + built.stdout + built.stderr,
                  file=sys.stderr)
            return 1

        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        server.ranges, server.cut = [], True
        base = f"http://127.0.0.1:{server.server_address[1]}"
        digests = {name: hashlib.sha256(body).hexdigest() for name, body in FILES.items()}
        server.manifest = "".join(f"{base}/{name} {'0' * 64 if name == 'bad.bin' else digest} {name}\n"
                                  for name, digest in digests.items()).encode()  # one wrong SHA-256
        threading.Thread(target=server.serve_forever, daemon=True).start()
        # Mono finds libquillet.so for DllImport("quillet") on the library path.
        env = dict(os.environ, LD_LIBRARY_PATH=os.path.dirname(os.path.abspath(library)))

        # The publisher's key and signatures, made by minisign itself.
        key = os.path.join(root, "publisher")
        minisign = ["minisign", "-G", "-W", "-p", key + ".pub", "-s", key]
        subprocess.run(minisign, check=True, capture_output=True, stdin=subprocess.DEVNULL)

        def sign(manifest):
            signed = pathlib.Path(root, "manifest.txt")
            signed.write_bytes(manifest)
            subprocess.run(["minisign", "-S", "-s", key, "-m", str(signed)], check=True, capture_output=True,
                           stdin=subprocess.DEVNULL)
            server.signature = pathlib.Path(root, "manifest.txt.minisig").read_bytes()

        def run():
            return subprocess.run([runtime, program, base + "/manifest.txt", root, key + ".pub"],
                                  capture_output=True, text=True, timeout=60, env=env)

        try:
            sign(server.manifest.replace(b"bad.bin", b"other.bin"))
            result = run()
            check(result.returncode == 1 and "log: Signature check failed: bad signature" in result.stderr
                  and "manifest refused" in result.stderr and not server.ranges,
                  "a manifest that differs from the signed one is refused before any download", result)

            sign(server.manifest)
            target = pathlib.Path(root, "payload.bin")
            part = pathlib.Path(root, "payload.bin.part")
            result = run()
            check(result.returncode == 1, "a body cut short fails the run", result)
            check(f"manifest: payload.bin from {base}/payload.bin" in result.stderr, "the manifest is read", result)
            check('download failed: payload.bin: Inner libCurl error(18): "Transfer closed. Transferred a partial '
                  'file".' in result.stderr and "download failed: bad.bin: SHA-256 mismatch" in result.stderr,
                  "the failures print the library's words", result)
            check("Job finished: 1, 1 done, 2 failed" in result.stderr, "the files ran as one job", result)
            check(not target.exists() and part.exists() and part.stat().st_size == CUT_AT,
                  "the failed run keeps what arrived in the .part file", result)

            server.manifest = server.manifest.replace(b"0" * 64, digests["bad.bin"].encode())
            sign(server.manifest)

            result = run()
            check(result.returncode == 0, "the second run succeeds", result)
            saved = [pathlib.Path(root, name) for name in FILES]
            check([path.read_bytes() if path.exists() else None for path in saved] == list(FILES.values()),
                  "the files hold the served bytes", result)
            check(server.ranges == ["bytes=0-", f"bytes={CUT_AT}-"], f"it resumed: ranges {server.ranges}", result)
            total = sum(map(len, FILES.values()))
            check(f"from {CUT_AT} bytes" in result.stderr and
                  f"downloaded {total} bytes of {total} (100%), 3 of 3 files" in result.stderr,
                  "the log records and the last progress line are printed", result)
        finally:
            server.shutdown()
            server.server_close()

    for failure in failures:
        print("FAILED:", failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
