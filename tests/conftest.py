import os
import ssl
import sys
from pathlib import Path

import pytest
import trustme
from hypothesis import HealthCheck, settings

from orvane.sample_images import _serve

# The examples, and the checks of the image-making script.
REPOSITORY = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(REPOSITORY / "examples"), str(REPOSITORY / "scripts")]
import local_images  # noqa: E402

# Property tests: "ci", the default and always under CI=true, is deterministic (the same
# examples on every run, no example database) and bounded; HYPOTHESIS_PROFILE=dev explores
# more, with fresh random examples, for a deeper local search.
settings.register_profile(
    "ci",
    max_examples=40,
    derandomize=True,
    database=None,
    deadline=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile("dev", max_examples=400, deadline=None)
_on_ci = os.environ.get("CI", "").lower() in ("1", "true", "yes")
settings.load_profile("ci" if _on_ci else os.environ.get("HYPOTHESIS_PROFILE") or "ci")


@pytest.fixture(scope="session")
def https_misc(tmp_path_factory):
    """misc/ served over HTTPS on a free loopback port, with a certificate for 127.0.0.1
    issued by a throw-away CA. Yields (root URL, path of the CA certificate)."""
    ca = trustme.CA()
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ca.issue_cert("127.0.0.1").configure_cert(context)
    ca_path = tmp_path_factory.mktemp("ca") / "ca.pem"
    ca.cert_pem.write_to_path(str(ca_path))
    with _serve(local_images.MISC, ssl_context=context) as root:
        yield root, str(ca_path)
