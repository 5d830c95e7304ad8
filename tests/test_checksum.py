"""plovik._native.crc32c, the checksum of saved indexes: known values, a
plain table-driven reference on random buffers of many lengths and
alignments, every kind of buffer, threads, and bad input."""

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from plovik import _native


def _table():
    table = []
    for i in range(256):
        r = i
        for _ in range(8):
            r = (r >> 1) ^ 0x82F63B78 if r & 1 else r >> 1
        table.append(r)
    return table


_TABLE = _table()


def reference(data, value=0):
    r = value ^ 0xFFFFFFFF
    for b in bytes(data):
        r = (r >> 8) ^ _TABLE[(r ^ b) & 0xFF]
    return r ^ 0xFFFFFFFF


def test_known_values():
    assert _native.crc32c(b"123456789") == 0xE3069283
    assert _native.crc32c(b"") == 0 and _native.crc32c(b"", 0x1234) == 0x1234
    assert _native.crc32c(bytes(32)) == 0x8A9136AA
    assert _native.crc32c(b"\xff" * 32) == 0x62A8AB43
    assert _native.crc32c(bytes(range(32))) == 0x46DD794E
    assert _native.crc32c(bytes(range(31, -1, -1))) == 0x113FDB5C


def test_matches_reference_at_every_length_and_alignment():
    rng = np.random.default_rng(7)
    data = rng.integers(0, 256, 3 * 8192 * 2 + 64, dtype=np.uint8).tobytes()
    view = memoryview(data)
    lengths = [*range(80), 255, 256, 257, 767, 768, 769, 3 * 8192 - 1, 3 * 8192, 3 * 8192 + 13, len(data) - 8]
    for n in lengths:
        for offset in range(8) if n < 1000 else (0, 5):
            start = int(rng.integers(0, 1 << 32))
            chunk = view[offset : offset + n]
            assert _native.crc32c(chunk, start) == reference(chunk, start), (n, offset)
    # continuing from a first part's checksum
    for cut in (0, 1, 100, 30_000, len(data)):
        assert _native.crc32c(view[cut:], _native.crc32c(view[:cut])) == _native.crc32c(data)


def test_buffer_kinds_and_threads():
    rng = np.random.default_rng(8)
    arr = rng.random((300, 7))
    want = reference(arr.tobytes())
    for buf in (arr, arr.tobytes(), bytearray(arr.tobytes()), memoryview(arr), arr.view(np.uint8),
                arr.astype(">f8").byteswap().view(">f8"), arr.reshape(-1)[None, :]):
        assert _native.crc32c(buf) == want
    assert _native.crc32c(np.float64(2.5)) == reference(np.float64(2.5).tobytes())
    assert _native.crc32c(np.empty((0, 3))) == 0
    assert _native.crc32c(value=5, data=b"") == 5
    # large buffers run without the interpreter lock, from many threads at once
    big = [rng.integers(0, 256, (1 << 20) + i, dtype=np.uint8) for i in range(4)]
    expected = [_native.crc32c(b) for b in big]
    with ThreadPoolExecutor(4) as pool:
        for _ in range(3):
            assert list(pool.map(_native.crc32c, big)) == expected
    assert expected[0] == _native.crc32c(big[0][(1 << 19):], _native.crc32c(big[0][: 1 << 19]))


def test_bad_input():
    arr = np.arange(40.0).reshape(5, 8)
    for bad in (arr[:, ::2], arr.T, arr[::2], memoryview(arr.tobytes())[::3]):
        with pytest.raises(ValueError, match="C-contiguous"):
            _native.crc32c(bad)
    for bad in ("text", 12, None, [1, 2], object()):
        with pytest.raises(TypeError):
            _native.crc32c(bad)
    for value in (-1, 1 << 32, 1 << 100, -(1 << 100)):
        with pytest.raises(ValueError, match="2\\*\\*32"):
            _native.crc32c(b"x", value)
    for value in (1.0, "1", None, np.float64(1.0)):
        with pytest.raises(TypeError):
            _native.crc32c(b"x", value)
    with pytest.raises(TypeError):
        _native.crc32c()
    with pytest.raises(TypeError):
        _native.crc32c(b"x", 0, 1)
    assert _native.crc32c(b"x", (1 << 32) - 1) == reference(b"x", (1 << 32) - 1)
    assert _native.crc32c(b"x", np.uint32(7)) == reference(b"x", 7)
