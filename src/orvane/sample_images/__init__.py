"""The five sample images of :mod:`orvane.basic.instances`, bundled with the package.

The functions of ``orvane.basic.instances`` download their JPEG files from a base
location on the internet. Inside a ``with bundled():`` block they get the copies that
ship with this package instead, from a small HTTPS server on the loopback interface, so
they work offline and behind networks that cannot reach the base location::

    from orvane.basic import instances
    from orvane.sample_images import bundled

    with bundled():
        cat = instances.cat()  # the copy in this package, decoded as usual

The files themselves lie in the folder :data:`FOLDER` (``FOLDER / "cat.jpg"``).
"""

from __future__ import annotations

import functools
import ssl
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import ExitStack, contextmanager
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any

from ._certificate import loopback_certificate

__all__ = ["BASE_URL", "FILES", "FOLDER", "TIMEOUT", "bundled"]

#: The base location of ``orvane.basic.instances``; its files lie under ``misc/``.
BASE_URL = "https://raw.githubusercontent.com/orvane/orvane/main/"
#: The bundled files, in the order of ``instances.__all__`` (``accent()`` reads ascent.jpg).
FILES = ("cat.jpg", "ascent.jpg", "blackcurrant.jpg", "bricks.jpg", "segs.jpg")
#: The folder of the bundled files.
FOLDER = Path(__file__).resolve().parent


#: Seconds a download from the local server may wait (as for ``_url_img``'s default).
TIMEOUT = 60


@contextmanager
def bundled() -> Iterator[str]:
    """Make the five functions of ``orvane.basic.instances`` use the bundled images.

    While the block runs, the package's images are served over HTTPS on a free port of
    127.0.0.1, with a certificate made in this process and trusted by nothing else, and
    ``instances.connect`` is rebound so that the five URLs under the base location are
    fetched from there (an HTTP error status raises ``requests.HTTPError``). Any other
    URL goes to the ``connect`` bound before, with the one argument; when that is
    ``requests.get``, with the time-out and status check that ``_url_img`` gives its
    default download. When the block ends, however it ends, the server stops and
    ``instances.connect`` is again the object it was: outside the block the module is
    exactly as it was.

    The rebinding is seen by every thread, as any module attribute is. Blocks may nest
    and may overlap in several threads: they share one server, started by the first
    block and stopped by the last. Yields the server's root URL
    (``https://127.0.0.1:<port>/``).
    """
    global _current
    with _lock:
        if _current is None:
            _current = _Loan()
        loan = _current
        loan.blocks += 1
    try:
        yield loan.root
    finally:
        with _lock:
            loan.blocks -= 1
            if loan.blocks == 0:
                _current = None
                loan.close()


class _Loan:
    """The server and the rebinding of ``instances.connect``, while any block runs."""

    def __init__(self) -> None:
        import requests

        from orvane.basic import instances

        self.blocks = 0
        self._stack = ExitStack()
        try:
            folder = self._stack.enter_context(tempfile.TemporaryDirectory(prefix="orvane-"))
            certificate, key = Path(folder, "certificate.pem"), Path(folder, "key.pem")
            certificate_text, key_text = _certificate()
            key.touch(mode=0o600)
            key.write_text(key_text)
            certificate.write_text(certificate_text)
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(certificate, key)
            self.root = self._stack.enter_context(_serve(FOLDER, context, names=FILES))
        except BaseException:
            self._stack.close()
            raise
        local = {f"{BASE_URL}misc/{name}": f"{self.root}{name}" for name in FILES}
        previous = self._previous = instances.connect

        def connect(url: Any) -> Any:
            if url not in local:
                if previous is not requests.get:
                    return previous(url)
                response = previous(url, timeout=TIMEOUT)
            else:
                with requests.Session() as session:
                    session.trust_env = False  # no proxy and no other CA for loopback
                    response = session.get(local[url], verify=str(certificate), timeout=TIMEOUT)
            response.raise_for_status()
            return response

        instances.connect = connect  # type: ignore[assignment]  # used as connect(url) only

    def close(self) -> None:
        from orvane.basic import instances

        instances.connect = self._previous
        self._stack.close()


# The loan of the open blocks (None while none is open), changed under the lock.
_current: _Loan | None = None
_lock = threading.Lock()


# A certificate takes about half a second to make; one is reused for an hour (it is valid
# for a day), each server writing its own files. Called under the lock.
_made: list[tuple[float, tuple[str, str]]] = []


def _certificate() -> tuple[str, str]:
    if not _made or time.monotonic() - _made[0][0] > 3600:
        _made[:] = [(time.monotonic(), loopback_certificate())]
    return _made[0][1]


class _QuietHandler(SimpleHTTPRequestHandler):
    timeout = 30  # seconds a connection may stay silent
    names: tuple[str, ...] | None = None  # the files it serves (None: the whole folder)

    def send_head(self) -> Any:
        if self.names is not None and self.path.lstrip("/") not in self.names:
            self.send_error(404)
            return None
        return super().send_head()

    def log_message(self, format: str, *args: Any) -> None:
        pass


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request: Any, client_address: Any) -> None:
        # A client that refuses the certificate ends the handshake: nothing to report.
        if not isinstance(sys.exc_info()[1], ssl.SSLError):
            super().handle_error(request, client_address)


@contextmanager
def _serve(
    folder: Path, ssl_context: ssl.SSLContext | None = None, names: tuple[str, ...] | None = None
) -> Iterator[str]:
    """Serve the files of `folder` (only those `names`, when given) on a free loopback
    port while the block runs.

    Yields the root URL ("http://127.0.0.1:<port>/", or https with `ssl_context`)."""
    handler_type = type("_Handler", (_QuietHandler,), {"names": names})
    handler: Callable[..., Any] = functools.partial(handler_type, directory=str(folder))
    server = _Server(("127.0.0.1", 0), handler)
    scheme = "http"
    if ssl_context is not None:
        # The handshake runs on the first read, in the request's own thread, so a
        # client that stalls cannot hold up the accepting loop.
        server.socket = ssl_context.wrap_socket(
            server.socket, server_side=True, do_handshake_on_connect=False
        )
        scheme = "https"
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"{scheme}://127.0.0.1:{server.server_address[1]}/"
    finally:
        server.shutdown()
        server.server_close()
        thread.join()
