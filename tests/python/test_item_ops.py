"""The basic mapping protocol: m[k] = v, m[k], k in m, del m[k], len(m)."""

import sys

import pytest

from conftest import HashKey


@pytest.mark.parametrize("capacity, exc, text", [
    (-1, OverflowError, None),
    (2**32, OverflowError, "out of range integral type conversion attempted"),
    ("8", TypeError, "argument 'capacity': 'str' object cannot be interpreted as an integer"),
    (4_000_000_000, MemoryError, None),  # a refused allocation, not a crash
])
def test_capacity_errors(cls, capacity, exc, text):
    with pytest.raises(exc) as info:
        cls(capacity=capacity)
    assert text is None or str(info.value) == text


def test_replacement_keeps_the_first_key_object(cls):
    m = cls()
    m[1] = "a"
    m[1.0] = "b"
    assert len(m) == 1
    assert m[1] == "b"
    assert type(next(iter(m))) is int


def test_hash_errors_propagate_unchanged(cls):
    m = cls()
    for action in (lambda: m[[1]], lambda: [1] in m, lambda: m.__setitem__([1], 0),
                   lambda: m.__delitem__([1])):
        with pytest.raises(TypeError, match=r"unhashable type: 'list'"):
            action()

    class Bad:
        def __hash__(self):
            raise ValueError("no hash")

    with pytest.raises(ValueError, match="no hash"):
        m[Bad()] = 1
    assert len(m) == 0


def test_exact_str_keys_compare_without_python_equality(cls):
    m = cls()
    text = "ключ-" * 20
    stored, probe = "".join([text, "1"]), "".join([text, "1"])
    m[stored] = 1
    size = sys.getsizeof(probe), sys.getsizeof(stored)
    assert m[probe] == 1  # no UTF-8 copy is left in either string
    assert (sys.getsizeof(probe), sys.getsizeof(stored)) == size

    class S(str):
        calls = 0

        def __eq__(self, other):
            S.calls += 1
            return str.__eq__(self, other)

        __hash__ = str.__hash__

    m[S("ham")] = 2
    assert m["ham"] == 2 and S.calls >= 1
    m["x\udcff"] = 3
    assert m["".join(["x", "\udcff"])] == 3


def test_eq_errors_count_as_unequal(cls):
    m = cls()
    stored = HashKey(7, "stored", eq_error=ValueError("boom"))
    m[stored] = 1
    probe = HashKey(7, "probe")
    assert probe not in m
    m[probe] = 2
    assert len(m) == 2

