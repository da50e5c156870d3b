"""Live keys, items and values views."""

import math

import pytest

from conftest import HashKey, raises


def test_view_and_iterator_classes(cls):
    m = cls(a=1)
    view, it = m.keys(), iter(m.items())
    assert type(view).__name__ == f"{cls.__name__[:-7].lower()}_keys"
    assert iter(it) is it and type(it).__name__ == f"_{cls.__name__[:-7]}ItemIter"
    raises(TypeError, type(view), type(it), lambda: reversed(view), lambda: hash(view),
           lambda: hash(m.items()))
    hash(m.values())
    assert not hasattr(view, "isdisjoint") and not hasattr(it, "__length_hint__")


def test_keys_compare_and_combine_as_sets(cls):
    m = cls({1: "a", 2: "b"})
    k = m.keys()
    assert k == {1, 2} and {1, 2} == k
    assert k == [2, 1] and k == {1: "a", 2: "b"}
    assert k != [1, 1]
    assert (k == 5) is False and (k != 5) is True
    with pytest.raises(TypeError):
        k < {1, 2, 3}
    assert k & {1, 3} == {1}
    assert type(k & {1, 3}) is set
    assert k - [2] == {1}
    assert k | (3,) == {1, 2, 3}
    assert k ^ [1, 1, 3] == {2, 3}
    empty = cls().keys()
    assert empty - 5 == set() and empty & 5 == set()
    raises(TypeError, lambda: {1, 3} & k, lambda: k - 5, lambda: empty | 5)
    raises(TypeError, lambda: k ^ [[1]], lambda: [1] in k, match="unhashable type: 'list'")


def test_items_membership_equality_and_set_operations(cls):
    m = cls({1: "a"})
    i = m.items()
    assert (1, "a") in i
    for probe in ((1, "b"), (2, "a"), [1, "a"], (1, "a", None)):
        assert probe not in i
    assert type("T", (tuple,), {})((1, "a")) in i  # a tuple subclass
    with pytest.raises(TypeError):
        ([1], "a") in i
    assert i == [(1, "a")] and i == {(1, "a")} and i == {1: "a"}.items()
    assert i != {1: "a"}
    assert repr(i) == f"{cls.__name__[:-7].lower()}_items([(1, 'a')])"
    assert i - {(1, "a")} == set()
    assert i & [(1, "a")] == {(1, "a")}
    assert i | [3] == {(1, "a"), 3}
    with pytest.raises(TypeError):
        i ^ set()
    with pytest.raises(TypeError, match="unhashable type: 'list'"):
        cls({1: [2]}).items() | []


# Values are compared by ==, without an identity shortcut: a NaN is not
# found through itself, and a comparison that raises counts as unequal.
def test_values_and_items_compare_values(cls):
    nan = math.nan
    m = cls({1: nan, 2: HashKey(0, eq_error=ValueError("x")), 3: "a", 4: [3]})
    v, i = m.values(), m.items()
    assert "a" in v and [3] in v and "b" not in v and nan not in v
    assert (1, nan) not in i and (2, 5) not in i
    assert v != m.values() and v == v and i != m.items()
    with pytest.raises(TypeError):
        v | set()
    assert repr(cls({1: "a"}).values()) == f"{cls.__name__[:-7].lower()}_values(['a'])"


def test_view_reprs_stop_at_themselves_and_replace_lone_surrogates(cls):
    p = cls.__name__[:-7].lower()
    m, m2 = cls(), cls()
    m[1], m2["k"] = m.items(), m2.keys()
    assert repr(m.items()) == f"{p}_items([(1, {p}_items([(1, ...)]))])"
    assert repr(m2.values()) == f"{p}_values([{p}_keys(['k'])])"
    m2["k"] = m2.values()
    assert repr(m2.values()) == f"{p}_values([{p}_values([...])])"

    class Weird:
        def __repr__(self):
            return "a\udcffb"

    text = repr(cls({1: Weird()}).values())
    assert "\ufffd" in text and "\udcff" not in text
