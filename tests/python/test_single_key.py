"""get, pop, popitem, setdefault, clear: edges and errors (results against
dict are the state machine's; which calls count as a change, test_iterators)."""

import pytest


def test_get_pop_setdefault_edges(cls):
    m = cls(a=1)
    assert m.get("x", None) is None
    with pytest.raises(TypeError, match="unhashable"):
        m.get([])
    for args in (("x",), ("x", None)):
        with pytest.raises(KeyError) as info:
            m.pop(*args)
        assert info.value.args == ("x",)
    stored = m.setdefault("k", [])
    assert m["k"] is stored and m.setdefault("k", [1]) is stored
    assert m.setdefault("new") is None and m["new"] is None


def test_popitem_follows_walk_order(cls):
    m = cls({i: str(i) for i in range(50)})
    seen = []
    inserted = list(range(50))
    fresh = iter(range(1000, 1100))
    while m:
        first = next(iter(m))
        k, v = m.popitem()
        assert k == first and v == str(k)
        seen.append(k)
        if len(seen) % 3 == 0 and len(seen) < 60:
            new = next(fresh)  # may land before the entries popped so far
            m[new] = str(new)
            inserted.append(new)
    assert sorted(seen) == sorted(inserted)
    with pytest.raises(KeyError) as info:
        m.popitem()
    assert info.value.args == ("popitem(): map is empty",)


def test_clear_keeps_capacity(cls):
    m = cls()
    m.update((i, i) for i in range(100))
    cap = m.capacity
    m.clear()
    assert len(m) == 0 and m.capacity == cap and list(m) == []
