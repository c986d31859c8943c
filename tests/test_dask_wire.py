"""What travels between the client and the workers of a Dask fit: packed
histograms and their sums, bit for bit, and the channel's messages."""

import math
import socket

import numpy as np
import pytest
import tarnwick_native as tn
from hypothesis import given, settings
from hypothesis import strategies as st
from support import same_bits

pytest.importorskip("distributed")

from tarnwick.dask import channel  # noqa: E402
from tarnwick.dask.wire import (  # noqa: E402
    MAX_EXACT_PARTS,
    Packed,
    add_exact,
    add_packed,
    exact_exponent,
    exact_parts,
    pack,
    unpack,
)
from tarnwick.leaves import add_in_order  # noqa: E402
from tarnwick.losses import Logistic, SquaredError  # noqa: E402
from tarnwick.shard import Shard  # noqa: E402


def partition_histogram(rng, n_rows, hessian):
    """A histogram of some of n_rows rows, 32 bins wide over features of 3 to
    20 bins (many empty bins), with gradients of both signed zeros."""
    binned = np.stack([rng.integers(0, n, n_rows) for n in (3, 20, 7, 12)]).astype(np.uint16)
    grad = rng.standard_normal(n_rows)
    grad[::5] = -0.0
    grad[1::7] = 0.0
    hess = np.broadcast_to(1.0, n_rows) if hessian == "counted" else rng.random(n_rows)
    rows = np.sort(rng.choice(n_rows, n_rows // 2, replace=False))
    return tn.build_histograms(binned, rows, grad, hess, 32)


@pytest.mark.parametrize("hessian", ["counted", "per row"])
def test_histograms_travel_bit_for_bit(hessian):
    hist = partition_histogram(np.random.default_rng(3), 500, hessian)
    packed = pack(hist, 500, hessian == "counted")
    assert isinstance(packed, Packed) and (packed.hess is None) == (hessian == "counted")
    assert same_bits(unpack(packed), hist)


def test_histograms_of_partitions_whose_counts_may_not_fit_travel_as_they_are():
    hist = np.zeros((2, 4, 3))
    hist[1, 2] = (1.0, 2.0**33, 2.0**33)
    assert pack(hist, 2**33, True) is hist
    assert unpack(pack(hist, 2**33, True)) is hist


@pytest.mark.parametrize(
    "hessians",
    [
        ["counted"] * 5,
        ["per row"] * 3,
        ["counted", "per row", "counted", "per row"],
        ["counted", "raw", "per row"],
        ["per row"],
    ],
)
def test_packed_histograms_add_up_to_the_bits_of_their_sum(hessians):
    rng = np.random.default_rng(len(hessians))
    hists = [partition_histogram(rng, 400, h.replace("raw", "per row")) for h in hessians]
    parts = [
        h if kind == "raw" else pack(h, 400, kind == "counted") for h, kind in zip(hists, hessians)
    ]
    assert same_bits(add_packed(parts), add_in_order(hists))


def magnitude(hist):
    """A bound of hist's cells, as a Shard's gradient magnitude is."""
    return float(np.abs(hist[..., :2]).sum(axis=1).max())


@settings(max_examples=60, deadline=None)
@given(
    seed=st.integers(0, 2**32 - 1),
    kinds=st.lists(st.sampled_from(["counted", "per row"]), min_size=2, max_size=7),
    scales=st.lists(st.integers(-40, 40), min_size=7, max_size=7),
    data=st.data(),
)
def test_exact_sums_are_the_same_bits_however_partitions_are_grouped(seed, kinds, scales, data):
    rng = np.random.default_rng(seed)
    hists = []
    for kind, scale in zip(kinds, scales):
        hist = partition_histogram(rng, 200, kind)
        hist[..., 0] *= 2.0**scale
        hists.append((hist, kind == "counted"))
    exponent = exact_exponent([magnitude(h) for h, _ in hists])
    assert exponent is not None
    whole = add_exact([exact_parts(hists, exponent)], exponent)

    # Each worker holds some of the partitions, in any order; one of a
    # single partition sends it packed, as a worker does.
    worker_of = data.draw(st.lists(st.integers(0, 3), min_size=len(hists), max_size=len(hists)))
    items = []
    for w in data.draw(st.permutations(range(4))):
        held = [hists[i] for i in range(len(hists)) if worker_of[i] == w]
        if len(held) == 1:
            items.append(pack(held[0][0], 200, held[0][1]))
        elif held:
            items.append(exact_parts(held, exponent))
    assert same_bits(add_exact(items, exponent), whole)
    assert same_bits(whole[..., 2], add_in_order([h[..., 2] for h, _ in hists]))
    if all(counted for _, counted in hists):
        assert same_bits(whole[..., 1], whole[..., 2])


def test_exact_sums_round_the_true_sum_once():
    # Values whose lowest bit is 2^-78 or more lie on the low grid of the
    # bound 2^2, so nothing is dropped and each cell is the correctly rounded
    # sum (math.fsum).
    rng = np.random.default_rng(7)
    mantissas = rng.integers(-(2**52), 2**52, (5, 64)).astype(np.float64)
    values = mantissas * 2.0 ** (rng.integers(-26, 0, (5, 64)) - 52)
    values[2, :8] = [1.0, -1.0, 2.0**-26, -(2.0**-26), 0.5, 0.5, -0.0, 1e-3]
    hists = [(np.stack([v, np.abs(v), np.ones(64)], axis=-1)[None], False) for v in values]
    exponent = exact_exponent([1.0] * 5)
    assert exponent == 2
    total = add_exact([exact_parts(hists[:2], exponent), *[h for h, _ in hists[2:]]], exponent)
    for column, got in enumerate(total[0]):
        assert got[0] == math.fsum(values[:, column])
        assert got[1] == math.fsum(np.abs(values[:, column]))
        assert got[2] == 5.0


def test_exact_sums_are_left_to_partition_order_where_they_cannot_be_exact():
    assert exact_exponent([3.0]) is None  # one partition: its histogram is the sum
    assert exact_exponent([1.0] * (MAX_EXACT_PARTS + 1)) is None
    assert exact_exponent([1.0, math.inf]) is None
    assert exact_exponent([1.0, math.nan]) is None
    assert exact_exponent([1.0, 1e308]) is None
    assert exact_exponent([1e-300, 0.0]) is None
    assert exact_exponent([0.0, 0.0]) == 0
    for largest in (0.75, 1.0, 3.0, 2.0**100, 1e-250):
        exponent = exact_exponent([largest / 3, largest])
        assert largest * 2 <= 2.0**exponent < largest * 8


def test_a_shard_counts_the_hessian_only_when_it_is_unweighted_squared_error():
    rng = np.random.default_rng(0)
    n_rows = 300
    for loss, weight, counted in [
        (SquaredError, None, True),
        (SquaredError, rng.random(n_rows), False),
        (Logistic, None, False),
    ]:
        binned = rng.integers(0, 9, (3, n_rows)).astype(np.uint16)
        y = rng.integers(0, 2, n_rows).astype(np.float64)
        shard = Shard(binned, y, weight, None, loss, 16)
        shard.set_scores(np.array([0.25]))
        shard.compute_gradients()
        hist = shard.start_tree(0, True)
        assert shard.counts_hessian == counted
        if counted:
            assert same_bits(hist[..., 1], hist[..., 2])
        else:
            assert not same_bits(hist[..., 1], hist[..., 2])


def test_a_shards_gradient_magnitude_bounds_every_cell_of_its_histograms():
    rng = np.random.default_rng(1)
    n_rows = 400
    binned = rng.integers(0, 9, (3, n_rows)).astype(np.uint16)
    for loss, y, weight, k in [
        (SquaredError, 50.0 * rng.standard_normal(n_rows), None, 0),
        (SquaredError, rng.standard_normal(n_rows), 3.0 * rng.random(n_rows), 0),
        (Logistic, rng.integers(0, 2, n_rows).astype(np.float64), None, 0),
    ]:
        shard = Shard(binned, y, weight, None, loss, 16)
        shard.set_scores(np.array([-0.5]))
        shard.compute_gradients()
        root = shard.start_tree(k, True)
        # Per feature, the bins' cells together are no larger, but for the
        # rounding of either sum (which the bound's factor of 2 covers).
        cells = np.abs(root[..., :2]).sum(axis=1).max()
        assert cells <= shard.gradient_magnitude(k) * (1 + 1e-12)


def test_messages_travel_with_their_arrays_beside_the_pickle():
    grid = np.arange(24.0).reshape(4, 6)
    message = [
        ("split", (3, grid, grid[:, ::2]), True),
        np.empty(0),
        np.array([-0.0, np.nan, np.inf]),
        np.arange(5, dtype=np.uint32),
        {"text": "é", "none": None},
    ]
    a, b = socket.socketpair()
    with a, b:
        sent = channel._write(a, message)
        got, size = channel._read(b)
    assert size == sent
    assert got[4] == message[4] and got[0][0] == "split" and got[0][2] is True
    for original, copy in [
        (grid, got[0][1][1]),
        (grid[:, ::2], got[0][1][2]),
        *zip(message[1:4], got[1:4]),
    ]:
        assert copy.dtype == original.dtype and same_bits(copy, original)
    # Received arrays are the client's own, to add into.
    got[0][1][1][0, 0] = 7.0


def test_a_channel_unpickles_nothing_before_the_token():
    calls = []
    host, port, _ = channel.serve(calls.append, "tcp://127.0.0.1:0")

    class Trap:
        def __reduce__(self):
            return (calls.append, ("unpickled",))

    with socket.create_connection((host, port)) as sock:
        sock.sendall(b"\0" * 16)
        channel._write(sock, Trap())
        sock.settimeout(30)
        try:
            closed = sock.recv(1) == b""
        except ConnectionResetError:
            # Closed with the trap still unread.
            closed = True
    assert closed and calls == []


def test_a_channel_answers_requests_and_sends_back_errors():
    def run(requests):
        if requests == "fail":
            raise ValueError("bad request")
        return [r * 2 for r in requests]

    ends = channel.Channel(*channel.serve(run, "tcp://127.0.0.1:0"))
    try:
        ends.send(channel.encode([np.arange(3.0), 4]))
        value, _ = ends.receive(5.0, lambda: True)
        assert same_bits(value[0], np.arange(3.0) * 2) and value[1] == 8
        ends.send(channel.encode("fail"))
        with pytest.raises(ValueError, match="bad request"):
            ends.receive(5.0, lambda: True)
    finally:
        ends.close()
