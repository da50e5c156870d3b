"""Iterators and the mutation guard."""

import gc
import weakref

import pytest

from conftest import Sized


STALE = "dictionary changed size during iteration"


# Every change invalidates the iterators of every kind made before it, for
# good; reads, and calls that end up changing nothing, do not.
@pytest.mark.parametrize("action, changes", [
    (lambda m: m.__setitem__("new", 1), True),
    (lambda m: m.__setitem__("a", 2), True),  # same size, new value
    (lambda m: m.__delitem__("a"), True),
    (lambda m: m.pop("a"), True),
    (lambda m: m.popitem(), True),
    (lambda m: m.setdefault("new"), True),
    (lambda m: m.clear(), True),
    (lambda m: m.update({"a": 2}, a=3), True),
    (lambda m: pytest.raises(ValueError, m.update, [(1, 2), [3]]), True),  # keeps (1, 2)
    (lambda m: m.update(Sized((), 1000)), True),  # a rebuild without pairs
    (lambda m: m.__ior__({"a": 1}), True),
    (lambda m: m.get("a"), False),
    (lambda m: m.get("x", 0), False),
    (lambda m: m.pop("x", 0), False),
    (lambda m: m.setdefault("a", 5), False),
    (lambda m: pytest.raises(KeyError, m.__delitem__, "absent"), False),
    (lambda m: (m.update(), m.update({}), m.update([]), m.update(None)), False),
    (lambda m: m.copy(), False),
    (lambda m: "a" in m.keys(), False),
    (lambda m: m == {}, False),
])
def test_which_calls_invalidate_iterators(cls, action, changes):
    m = cls(a=1, b=2)
    its = [iter(m), iter(m.values()), iter(m.items())]
    action(m)
    for it in its:
        if not changes:
            next(it)
            continue
        for _ in range(2):
            with pytest.raises(RuntimeError, match=STALE):
                next(it)


def test_guard_comes_before_exhaustion(cls):
    m = cls()
    it = iter(m)
    pytest.raises(StopIteration, next, it)
    pytest.raises(KeyError, m.popitem)  # an empty popitem changes nothing
    pytest.raises(StopIteration, next, it)
    m.clear()  # clearing an empty map is a change
    pytest.raises(RuntimeError, next, it)


def test_iterator_keeps_its_map_alive_but_not_old_entries(cls):
    it = iter(cls({i: i for i in range(10)}))
    gc.collect()
    assert sorted(it) == list(range(10))

    class Value:
        pass

    m = cls({i: Value() for i in range(100)})
    refs = [weakref.ref(v) for v in m.values()]
    it = iter(m.items())
    next(it)
    m.clear()
    assert all(r() is None for r in refs)
    with pytest.raises(RuntimeError, match=STALE):
        next(it)


def test_every_iterator_kind_walks_a_large_map_once(cls):
    m = cls({i: -i for i in range(20_000)})
    for _ in range(500):  # the walk then starts past the drained slots
        m.popitem()
    keys = list(m)
    assert len(keys) == len(set(keys)) == len(m) == 19_500
    assert all(m[k] == -k for k in keys)
    assert list(m.values()) == [-k for k in keys] and list(m.items()) == list(zip(keys, m.values()))
