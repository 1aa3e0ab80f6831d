"""Framing between the seam and its QPU servers.

One request and one reply per TCP connection. A frame is a 4-byte big-endian
length followed by that many bytes of UTF-8 JSON. Requests carry the family
token; QPY circuits travel base64-encoded inside the JSON. Both sides cap the
length they accept before reading the body, so a bogus length prefix cannot
make either side allocate or wait for gigabytes.
"""

import json
import socket
import struct

_HEADER = struct.Struct(">I")
MAX_REQUEST_BYTES = 64 << 20
MAX_REPLY_BYTES = 512 << 20


class FrameError(Exception):
    """A frame could not be read: closed early, too large or not JSON."""


class FrameTooLarge(FrameError):
    pass


class FrameTruncated(FrameError):
    pass


class FrameMalformed(FrameError):
    pass


class ConnectionLost(FrameError):
    """The connection broke after the request went out, before the whole reply came back."""


def _recv_exact(sock, size):
    chunks = []
    remaining = size
    while remaining:
        chunk = sock.recv(min(remaining, 1 << 20))
        if not chunk:
            raise FrameTruncated(
                f"connection closed after {size - remaining} of {size} bytes"
            )
        chunks.append(chunk)
        remaining -= len(chunk)
    return b"".join(chunks)


def recv_frame(sock, limit):
    """The decoded JSON object of the next frame."""
    header = _recv_exact(sock, _HEADER.size)
    (size,) = _HEADER.unpack(header)
    if size > limit:
        raise FrameTooLarge(f"frame of {size} bytes exceeds the limit of {limit} bytes")
    body = _recv_exact(sock, size)
    try:
        value = json.loads(body.decode("utf-8"))
    except (UnicodeDecodeError, ValueError, RecursionError) as exc:
        raise FrameMalformed(f"frame is not UTF-8 JSON: {exc}") from None
    if not isinstance(value, dict):
        raise FrameMalformed(f"frame is a JSON {type(value).__name__}, not an object")
    return value


def encode_frame(value):
    body = json.dumps(value, separators=(",", ":")).encode("utf-8")
    return _HEADER.pack(len(body)) + body


def send_frame(sock, value, limit):
    data = encode_frame(value)
    if len(data) - _HEADER.size > limit:
        raise FrameTooLarge(
            f"message of {len(data) - _HEADER.size} bytes exceeds the limit of {limit} bytes"
        )
    sock.sendall(data)


def _keepalive(sock):
    # A run may legitimately take hours, so the reply has no timeout; keepalive
    # probes are what notice a node that vanished without closing the socket.
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_KEEPALIVE, 1)
    for option, value in (("TCP_KEEPIDLE", 30), ("TCP_KEEPINTVL", 10), ("TCP_KEEPCNT", 3)):
        if hasattr(socket, option):
            sock.setsockopt(socket.IPPROTO_TCP, getattr(socket, option), value)


class RemoteError(Exception):
    """The server answered with an error reply."""


def request(address, message, *, connect_timeout=10.0, reply_timeout=None):
    """Send one request and return the server's reply object; RemoteError on an error reply.

    A server that cannot be reached raises OSError; one that goes away after
    the request was sent raises ConnectionLost; a malformed reply, FrameError.
    """
    with socket.create_connection(address, timeout=connect_timeout) as sock:
        _keepalive(sock)
        try:
            sock.settimeout(connect_timeout)
            send_frame(sock, message, MAX_REQUEST_BYTES)
            sock.settimeout(reply_timeout)
            reply = recv_frame(sock, MAX_REPLY_BYTES)
        except FrameTruncated as exc:
            raise ConnectionLost(str(exc)) from None
        except OSError as exc:
            raise ConnectionLost(f"{type(exc).__name__}: {exc}") from None
    if reply.get("ok") is not True:
        error = reply.get("error")
        raise RemoteError(error if isinstance(error, str) else f"malformed error reply {reply!r}")
    return reply
