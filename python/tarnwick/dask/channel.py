"""A plain TCP connection from the client to one worker's WorkerShards, for
the round trips of the boosting rounds.

A tree of L leaves takes up to L round trips, each waiting for the slowest
worker, so their latency counts as much as the work. Dask's own path (the
client's event loop, then the worker's) wakes about five threads per round
trip; this one wakes two: the client's main thread blocks on its sockets,
and one thread in each worker blocks on its end. Dask still places, starts and
drops the actors, and tells the client whether a worker is alive.

The worker listens on the host of its Dask address, for one connection,
which must first present a token that the client got through Dask. A
message is a pickle whose arrays travel beside it, out of band: a header
gives the pickle's length and each array's, then come the pickle and the
arrays' bytes, which are sent from the arrays themselves and received into
the arrays that the pickle is then loaded on. Neither end copies them in
between. Only tcp:// clusters use it: others (TLS, in-process) and clients
made with direct_to_workers=False keep Dask's path.
"""

import os
import pickle
import secrets
import socket
import struct
import threading
import time

import numpy as np
from distributed.comm.addressing import get_address_host, parse_address

# How long a worker waits for the client to connect.
ACCEPT_SECONDS = 60.0
# How long a worker keeps looking for the client's next request before it
# blocks on the socket. The next request comes as soon as the client has
# added up the answers and searched the splits, a millisecond or two; a
# thread blocked that long lets its processor go idle, and waking it then
# took a few hundred microseconds on a virtual machine. Looking for 5 ms
# took a tree on 2 workers from 111 to 92 ms (median of 6 turns).
REQUEST_SPIN_SECONDS = 0.005
# The pickle's length and the number of arrays beside it; then each
# array's length.
_HEADER = struct.Struct("<QQ")


def usable(client, address):
    return client.direct_to_workers is not False and parse_address(address)[0] == "tcp"


def serve(run, address):
    """Starts a thread that serves run(requests) on one connection; returns
    (host, port, token) for the client."""
    host = get_address_host(address)
    listener = socket.create_server((host, 0))
    listener.settimeout(ACCEPT_SECONDS)
    token = secrets.token_bytes(16)
    thread = threading.Thread(
        target=_serve, args=(run, listener, token), daemon=True, name="tarnwick-shards"
    )
    thread.start()
    return host, listener.getsockname()[1], token


def _serve(run, listener, token):
    with listener:
        try:
            conn, _ = listener.accept()
        except OSError:
            return
    with conn:
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            # Raw bytes: nothing from the peer is unpickled before it is known.
            if not secrets.compare_digest(bytes(_receive(conn, len(token), None)), token):
                return
            while True:
                _await_bytes(conn)
                requests, _ = _read(conn)
                try:
                    reply = ("ok", run(requests))
                except Exception as exc:  # noqa: BLE001 - the client raises it
                    reply = ("error", exc)
                except BaseException as exc:  # noqa: BLE001 - the module's PanicException
                    reply = ("error", RuntimeError(f"{type(exc).__name__} on the worker: {exc}"))
                _write(conn, reply)
        except (EOFError, OSError):
            # The client closed the connection (the fit is over) or is gone.
            return


class Channel:
    """The client's end of one worker's connection."""

    def __init__(self, host, port, token):
        self.sock = socket.create_connection((host, port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.sendall(token)

    def send(self, message):
        """Sends message (encode's pieces); the bytes sent."""
        return _send(self.sock, message)

    def receive(self, timeout, still_there):
        """The worker's reply and its size in bytes; waits in slices of
        timeout seconds while still_there() holds. Raises the worker's
        exception, EOFError or OSError when the connection breaks."""
        self.sock.settimeout(timeout)
        (status, value), size = _read(self.sock, still_there)
        if status == "error":
            raise value
        return value, size

    def close(self):
        self.sock.close()


def _await_bytes(sock):
    """Returns when sock has bytes to read or is closed, or after
    REQUEST_SPIN_SECONDS of looking, yielding the processor (and the
    interpreter lock) between looks."""
    end = time.perf_counter() + REQUEST_SPIN_SECONDS
    while time.perf_counter() < end:
        try:
            sock.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT)
            return
        except BlockingIOError:
            os.sched_yield()


def encode(obj):
    """obj as the pieces of one message: the header and pickle, then the
    arrays' bytes. A message for several workers is encoded once."""
    arrays = []
    data = pickle.dumps(obj, protocol=5, buffer_callback=arrays.append)
    views = [a.raw() for a in arrays]
    lengths = struct.pack(f"<{len(views)}Q", *(v.nbytes for v in views))
    return [_HEADER.pack(len(data), len(views)) + lengths + data, *views]


def _send(sock, pieces):
    """Sends the pieces of a message; the bytes sent."""
    for piece in pieces:
        sock.sendall(piece)
    return sum(memoryview(piece).nbytes for piece in pieces)


def _write(sock, obj):
    """Sends obj; the bytes sent."""
    return _send(sock, encode(obj))


def _read(sock, still_there=None):
    """The next object on sock and its size in bytes."""
    length, n_arrays = _HEADER.unpack(_receive(sock, _HEADER.size, still_there))
    lengths = struct.unpack(f"<{n_arrays}Q", _receive(sock, 8 * n_arrays, still_there))
    data = _receive(sock, length, still_there)
    # Uninitialised room: every byte is received into it.
    arrays = [_receive_into(sock, np.empty(n, dtype=np.uint8), still_there) for n in lengths]
    size = _HEADER.size + 8 * n_arrays + length + sum(lengths)
    return pickle.loads(data, buffers=arrays), size


def _receive(sock, n, still_there):
    """n bytes from sock; a timeout asks still_there() whether to go on."""
    return _receive_into(sock, bytearray(n), still_there)


def _receive_into(sock, buffer, still_there):
    """buffer, filled from sock; a timeout asks still_there() whether to go on."""
    view = memoryview(buffer).cast("B")
    got = 0
    while got < view.nbytes:
        try:
            k = sock.recv_into(view[got:])
        except TimeoutError:
            if still_there is None or still_there():
                continue
            raise
        if k == 0:
            raise EOFError("the connection was closed")
        got += k
    return buffer
