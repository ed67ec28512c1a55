#!/usr/bin/env python3
"""Builds examples/csharp with Mono's C# compiler and runs it against a
loopback HTTP server.

    csharp_example_test.py LIBRARY EXAMPLES_DIR

The program reaches the library only through its P/Invoke declarations, so
this checks them against the real exports: the manifest's members come back
through QL_GetStringByPath, the file arrives byte for byte, a body cut short
fails with the library's words, and the next run resumes from the bytes the
failed one kept. Without Mono the test fails and says how to install it.
"""

import hashlib
import http.server
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import threading

PAYLOAD = bytes((i * 13 + i // 509) & 0xFF for i in range(3 << 20))
CUT_AT = 1 << 20


class Handler(http.server.BaseHTTPRequestHandler):
    """/manifest.json, and /payload.bin with ranges; the first payload
    request is cut after CUT_AT bytes while the server's `cut` is set."""

    def log_message(self, *args):
        pass

    def do_GET(self):
        server = self.server
        if self.path == "/manifest.json":
            self.reply(200, server.manifest, len(server.manifest))
            return
        if self.path != "/payload.bin":
            self.reply(404, b"missing", 7)
            return
        asked = self.headers.get("Range", "")
        server.ranges.append(asked)
        start = int(asked[6:-1]) if asked.startswith("bytes=") and asked.endswith("-") else 0
        if server.cut:
            server.cut = False
            self.reply(200, PAYLOAD[:CUT_AT], len(PAYLOAD))  # announces the whole file, then hangs up
            self.close_connection = True
            return
        extra = {"Content-Range": f"bytes {start}-{len(PAYLOAD) - 1}/{len(PAYLOAD)}"} if start else {}
        self.reply(206 if start else 200, PAYLOAD[start:], len(PAYLOAD) - start, extra)

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
        server.manifest = json.dumps({"url": base + "/payload.bin", "name": "payload.bin",
                                      "sha256": hashlib.sha256(PAYLOAD).hexdigest()}).encode()
        threading.Thread(target=server.serve_forever, daemon=True).start()
        # Mono finds libquillet.so for DllImport("quillet") on the library path.
        env = dict(os.environ, LD_LIBRARY_PATH=os.path.dirname(os.path.abspath(library)))

        def run():
            return subprocess.run([runtime, program, base + "/manifest.json", root],
                                  capture_output=True, text=True, timeout=60, env=env)

        try:
            target = pathlib.Path(root, "payload.bin")
            part = pathlib.Path(root, "payload.bin.part")
            result = run()
            check(result.returncode == 1, "a body cut short fails the run", result)
            check(f"manifest: payload.bin from {base}/payload.bin" in result.stderr,
                  "the manifest's members come through QL_GetStringByPath", result)
            check('download failed: Inner libCurl error(18): "Transfer closed. Transferred a partial file".'
                  in result.stderr,
                  "the failure prints the library's words", result)
            check(not target.exists() and part.exists() and part.stat().st_size == CUT_AT,
                  "the failed run keeps what arrived in the .part file", result)

            result = run()
            check(result.returncode == 0, "the second run succeeds", result)
            check(target.exists() and target.read_bytes() == PAYLOAD, "the file holds the served bytes", result)
            check(server.ranges == ["bytes=0-", f"bytes={CUT_AT}-"], f"it resumed: ranges {server.ranges}", result)
            check(f"from {CUT_AT} bytes" in result.stderr and f"downloaded {len(PAYLOAD)} bytes of {len(PAYLOAD)} (100%)"
                  in result.stderr, "the log records and the last progress line are printed", result)
        finally:
            server.shutdown()
            server.server_close()

    for failure in failures:
        print("FAILED:", failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
