"""The bundled sample images on a loopback server, for when the published base location
of orvane.basic.instances cannot be reached (offline work, the tour, the tests).

    with sample_images(instances) as source:
        instances.cat()  # the published file, or misc/cat.jpg served from this checkout
"""

import functools
import ssl
import sys
import threading
from contextlib import contextmanager
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import requests

# The module's base location; the image files lie under its folder "misc/".
BASE_URL = "https://raw.githubusercontent.com/orvane/orvane/main/"
MISC = Path(__file__).resolve().parent.parent / "misc"


class _QuietHandler(SimpleHTTPRequestHandler):
    timeout = 30  # seconds a connection may stay silent

    def log_message(self, format, *args):
        pass


class _Server(ThreadingHTTPServer):
    def handle_error(self, request, client_address):
        # A client that refuses the certificate ends the handshake: nothing to report.
        if not isinstance(sys.exc_info()[1], ssl.SSLError):
            super().handle_error(request, client_address)


@contextmanager
def serve_folder(folder, ssl_context=None):
    """Serves the files of `folder` on a free loopback port while the block runs.

    Yields the root URL ("http://127.0.0.1:<port>/", or https with `ssl_context`)."""
    handler = functools.partial(_QuietHandler, directory=str(folder))
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


def redirecting_connect(local_root, prefix=BASE_URL + "misc/", **request_options):
    """A stand-in for `requests.get` that fetches every URL under `prefix` from
    `local_root` instead, with `request_options` (timeout, verify). Other URLs are
    refused, so nothing leaves the machine."""

    def connect(url):
        if not url.startswith(prefix):
            raise ValueError(f"{url!r} is not under {prefix!r}")
        return requests.get(local_root + url[len(prefix) :], **request_options)

    return connect


def reachable(url, timeout):
    """True when `url` answers 200 within `timeout` seconds."""
    try:
        return requests.head(url, timeout=timeout, allow_redirects=True).status_code == 200
    except requests.RequestException:
        return False


@contextmanager
def sample_images(module, timeout=3.0):
    """Lets the functions of `module` (orvane.basic.instances) run while the block runs.

    When the published images answer within `timeout` seconds nothing changes and the
    block gets BASE_URL; otherwise misc/ of this checkout is served on loopback,
    `module.connect` is rebound to fetch from there, and the block gets the local root.
    """
    if reachable(BASE_URL + "misc/cat.jpg", timeout):
        yield BASE_URL
        return
    with serve_folder(MISC) as root:
        saved = module.connect
        module.connect = redirecting_connect(root, timeout=30)
        try:
            yield root
        finally:
            module.connect = saved
