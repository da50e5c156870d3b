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


# Results against dict are the state machine's; here the errors and which
# calls count as a change.
@pytest.mark.parametrize("action, changes", [
    (lambda m: m.get("a"), False),
    (lambda m: m.get("x", 0), False),
    (lambda m: m.pop("x", 0), False),
    (lambda m: m.setdefault("a", 5), False),
    (lambda m: m.pop("a"), True),
    (lambda m: m.setdefault("new"), True),
    (lambda m: m.clear(), True),
])
def test_which_calls_bump(cls, action, changes):
    m = cls(a=1, b=2)
    assert bumped(m, lambda: action(m)) is changes


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
    assert not bumped(m, lambda: pytest.raises(KeyError, m.popitem))
    m[1] = 1
    assert bumped(m, m.popitem)


def test_clear_keeps_capacity(cls):
    m = cls()
    assert bumped(m, m.clear)  # even when empty
    m.update((i, i) for i in range(100))
    cap = m.capacity
    m.clear()
    assert len(m) == 0 and m.capacity == cap and list(m) == []
