"""Fetching collateral over HTTPS: addresses checked, every request and every run under a deadline, bodies capped.

Vendors' collateral services (AMD's key service; Intel's certification
service) limit how often a caller may ask (HTTP 429) and are sometimes
unavailable (503): the fetcher waits as the server's `Retry-After` says, or
backs off exponentially, within a bounded total time. Their answers cross a
network, so nothing about them may hold the caller: a request has one
deadline from connecting to its body's last byte (a server that sends a byte
now and then is cut off at it), a run of requests may have one more, and a
body larger than its cap is refused before it is read in full.
"""

from __future__ import annotations

import base64
import datetime
import email.utils
import http.client
import ipaddress
import re
import socket
import ssl
import threading
import time
import urllib.parse
import urllib.request
from collections.abc import Callable
from dataclasses import dataclass
from typing import NoReturn

from ..errors import ErrorKind, VerificationError
from . import limits

USER_AGENT = "quorvel-verify"
_REDIRECTS = frozenset({301, 302, 303, 307, 308})
_RETRIED = frozenset({429, 503})


class FetchError(VerificationError):
    """A request failed. The message names the address and the status or the fault."""

    default_kind = ErrorKind.NETWORK

    def __init__(self, message: str, status: int | None = None) -> None:
        super().__init__(message)
        self.status = status  # the HTTP status, if the server answered with one


def redacted(url: str) -> str:
    """`url` with any user name and password replaced by `***`, for messages: they are never echoed."""
    return re.sub(r"^([^:/?#]*:?//)[^/?#]*@", r"\1***@", url)


def check_url(url: str, what: str = "address", *, base: bool = True) -> urllib.parse.SplitResult:
    """The parts of `url` if a fetcher may use it; a `VerificationError` saying what is wrong otherwise.

    HTTPS, or plain HTTP to a loopback host (a test server); no user name or
    password (the services need none, and a message would show them); for a
    `base` address, to which the fetcher appends its own paths and queries,
    no query and no fragment.
    """
    shown = redacted(url) if isinstance(url, str) else repr(url)
    if not isinstance(url, str) or not url.isascii() or not url.isprintable():
        raise VerificationError(f"{what} {shown!r}: not a URL of printable ASCII characters")
    try:
        parts = urllib.parse.urlsplit(url)
        host, port = parts.hostname or "", parts.port
    except ValueError as error:
        raise VerificationError(f"{what} {shown!r}: not a URL (its host or port cannot be read)",
                                detail=str(error)) from None
    if "@" in parts.netloc:
        raise VerificationError(f"{what} {shown!r}: a user name or password in the address is not supported")
    if base and (parts.query or parts.fragment or url.endswith(("?", "#"))):
        raise VerificationError(f"{what} {shown!r}: a base address takes no query or fragment")
    if port == 0:
        raise VerificationError(f"{what} {shown!r}: port 0 is no port")
    if (parts.scheme == "https" and host) or (parts.scheme == "http" and _is_loopback(host)):
        return parts
    raise VerificationError(f"{what} must be https:// (or http:// to a loopback host), not {shown!r}")


def _is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


@dataclass
class _Answer:
    status: int
    reason: str
    headers: http.client.HTTPMessage
    body: bytes


class Fetcher:
    """GETs with retries and deadlines.

    `timeout` bounds each request, from connecting to the last byte of its
    body; `max_wait` the total time spent waiting to retry one address after
    a 429 or a 503; `run_seconds` (if given) everything the fetcher does from
    its creation: requests and waits. `progress` receives one line per wait
    ("waiting 2 s to retry ...") and one per request still unanswered after
    `slow_after` seconds ("still waiting for ..."; None: never), from the
    thread that times the request. `error` is the class of the exceptions it
    raises. `sleep` and `clock` are replaceable for tests.
    """

    def __init__(
        self,
        *,
        timeout: float = limits.REQUEST_SECONDS,
        max_wait: float = limits.RETRY_SECONDS,
        run_seconds: float | None = None,
        first_backoff: float = 1.0,
        progress: Callable[[str], None] | None = None,
        slow_after: float | None = limits.SLOW_SECONDS,
        error: type[FetchError] = FetchError,
        sleep: Callable[[float], None] = time.sleep,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        self.timeout = timeout
        self.max_wait = max_wait
        self.run_seconds = run_seconds
        self.first_backoff = first_backoff
        self.progress = progress
        self.slow_after = slow_after
        self.error = error
        self._sleep = sleep
        self._clock = clock
        self._run_deadline = clock() + run_seconds if run_seconds is not None else None

    def get(self, url: str, limit: int, what: str = "answer") -> bytes:
        """The body of a successful GET of `url` (at most `limit` bytes), after waiting out 429s and 503s."""
        return self.get_with_headers(url, limit, what)[0]

    def get_with_headers(self, url: str, limit: int, what: str = "answer") -> tuple[bytes, http.client.HTTPMessage]:
        """`get`, with the answer's headers: some services send part of what was asked for in them (Intel's
        certification service, the issuer chain of what it signed). The HTTP client bounds their size."""
        check_url(url, base=False)
        deadline = self._clock() + self.max_wait
        backoff = self.first_backoff
        attempt = 0
        while True:
            attempt += 1
            answer = self._follow(url, limit, what)
            if answer.status == 200:
                return answer.body, answer.headers
            status, reason = answer.status, answer.reason
            if status not in _RETRIED:
                raise self.error(f"{url}: HTTP {status} {reason}", status)
            wait = _retry_after(answer.headers.get("Retry-After"))
            if not wait:  # none, or "now" (0, a date past): retried at once, a request would be refused again
                wait, backoff = backoff, backoff * 2
            if self._clock() + wait > deadline:
                raise self.error(
                    f"{url}: HTTP {status} {reason}, still after {attempt} attempts"
                    f" (retrying in {wait:g} s would exceed {self.max_wait:g} s)",
                    status,
                )
            if self._run_deadline is not None and self._clock() + wait > self._run_deadline:
                raise self.error(
                    f"{url}: HTTP {status} {reason}; retrying in {wait:g} s would exceed the run's "
                    f"{self.run_seconds:g} s",
                    status,
                )
            if self.progress is not None:
                self.progress(f"waiting {wait:g} s to retry {url} (HTTP {status}, attempt {attempt})")
            self._sleep(wait)

    def _follow(self, url: str, limit: int, what: str) -> _Answer:
        """The answer at `url`, after following redirects to addresses the fetcher could have been given."""
        for _ in range(limits.REDIRECTS + 1):
            answer = self._once(url, limit, what)
            location = answer.headers.get("Location")
            if answer.status not in _REDIRECTS or location is None:
                return answer
            target = urllib.parse.urljoin(url, location)
            try:
                check_url(target, base=False)
            except VerificationError:
                raise self.error(
                    f"{url}: HTTP {answer.status} redirects to {redacted(target)}, which is not https://"
                ) from None
            url = target
        raise self.error(f"{url}: more than {limits.REDIRECTS} redirects")

    def _seconds(self, url: str) -> float:
        """How long the next request may take: the request's deadline, or what is left of the run's."""
        seconds = self.timeout
        if self._run_deadline is not None:
            left = self._run_deadline - self._clock()
            if left <= 0:
                raise self.error(f"{url}: not fetched: the run's {self.run_seconds:g} s for fetching are spent")
            seconds = min(seconds, left)
        return seconds

    def _once(self, url: str, limit: int, what: str) -> _Answer:
        seconds = self._seconds(url)
        parts = urllib.parse.urlsplit(url)
        connection = _connection(parts, seconds)
        # One deadline for the whole request: socket timeouts bound each read, so a server that drips a
        # byte at a time would otherwise hold the request for as long as it likes. At the deadline the
        # socket is shut down, which ends any read or handshake under way.
        expired = threading.Event()
        # The connection forgets its socket once the answer's headers say it closes; the answer reads on.
        held: list[socket.socket] = []

        def cut() -> None:
            expired.set()
            for sock in (connection.sock, *held):
                if sock is not None:
                    try:
                        socket.socket.shutdown(sock, socket.SHUT_RDWR)
                    except OSError:
                        pass

        timer = threading.Timer(seconds, cut)
        timer.daemon = True
        timer.start()
        slow = self._slow_timer(url, seconds)
        try:
            path = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")
            connection.connect()
            held.append(connection.sock)
            connection.request("GET", path, headers={"User-Agent": USER_AGENT, "Connection": "close"})
            response = connection.getresponse()
            headers = response.headers
            if response.status != 200:
                response.close()
                body = b""
            else:
                body = self._body(response, url, limit, what)
            if expired.is_set():
                raise TimeoutError
            return _Answer(response.status, response.reason, headers, body)
        except (FetchError, OSError, http.client.HTTPException, ValueError) as error:
            # Whatever the cut made of the answer (an error, a short body), the deadline is what ended it.
            if expired.is_set():
                raise self.error(self._no_response(url, seconds)) from None
            if isinstance(error, FetchError):
                raise
            self._network_failure(url, error, seconds)
        finally:
            timer.cancel()
            if slow is not None:
                slow.cancel()
            connection.close()

    def _slow_timer(self, url: str, seconds: float) -> threading.Timer | None:
        """A timer that says, once, that the request to `url` is slow, if it lasts `slow_after` seconds of the
        `seconds` it may take."""
        progress, after = self.progress, self.slow_after
        if progress is None or after is None or after >= seconds:
            return None
        line = f"still waiting for {url} after {after:g} s (giving up after {seconds:g} s)"
        timer = threading.Timer(after, progress, (line,))
        timer.daemon = True
        timer.start()
        return timer

    def _body(self, response: http.client.HTTPResponse, url: str, limit: int, what: str) -> bytes:
        header = response.headers.get("Content-Length")
        length = int(header) if header is not None and header.isascii() and header.isdigit() else None
        if length is not None and length > limit:
            raise self.error(f"{url}: the response of {length} bytes is larger than any {what}")
        body = response.read(limit + 1)
        if len(body) > limit:
            raise self.error(f"{url}: the response is larger than any {what}")
        # A connection closed early ends a read short without an error.
        if length is not None and len(body) != length:
            raise self.error(f"{url}: the response ended after {len(body)} of its {length} bytes")
        return body

    def _no_response(self, url: str, seconds: float) -> str:
        if seconds < self.timeout:  # what was left of the run's deadline, not the request's own
            return f"{url}: no response before the run's {self.run_seconds:g} s for fetching were spent"
        return f"{url}: no response within {seconds:g} s"

    def _network_failure(self, url: str, error: BaseException, seconds: float) -> NoReturn:
        if isinstance(error, TimeoutError):
            raise self.error(self._no_response(url, seconds)) from None
        if isinstance(error, http.client.IncompleteRead):
            raise self.error(f"{url}: the response ended after {len(error.partial)} bytes") from None
        failure = self.error(f"{url}: {_network_fault(error)}")
        failure.detail = str(error)  # the socket's or TLS library's own words
        raise failure from None


def _network_fault(error: BaseException) -> str:
    """What went wrong with a request, in plain words."""
    if isinstance(error, socket.gaierror):
        return "the host name cannot be resolved"
    if isinstance(error, ConnectionRefusedError):
        return "the connection was refused"
    if isinstance(error, ConnectionResetError):
        return "the connection was reset"
    if isinstance(error, ssl.SSLCertVerificationError):
        return "the server's TLS certificate is not trusted"
    if isinstance(error, ssl.SSLError):
        return "the TLS connection failed"
    if isinstance(error, http.client.HTTPException):
        return "the answer is not HTTP"
    if isinstance(error, OSError) and error.strerror:
        return f"the connection failed: {error.strerror.lower()}"
    return "the request failed"


def _connection(parts: urllib.parse.SplitResult, seconds: float) -> http.client.HTTPConnection:
    """A connection to the host of `parts`, through the proxy that the environment names for it, if any."""
    host, port = parts.hostname or "", parts.port
    if parts.scheme == "http":  # loopback only: never through a proxy
        return http.client.HTTPConnection(host, port, timeout=seconds)
    context = ssl.create_default_context()
    proxy = urllib.request.getproxies().get("https")
    if proxy and not urllib.request.proxy_bypass(host):
        proxy_parts = urllib.parse.urlsplit(proxy if "//" in proxy else f"http://{proxy}")
        headers: dict[str, str] = {}
        if proxy_parts.username is not None:
            user, password = (urllib.parse.unquote(part or "") for part in (proxy_parts.username, proxy_parts.password))
            credentials = f"{user}:{password}"
            headers["Proxy-Authorization"] = "Basic " + base64.b64encode(credentials.encode()).decode()
        connection = http.client.HTTPSConnection(
            proxy_parts.hostname or "", proxy_parts.port or 8080, timeout=seconds, context=context
        )
        connection.set_tunnel(host, port, headers=headers)
        return connection
    return http.client.HTTPSConnection(host, port, timeout=seconds, context=context)


def _retry_after(value: str | None) -> float | None:
    """Seconds to wait as a `Retry-After` header says (a number of seconds or an HTTP date), or None."""
    if value is None:
        return None
    value = value.strip()
    if value.isascii() and value.isdigit():  # str.isdigit also takes "²" and other digits float() refuses
        return float(value)
    try:
        when = email.utils.parsedate_to_datetime(value)
    except (TypeError, ValueError):
        return None
    if when.tzinfo is None:
        return None
    return max(0.0, (when - datetime.datetime.now(datetime.UTC)).total_seconds())


__all__ = ["USER_AGENT", "FetchError", "Fetcher", "check_url", "redacted"]
