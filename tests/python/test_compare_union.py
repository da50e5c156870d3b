"""==, != (no ordering); m | x and x | m."""

import collections

import pytest

from velomap import ElasticHashMap, FunnelHashMap
from conftest import KeysMapping, raises


class RaisingEq:
    def __eq__(self, other):
        raise ValueError("no comparison")

    __hash__ = object.__hash__


# A comparison that raises an ordinary exception means "unequal".
def test_equality_both_ways(cls):
    m = cls(a=1)
    cases = [({}, False), ({"a": 1}, True), ({"a": 2}, False), ({"b": 1}, False),
             (collections.OrderedDict(a=1), True), (m, True), (5, False), ([("a", 1)], False),
             (FunnelHashMap(a=1), True), (ElasticHashMap(a=1), True), (cls(a=2), False),
             (KeysMapping(keys=["a"], length=1), False)]  # no value can be read
    for other, equal in cases:
        assert (m == other) is equal and (m != other) is not equal, other
        assert (other == m) is equal or isinstance(other, KeysMapping)
    assert cls() == {} and (cls(a=RaisingEq()) == {"a": 1}) is False
    raises(TypeError, lambda: m < m, lambda: m >= {})


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
    same = m
    m |= [("k", "v")]
    assert m is same and m["k"] == "v"
    raises(TypeError, lambda: cls() | 5, lambda: m.__ior__(None), match="object is not iterable")
    result = {1.0: "x"} | cls({1: "y"})  # the left key object stays
    assert result[1] == "y" and type(list(result)[0]) is float
