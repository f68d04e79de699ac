"""Test helpers for orvane.basic.instances: the checkout's misc/ (the published folder)
and a stand-in for `requests.get` that fetches the base location's files from a
loopback server."""

from pathlib import Path

import requests

from orvane.sample_images import BASE_URL

MISC = Path(__file__).resolve().parent.parent / "misc"
MISC_URL = BASE_URL + "misc/"


def redirecting_connect(local_root, prefix=MISC_URL, **request_options):
    """A stand-in for `requests.get` that fetches every URL under `prefix` from
    `local_root` instead, with `request_options` (timeout, verify). Other URLs are
    refused, so nothing leaves the machine."""

    def connect(url):
        if not url.startswith(prefix):
            raise ValueError(f"{url!r} is not under {prefix!r}")
        return requests.get(local_root + url[len(prefix) :], **request_options)

    return connect
