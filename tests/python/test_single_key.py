"""get, pop, popitem, setdefault, clear: results, errors and version bumps
(a bump shows as a stale iterator)."""

import pytest


def bumped(m, action):
    """Run action; report whether it invalidated an iterator made before."""
    it = iter(m)
    action()
    try:
        next(it)
    except RuntimeError as e:
        assert str(e) == "dictionary changed size during iteration"
        return True
    except StopIteration:
        pass
    return False


def test_get(cls):
    m = cls(a=1)
    assert m.get("a") == 1
    assert m.get("x") is None
    assert m.get("x", 0) == 0
    assert m.get("x", None) is None
    with pytest.raises(TypeError, match="unhashable"):
        m.get([])
    assert not bumped(m, lambda: m.get("a"))


def test_pop(cls):
    m = cls(a=1, b=2)
    for args in (("x",), ("x", None)):
        with pytest.raises(KeyError) as info:
            m.pop(*args)
        assert info.value.args == ("x",)
    assert m.pop("x", 0) == 0
    assert not bumped(m, lambda: m.pop("x", 0))
    assert bumped(m, lambda: m.pop("a"))
    assert "a" not in m and len(m) == 1


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
    assert not bumped(m, lambda: pytest.raises(KeyError, m.popitem))
    m[1] = 1
    assert bumped(m, m.popitem)


def test_setdefault(cls):
    m = cls()
    stored = m.setdefault("k", [])
    assert stored == [] and m["k"] is stored
    assert m.setdefault("k", [1]) is stored
    assert not bumped(m, lambda: m.setdefault("k", 5))
    assert bumped(m, lambda: m.setdefault("new"))
    assert m["new"] is None


def test_clear_always_bumps_and_keeps_capacity(cls):
    m = cls()
    assert bumped(m, m.clear)
    m.update((i, i) for i in range(100))
    cap = m.capacity
    m.clear()
    assert len(m) == 0 and m.capacity == cap and list(m) == []
