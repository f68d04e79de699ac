import ssl
import sys
from pathlib import Path

import pytest
import trustme

# The local image server of the tour, and the checks of the image-making script.
REPOSITORY = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(REPOSITORY / "examples"), str(REPOSITORY / "scripts")]
import local_images  # noqa: E402


@pytest.fixture(scope="session")
def https_misc(tmp_path_factory):
    """misc/ served over HTTPS on a free loopback port, with a certificate for 127.0.0.1
    issued by a throw-away CA. Yields (root URL, path of the CA certificate)."""
    ca = trustme.CA()
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ca.issue_cert("127.0.0.1").configure_cert(context)
    ca_path = tmp_path_factory.mktemp("ca") / "ca.pem"
    ca.cert_pem.write_to_path(str(ca_path))
    with local_images.serve_folder(local_images.MISC, ssl_context=context) as root:
        yield root, str(ca_path)
