"""==, != (no ordering); m | x and x | m."""

import collections

import pytest

import velomap
from velomap import ElasticHashMap, FunnelHashMap
from conftest import raises


class RaisingEq:
    def __eq__(self, other):
        raise ValueError("no comparison")

    __hash__ = object.__hash__


def test_equality_branches(cls):
    assert cls() == {}
    assert cls(a=1) == {"a": 1}
    assert cls(a=1) != {"a": 2}
    assert cls(a=1) != {"b": 1}
    assert cls(a=1) == collections.OrderedDict(a=1)
    m = cls(a=1)
    assert m == m
    assert m != 5 and m != [("a", 1)]
    assert (FunnelHashMap(a=1) == ElasticHashMap(a=1)) and (ElasticHashMap(a=1) == FunnelHashMap(a=1))
    assert cls(a=1) == cls(a=1) and cls(a=1) != cls(a=2)
    raises(TypeError, lambda: m < m, lambda: m >= {})


def test_failing_comparisons_mean_unequal(cls):
    m = cls(a=RaisingEq())
    assert (m == {"a": 1}) is False
    assert (m != {"a": 1}) is True

    class Mapping:
        def keys(self):
            return ["a"]

        def __len__(self):
            return 1

        def __getitem__(self, k):
            raise KeyError(k)

    assert (cls(a=1) == Mapping()) is False


def test_panic_in_value_comparison_is_not_swallowed(cls):
    class Panicky:
        def __eq__(self, other):
            raise velomap.PanicException("value panic")

    with pytest.raises(velomap.PanicException, match="value panic"):
        cls(a=Panicky()) == {"a": 1}


def test_union_operand_orders(cls):
    left = cls(a=1) | {"a": 2, "b": 3}
    assert type(left) is cls and dict(left.items()) == {"a": 2, "b": 3}
    right = {"a": 2, "b": 3} | cls(a=1)
    assert type(right) is cls and dict(right.items()) == {"a": 1, "b": 3}
    m = cls(a=1)
    assert (m | m) == m and (m | m) is not m
    assert type(FunnelHashMap(a=1) | ElasticHashMap(b=2)) is FunnelHashMap
    assert type(ElasticHashMap(b=2) | FunnelHashMap(a=1)) is ElasticHashMap
    assert dict((cls() | [("k", 1)]).items()) == {"k": 1}
    assert dict(([("k", 1)] | cls(j=2)).items()) == {"k": 1, "j": 2}
    with pytest.raises(TypeError, match="'int' object is not iterable"):
        cls() | 5
    result = {1.0: "x"} | cls({1: "y"})  # the left key object stays
    assert result[1] == "y" and type(list(result)[0]) is float
