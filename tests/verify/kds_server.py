"""A Key Distribution Service on loopback for the tests: genuine certificates and CRLs at the KDS's paths.

It answers from a table of paths and bodies (or bodies with the headers that
go with them, as Intel's certification service sends issuer chains), records
every request, and misbehaves on demand: each entry of `script` is how the
next request is answered, after which it serves normally again.
"""

from __future__ import annotations

import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from amd_test_pki import DATA, genuine_pair, pinned_pem
from cryptography.hazmat.primitives import serialization

from quorvel_verify import Report
from quorvel_verify.sevsnp import urls
from quorvel_verify.sevsnp.evidence import load_certificates

STALL_SECONDS = 3.0
# Well within the client's timeout between two bytes: only a deadline on the whole request ends it.
DRIP_SECONDS = 0.1


def genuine_report(name: str) -> Report:
    return Report.from_bytes(genuine_pair(f"reports/{name}")[0])


def vcek_address(name: str, base_url: str) -> str:
    """Where the KDS serves the VCEK of a genuine report (its product line from its name, for version 2)."""
    report = genuine_report(name)
    return urls.vcek_url(name.split("-")[0].capitalize(), report.chip_id, report.reported_tcb.spls(), base_url)


def genuine_routes(reports: list[str], crls: dict[str, str]) -> dict[str, bytes]:
    """KDS paths of the reports' VCEKs, the VCEK chains of their product lines, and the given CRL files."""
    routes: dict[str, bytes] = {}
    for name in reports:
        vcek = load_certificates(genuine_pair(f"reports/{name}")[1])[0]
        routes[vcek_address(name, "")] = vcek.public_bytes(serialization.Encoding.DER)
        product = name.split("-")[0].capitalize()
        routes[urls.cert_chain_url(product, "VCEK", "")] = pinned_pem(product)
    for product, crl in crls.items():
        routes[urls.crl_url(product, "VCEK", "")] = (DATA / "collateral" / crl).read_bytes()
    return routes


Route = bytes | tuple[bytes, dict[str, str]]


class KdsServer:
    def __init__(self, routes: dict[str, Route]) -> None:
        self.routes = routes
        self.script: list[str] = []
        self.requests: list[str] = []
        self._httpd = ThreadingHTTPServer(("127.0.0.1", 0), _handler(self))
        self._httpd.daemon_threads = True
        self._thread = threading.Thread(target=self._httpd.serve_forever, daemon=True)
        self._thread.start()

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self._httpd.server_address[1]}"

    def close(self) -> None:
        self._httpd.shutdown()
        self._httpd.server_close()


def _handler(server: KdsServer) -> type[BaseHTTPRequestHandler]:
    class Handler(BaseHTTPRequestHandler):
        def do_GET(self) -> None:  # noqa: N802 (the standard library's name)
            server.requests.append(self.path)
            action = server.script.pop(0) if server.script else "serve"
            route = server.routes.get(self.path)
            body, headers = route if isinstance(route, tuple) else (route, {})
            status, _, retry_after = action.partition(":")
            if action == "stall":
                time.sleep(STALL_SECONDS)
            elif status in ("429", "500", "503"):
                self.send_response(int(status))
                if retry_after:
                    self.send_header("Retry-After", retry_after)
                self.send_header("Content-Length", "0")
                self.end_headers()
            elif status in ("301", "302", "307", "308"):  # to the address after the colon, or "self"
                self.send_response(int(status))
                self.send_header("Location", self.path if retry_after == "self" else retry_after)
                self.send_header("Content-Length", "0")
                self.end_headers()
            elif body is None:
                self.send_error(404)
            elif action == "other":  # another chip's genuine VCEK, a mirror's mistake
                other = next(v for k, v in server.routes.items() if "?" in k and k != self.path)
                self._send(*(other if isinstance(other, tuple) else (other, {})), truncated=False)
            elif action == "drip":
                self._drip(body)
            else:
                body = b"<html>busy</html>" if action == "garbage" else body
                self._send(body, headers, truncated=action == "truncate")

        def _send(self, body: bytes, headers: dict[str, str], truncated: bool) -> None:
            self.send_response(200)
            for name, value in headers.items():
                self.send_header(name, value)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body[: len(body) // 2] if truncated else body)

        def _drip(self, body: bytes) -> None:
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            try:
                for byte in body:
                    self.wfile.write(bytes([byte]))
                    self.wfile.flush()
                    time.sleep(DRIP_SECONDS)
            except OSError:  # the client gave up
                pass

        def log_message(self, format: str, *args: object) -> None:  # noqa: A002
            pass

    return Handler
