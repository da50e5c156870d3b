"""copy.copy, copy.deepcopy, pickle and sys.getsizeof."""

import copy
import pickle
import sys

import pytest


OPTIONS = {
    "ElasticHashMap": {"capacity": 100, "reserve_fraction": 0.05, "probe_scale": 4.0},
    "FunnelHashMap": {"capacity": 100, "reserve_fraction": 0.05, "primary_probe_limit": 5},
}


def sample(cls):
    m = cls.with_options(**OPTIONS[cls.__name__])
    m.update({i: str(i) for i in range(60)}, name=("tuple", 1))
    return m


def holds_without_growth(m, total):
    """Fill m to `total` entries and report whether its capacity stayed."""
    capacity = m.capacity
    for i in range(1000, 1000 + total - len(m)):
        m[i] = i
    return m.capacity == capacity


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip_keeps_class_options_and_capacity(cls, protocol):
    m = sample(cls)
    back = pickle.loads(pickle.dumps(m, protocol))
    assert type(back) is cls and back == m and back.capacity == 100
    assert back.__reduce__()[:2] == (cls.with_options, tuple(OPTIONS[cls.__name__].values()))
    # reserve_fraction 0.05 holds 95 entries at capacity 100 (the default, 90)
    assert holds_without_growth(back, 95)
    m["self"] = m
    again = pickle.loads(pickle.dumps(m, protocol))
    assert again["self"] is again


@pytest.mark.parametrize("reduced, error, text", [
    (lambda cls: (cls.with_options, (10, 5.0, None)), ValueError, "reserve_fraction"),
    (lambda cls: (cls.with_options, (), None, None, iter([(1, 1), ([], 2)])), TypeError, "unhashable"),
])
def test_tampered_pickles_fail_cleanly(cls, reduced, error, text):
    tampered = type("Tampered", (), {"__reduce__": lambda self: reduced(cls)})
    with pytest.raises(error, match=text):
        pickle.loads(pickle.dumps(tampered()))


def test_copy_and_deepcopy(cls):
    shared = [1]
    m = sample(cls)
    m.update(a=shared, b=shared)
    m["self"] = m
    shallow = copy.copy(m)
    assert type(shallow) is cls and shallow["a"] is shared and shallow["self"] is m
    shallow["z"] = 0
    assert "z" not in m
    # copy() takes the class defaults and a capacity grown from the length
    assert shallow.capacity == 128 and not holds_without_growth(shallow, 117)  # 116 at 0.1
    assert cls({i: i for i in range(5)}).copy().capacity == 5
    deep = copy.deepcopy(m)
    assert deep["a"] == shared and deep["a"] is not shared and deep["a"] is deep["b"]
    assert deep["self"] is deep and deep.capacity == m.capacity
    assert holds_without_growth(deep, 95)


def test_sizeof_counts_the_tables_not_the_entries(cls):
    empty = sys.getsizeof(cls())
    assert empty < 1024  # an empty map allocates no table memory
    big = cls.with_options(capacity=1 << 16)
    size = sys.getsizeof(big)
    assert 24 << 16 < size < 40 << 16  # 24-byte entries and a control byte per slot
    big.update((i, "x" * 1000) for i in range(50_000))
    assert sys.getsizeof(big) == size  # entries are references, not counted
    big.clear()
    assert sys.getsizeof(big) == size  # clear keeps the tables
    grown = cls.fromkeys(range(200_000))
    assert sys.getsizeof(grown) > size > empty
