"""Many keys sharing one hash: ints x + i * (2**61 - 1) hash alike, and
objects whose hash uses a field with few values."""

import pytest

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
def test_every_key_of_a_flood_is_stored_in_linear_memory(cls, keys):
    m = cls()
    for i, k in enumerate(keys):
        m[k] = i
    assert len(m) == len(keys) and m.capacity <= 8 * len(keys)
    assert all(m[k] == i for i, k in enumerate(keys))
    for source in (m.copy(), m | {}, {} | m, cls(m), cls.fromkeys(m)):
        assert list(source) == list(m) or sorted(map(id, source)) == sorted(map(id, m))
        assert len(source) == len(m) and source.capacity <= 8 * len(keys)
    for k in keys[::2]:
        del m[k]
    assert all((k in m) == (i % 2 == 1) for i, k in enumerate(keys))
    m.update((k, -1) for k in keys)
    assert len(m) == len(keys) and set(m.values()) == {-1}
