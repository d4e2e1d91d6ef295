"""Real servers for the download tests, in a process that ends with the test's:
HTTP on port 80 (also a proxy that answers 407 until it gets USER/PASSWORD)
and anonymous FTP on port 21, on a loopback address of this test run
(127.0.x.y), so that runs side by side do not meet. HTTP paths are answered
as routes.json in the folder says (see Servers.route); unknown ones get 404."""

import base64
import ctypes
import json
import os
import signal
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from urllib.parse import urlsplit

USER, PASSWORD = "tester", "s3cret"


class Handler(BaseHTTPRequestHandler):
    def do_GET(self):
        proxied, root = self.path.startswith("http://"), self.server.root
        route = json.loads((root / "routes.json").read_text()).get(urlsplit(self.path).path)
        auth = self.headers.get("Proxy-Authorization")
        status = (407 if proxied and auth != "Basic " + base64.b64encode(f"{USER}:{PASSWORD}".encode()).decode()
                  else route.get("status", 200) if route else 404)
        with open(root / "requests.jsonl", "a") as log:
            log.write(json.dumps({"path": self.path, "status": status, "auth": auth}) + "\n")
        self.send_response(status)
        body = (root / route["file"]).read_bytes() if status == 200 else b""
        if status == 407:
            self.send_header("Proxy-Authenticate", 'Basic realm="downloads"')
        if status == 200 and route.get("disposition") is not None:
            self.send_header("Content-Disposition", f'attachment; filename="{route["disposition"]}"')
        if status != 200 or route.get("length", True):
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        body = body[:route.get("cut", len(body))] if status == 200 else body
        rate = status == 200 and route.get("rate")
        fast = len(body) - route.get("slow", len(body)) if rate else len(body)
        self.wfile.write(body[:fast])
        start, chunk = time.monotonic(), max(1, (rate or 0) // 10)
        for at in range(fast, len(body), chunk):
            self.wfile.write(body[at:at + chunk])
            time.sleep(max(0.0, start + (at + chunk - fast) / rate - time.monotonic()))

    def log_message(self, *args):
        pass


class Servers:
    def __init__(self, folder: Path):
        self.folder, self.routes = folder, {}
        (folder / "ftp").mkdir(parents=True)
        (folder / "ftp-cut").mkdir()
        (folder / "routes.json").write_text("{}")
        n = os.getpid() % 60000
        self.host = f"127.0.{n // 250 + 1}.{n % 250 + 2}"
        die_with_parent = lambda: ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
        with open(folder / "servers.log", "wb") as log:
            self.process = subprocess.Popen([sys.executable, __file__, str(folder), self.host], stdin=subprocess.DEVNULL,
                                            stdout=subprocess.PIPE, stderr=log, preexec_fn=die_with_parent)
        if self.process.stdout.readline() != b"ready\n":
            raise RuntimeError(f"no servers on {self.host}: {(folder / 'servers.log').read_text()}")

    def route(self, path: str, body: bytes, **answer) -> str:
        """Serves `body` at `path` and returns its URL. `answer` may hold
        status (200), disposition (a file name for Content-Disposition),
        length (False: no Content-Length), cut (bytes sent before the
        connection closes), rate (bytes per second for the last `slow` bytes,
        all by default)."""
        (self.folder / f"body{len(self.routes)}").write_bytes(body)
        self.routes[path] = {"file": f"body{len(self.routes)}", **answer}
        (self.folder / "routes.json").write_text(json.dumps(self.routes))
        return f"http://{self.host}{path}"

    def ftp(self, name: str, body: bytes, cut: int | None = None) -> str:
        """Serves `body` as the FTP file `name`; with `cut`, the server lists
        the whole file but the transfer ends after `cut` bytes."""
        (self.folder / "ftp" / name).write_bytes(body)
        if cut is not None:
            (self.folder / "ftp-cut" / name).write_bytes(body[:cut])
        return f"ftp://{self.host}/{name}"

    def requests(self) -> list[dict]:
        return [json.loads(line) for line in (self.folder / "requests.jsonl").read_text().splitlines()]

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


if __name__ == "__main__":
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer
    folder, host = Path(sys.argv[1]), sys.argv[2]
    http = ThreadingHTTPServer((host, 80), Handler)
    http.root = folder
    class CuttingHandler(FTPHandler):
        def ftp_RETR(self, file):
            cut = folder / "ftp-cut" / os.path.basename(file)
            return super().ftp_RETR(str(cut) if cut.exists() else file)

    CuttingHandler.authorizer = DummyAuthorizer()
    CuttingHandler.authorizer.add_anonymous(str(folder / "ftp"))
    ftp = FTPServer((host, 21), CuttingHandler)
    threading.Thread(target=ftp.serve_forever, daemon=True).start()
    print("ready", flush=True)
    http.serve_forever()
