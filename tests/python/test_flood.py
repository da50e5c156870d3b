"""Many keys sharing one hash: ints x + i * (2**61 - 1) hash alike, and
objects whose hash uses a field with few values."""

import sys

import pytest

from velomap import FunnelHashMap

MODULUS = 2**61 - 1


class Order:
    def __init__(self, i):
        self.i = i

    def __hash__(self):
        return self.i % 13  # a weak but legal hash

    def __eq__(self, other):
        return isinstance(other, Order) and self.i == other.i


@pytest.mark.parametrize("keys", [[12345 + i * MODULUS for i in range(3000)],
                                  [Order(i) for i in range(3000)]], ids=["one hash", "13 hashes"])
def test_floods_are_stored_whole_in_linear_memory(cls, keys):
    m = cls()
    for i, k in enumerate(keys):
        m[k] = i
    assert len(m) == len(keys) and m.capacity <= 8 * len(keys)
    assert all(m[k] == i for i, k in enumerate(keys))
    for source in (m.copy(), m | {}, {} | m, cls(m), cls.fromkeys(m)):
        assert sorted(map(id, source)) == sorted(map(id, m))
        assert source.capacity <= 8 * len(keys)
    if cls is FunnelHashMap:  # hundreds of keys live in the overflow part, which is counted
        assert sys.getsizeof(m) > sys.getsizeof(cls.with_options(m.capacity)) + 24 * 256
