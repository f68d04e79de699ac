"""A throw-away certificate for a loopback HTTPS server, made with the standard library.

The server and its one client run in the same process: the client trusts exactly this
certificate, which names only the address 127.0.0.1 and expires after a day. The RSA key
is made in that process, so no key ships with the package; it is written only to a
private temporary folder while a server runs.
"""

import base64
import datetime
import hashlib
import secrets

_E = 65537
_BITS = 2048
_SMALL_PRIMES = [p for p in range(3, 2000, 2) if all(p % d for d in range(3, int(p**0.5) + 1, 2))]


# ------------------------------------------------------------------ RSA


def _is_probable_prime(n: int, rounds: int = 40) -> bool:
    """Miller-Rabin with random bases: a composite passes with chance below 4**-rounds."""
    for p in _SMALL_PRIMES:
        if n % p == 0:
            return n == p
    d, s = n - 1, 0
    while d % 2 == 0:
        d, s = d // 2, s + 1
    for _ in range(rounds):
        x = pow(secrets.randbelow(n - 3) + 2, d, n)
        if x in (1, n - 1):
            continue
        for _ in range(s - 1):
            x = pow(x, 2, n)
            if x == n - 1:
                break
        else:
            return False
    return True


def _prime(bits: int) -> int:
    while True:
        # The two top bits set make the product of two such primes exactly 2 * bits long.
        candidate = secrets.randbits(bits) | (3 << (bits - 2)) | 1
        if (candidate - 1) % _E and _is_probable_prime(candidate):
            return candidate


def _rsa_key() -> tuple[int, int, int, int]:
    while True:
        p, q = _prime(_BITS // 2), _prime(_BITS // 2)
        if p != q:
            break
    d = pow(_E, -1, (p - 1) * (q - 1))
    return p * q, d, p, q


# ------------------------------------------------------------------ DER encoding


def _tlv(tag: int, body: bytes) -> bytes:
    size = len(body)
    if size < 0x80:
        return bytes([tag, size]) + body
    length = size.to_bytes((size.bit_length() + 7) // 8, "big")
    return bytes([tag, 0x80 | len(length)]) + length + body


def _integer(value: int) -> bytes:
    return _tlv(0x02, value.to_bytes(value.bit_length() // 8 + 1, "big"))


def _sequence(*items: bytes) -> bytes:
    return _tlv(0x30, b"".join(items))


def _oid(dotted: str) -> bytes:
    first, second, *rest = (int(part) for part in dotted.split("."))
    body = bytearray([40 * first + second])
    for arc in rest:
        chunk = [arc & 0x7F]
        while arc := arc >> 7:
            chunk.append(0x80 | (arc & 0x7F))
        body += bytes(reversed(chunk))
    return _tlv(0x06, bytes(body))


def _bits(data: bytes) -> bytes:
    return _tlv(0x03, b"\x00" + data)


def _octets(data: bytes) -> bytes:
    return _tlv(0x04, data)


def _time(moment: datetime.datetime) -> bytes:
    return _tlv(0x17, moment.strftime("%y%m%d%H%M%SZ").encode())


def _extension(oid: str, value: bytes, critical: bool = False) -> bytes:
    flag = _tlv(0x01, b"\xff") if critical else b""
    return _sequence(_oid(oid), flag, _octets(value))


def _pem(label: str, der: bytes) -> str:
    text = base64.encodebytes(der).decode().replace("\n", "")
    lines = [text[i : i + 64] for i in range(0, len(text), 64)]
    return "\n".join([f"-----BEGIN {label}-----", *lines, f"-----END {label}-----", ""])


_SHA256_WITH_RSA = _sequence(_oid("1.2.840.113549.1.1.11"), _tlv(0x05, b""))
_SHA256_DIGEST_INFO = bytes.fromhex("3031300d060960864801650304020105000420")


def _sign(message: bytes, n: int, d: int) -> bytes:
    """RSASSA-PKCS1-v1_5 with SHA-256."""
    size = (n.bit_length() + 7) // 8
    digest = _SHA256_DIGEST_INFO + hashlib.sha256(message).digest()
    padded = b"\x00\x01" + b"\xff" * (size - len(digest) - 3) + b"\x00" + digest
    return pow(int.from_bytes(padded, "big"), d, n).to_bytes(size, "big")


def loopback_certificate() -> tuple[str, str]:
    """(certificate, private key), both PEM text, for a server at 127.0.0.1."""
    n, d, p, q = _rsa_key()
    public_key = _sequence(_integer(n), _integer(_E))
    key_id = hashlib.sha1(public_key).digest()
    name = _sequence(_tlv(0x31, _sequence(_oid("2.5.4.3"), _tlv(0x0C, b"127.0.0.1"))))
    now = datetime.datetime.now(datetime.UTC).replace(microsecond=0)
    hour = datetime.timedelta(hours=1)
    extensions = [
        _extension("2.5.29.19", _sequence(), critical=True),  # basic constraints: no CA
        _extension("2.5.29.15", _bits(b"\xa0"), critical=True),  # signature, key encipherment
        _extension("2.5.29.37", _sequence(_oid("1.3.6.1.5.5.7.3.1"))),  # TLS server
        _extension("2.5.29.17", _sequence(_tlv(0x87, bytes([127, 0, 0, 1])))),  # IP 127.0.0.1
        _extension("2.5.29.14", _octets(key_id)),  # subject key identifier
        _extension("2.5.29.35", _sequence(_tlv(0x80, key_id))),  # authority key identifier
    ]
    to_be_signed = _sequence(
        _tlv(0xA0, _integer(2)),  # version 3
        _integer(secrets.randbits(63) | 1),
        _SHA256_WITH_RSA,
        name,
        _sequence(_time(now - hour), _time(now + 24 * hour)),
        name,
        _sequence(_sequence(_oid("1.2.840.113549.1.1.1"), _tlv(0x05, b"")), _bits(public_key)),
        _tlv(0xA3, _sequence(*extensions)),
    )
    certificate = _sequence(to_be_signed, _SHA256_WITH_RSA, _bits(_sign(to_be_signed, n, d)))
    private_key = _sequence(
        *map(_integer, (0, n, _E, d, p, q, d % (p - 1), d % (q - 1), pow(q, -1, p)))
    )
    return _pem("CERTIFICATE", certificate), _pem("RSA PRIVATE KEY", private_key)
