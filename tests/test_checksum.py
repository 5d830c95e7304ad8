"""plovik._native.crc32c, the checksum of saved indexes, through the
binding: a plain bitwise reference on every kind of buffer and start
value, chaining, threads, and bad input. (Known values and every length and
alignment, on both the instruction's and the tables' path: the engine tests.)"""

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from plovik import _native


def reference(data, value=0):
    r = value ^ 0xFFFFFFFF
    for b in bytes(data):
        r ^= b
        for _ in range(8):
            r = (r >> 1) ^ 0x82F63B78 if r & 1 else r >> 1
    return r ^ 0xFFFFFFFF


def test_buffer_kinds_and_threads():
    rng = np.random.default_rng(8)
    arr = rng.random((300, 7))
    want = reference(arr.tobytes())
    buffers = [arr, arr.tobytes(), bytearray(arr.tobytes()), memoryview(arr), arr.view(np.uint8)]
    buffers += [arr.astype(">f8").byteswap().view(">f8"), arr.reshape(-1)[None, :]]
    assert [_native.crc32c(buf) for buf in buffers] == [want] * len(buffers)
    assert _native.crc32c(np.float64(2.5)) == reference(np.float64(2.5).tobytes())
    assert _native.crc32c(np.empty((0, 3))) == 0
    assert _native.crc32c(value=5, data=b"") == 5
    data = rng.integers(0, 256, 70_000, dtype=np.uint8).tobytes()
    for n, offset, start in ((9, 3, 0xE3069283), (1000, 7, 1), (len(data) - 7, 5, 0xFFFFFFFF)):
        part = data[offset : offset + n]
        assert _native.crc32c(memoryview(data)[offset : offset + n], start) == reference(part, start)
    for cut in (0, 1, 30_000, len(data)):  # continuing from a first part's checksum
        assert _native.crc32c(data[cut:], _native.crc32c(data[:cut])) == _native.crc32c(data)
    # large buffers run without the interpreter lock, from many threads at once
    big = [rng.integers(0, 256, (1 << 20) + i, dtype=np.uint8) for i in range(4)]
    expected = [_native.crc32c(b) for b in big]
    with ThreadPoolExecutor(4) as pool:
        for _ in range(3):
            assert list(pool.map(_native.crc32c, big)) == expected
    assert expected[0] == _native.crc32c(big[0][(1 << 19) :], _native.crc32c(big[0][: 1 << 19]))


def test_bad_input():
    arr = np.arange(40.0).reshape(5, 8)
    cases = [
        *(
            ((bad,), ValueError, "C-contiguous")
            for bad in (arr[:, ::2], arr.T, arr[::2], memoryview(arr.tobytes())[::3])
        ),
        *(((bad,), TypeError, None) for bad in ("text", 12, None, [1, 2], object())),
        *(((b"x", v), ValueError, r"2\*\*32") for v in (-1, 1 << 32, 1 << 100, -(1 << 100))),
        *(((b"x", v), TypeError, None) for v in (1.0, "1", None, np.float64(1.0))),
        ((), TypeError, None),
        ((b"x", 0, 1), TypeError, None),
    ]
    for args, error, match in cases:
        with pytest.raises(error, match=match):
            _native.crc32c(*args)
    assert _native.crc32c(b"x", (1 << 32) - 1) == reference(b"x", (1 << 32) - 1)
    assert _native.crc32c(b"x", np.uint32(7)) == reference(b"x", 7)
