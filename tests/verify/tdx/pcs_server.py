"""Intel's PCS on loopback for the tests: a collateral's parts at the PCS's v4 paths, issuer chains in the headers.

It answers from a table of paths, records every request, and misbehaves on
demand: each entry of `script` ("429:1", "503", "garbage") is how the next
request is answered, after which it serves normally again.
"""

from __future__ import annotations

import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from quorvel_verify.tdx import pcs
from quorvel_verify.tdx.collateral import Collateral
from quorvel_verify.tdx.pck import PckIssuer

Route = tuple[bytes, dict[str, str]]


def routes_of(collateral: Collateral, fmspc: bytes, issuer: PckIssuer = PckIssuer.PLATFORM) -> dict[str, Route]:
    """The PCS paths that serve `collateral` as Intel's PCS answers them (signed JSON bodies rebuilt around the exact text)."""

    def path(url: str) -> str:
        parts = urllib.parse.urlsplit(url)
        return parts.path + (f"?{parts.query}" if parts.query else "")

    def signed(key: str, text: str | None, signature: bytes | None) -> bytes:
        return f'{{"{key}":{text},"signature":"{(signature or b"").hex()}"}}'.encode()

    def chain(name: str, pem: str | None) -> dict[str, str]:
        return {name: urllib.parse.quote(pem or "")}

    c = collateral
    return {
        path(pcs.tcb_info_url(fmspc, "")): (signed("tcbInfo", c.tcb_info, c.tcb_info_signature),
                                            chain(pcs.TCB_INFO_CHAIN_HEADER, c.tcb_info_issuer_chain)),
        path(pcs.qe_identity_url("")): (signed("enclaveIdentity", c.qe_identity, c.qe_identity_signature),
                                        chain(pcs.QE_IDENTITY_CHAIN_HEADER, c.qe_identity_issuer_chain)),
        path(pcs.pck_crl_url(issuer, "")): (c.pck_crl or b"", chain(pcs.PCK_CRL_CHAIN_HEADER, c.pck_crl_issuer_chain)),
        # A caching service answers the root CA CRL as hex text.
        path(pcs.root_ca_crl_url("http://mirror")).removeprefix("http://mirror"): ((c.root_ca_crl or b"").hex().encode(), {}),
    }  # fmt: skip


class PcsServer:
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


def _handler(server: PcsServer) -> type[BaseHTTPRequestHandler]:
    class Handler(BaseHTTPRequestHandler):
        def do_GET(self) -> None:  # noqa: N802 (the standard library's name)
            server.requests.append(self.path)
            action = server.script.pop(0) if server.script else "serve"
            status, _, retry_after = action.partition(":")
            route = server.routes.get(self.path)
            if status in ("429", "500", "503"):
                self.send_response(int(status))
                if retry_after:
                    self.send_header("Retry-After", retry_after)
                self.send_header("Content-Length", "0")
                self.end_headers()
            elif route is None:
                self.send_error(404)
            else:
                body, headers = route
                body = b"<html>busy</html>" if action == "garbage" else body
                self.send_response(200)
                for name, value in headers.items():
                    self.send_header(name, value)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

        def log_message(self, format: str, *args: object) -> None:  # noqa: A002
            pass

    return Handler
