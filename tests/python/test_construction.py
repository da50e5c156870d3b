"""Construction paths and options: with_options, fromkeys, and the
argument-binding texts (copies: test_copy_pickle)."""

import math

import pytest

from velomap import ElasticHashMap, FunnelHashMap
from conftest import Sized

FUNNEL_RANGE = "reserve_fraction must be in (0, 0.125]; FunnelHashMap caps the load factor at 1/8 by design"
ELASTIC_RANGE = "reserve_fraction must be in the open interval (0, 1)"


def test_constructor_contents_and_reserved_keywords(cls):
    for made, want in ((cls(capacity=5), {}), (cls(other={"a": 1}), {"a": 1}), (cls(b=2), {"b": 2}),
                       (cls([("x", 1)], y=2), {"x": 1, "y": 2})):
        assert dict(made.items()) == want
    with pytest.raises(TypeError, match="'int' object is not iterable"):
        cls(5)
    with pytest.raises(TypeError, match="unhashable type: 'list'"):
        cls([([1], 2)])


# Options convert in argument order, and only then are their ranges checked.
@pytest.mark.parametrize("cls, options, exc, text", [
    (FunnelHashMap, {"reserve_fraction": 0.125}, None, None),
    (FunnelHashMap, {"reserve_fraction": 1e-9}, None, None),
    (ElasticHashMap, {"reserve_fraction": 0.99}, None, None),
    (ElasticHashMap, {"probe_scale": math.nan}, None, None),  # normalised by the table
    *[(FunnelHashMap, {"reserve_fraction": v}, ValueError, FUNNEL_RANGE)
      for v in (0.1250001, 0.0, -1.0, math.nan, math.inf)],
    *[(ElasticHashMap, {"reserve_fraction": v}, ValueError, ELASTIC_RANGE) for v in (1.0, 0.0, math.nan)],
    (ElasticHashMap, {"probe_scale": 0.0}, ValueError, "probe_scale must be positive"),
    (ElasticHashMap, {"probe_scale": -2}, ValueError, "probe_scale must be positive"),
    (FunnelHashMap, {"primary_probe_limit": 0}, ValueError, "primary_probe_limit must be positive"),
    (FunnelHashMap, {"reserve_fraction": 0.5, "primary_probe_limit": 0}, ValueError, FUNNEL_RANGE),
    (FunnelHashMap, {"reserve_fraction": "x", "primary_probe_limit": 0}, TypeError,
     "argument 'reserve_fraction': must be real number, not str"),
    (ElasticHashMap, {"capacity": "x", "reserve_fraction": 5.0}, TypeError, "argument 'capacity': "),
    (FunnelHashMap, {"primary_probe_limit": 1.5}, TypeError, "argument 'primary_probe_limit': "),
    (FunnelHashMap, {"primary_probe_limit": 2**32}, OverflowError, "out of range integral type conversion attempted"),
])
def test_options(cls, options, exc, text):
    if exc is None:
        assert cls.with_options(100, **options).capacity == 100
    else:
        with pytest.raises(exc) as info:
            cls.with_options(**options)
        assert str(info.value).startswith(text) and (exc is TypeError or str(info.value) == text)


def test_argument_binding_texts(cls):
    n = cls.__name__
    m = cls()
    cases = [  # one of each form
        (lambda: m.get(), f"{n}.get() missing 1 required positional argument: 'key'"),
        (lambda: m.get(1, 2, 3), f"{n}.get() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: m.get(1, nope=2), f"{n}.get() got an unexpected keyword argument 'nope'"),
        (lambda: cls({}, other={}), f"{n}.__new__() got multiple values for argument 'other'"),
        (lambda: cls.__class_getitem__(1, 2), f"{n}.__class_getitem__() takes 1 positional arguments but 2 were given"),
    ]
    for call, text in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == text
    assert m.get(key=1, default=5) == 5


def test_fromkeys(cls):
    m = cls.fromkeys(x for x in "abca")
    assert len(m) == 3 and all(m[k] is None for k in "abc")
    shared = []
    m = cls.fromkeys([1, 2], shared)
    assert m[1] is shared and m[2] is shared
    mixed = {1, "a", (2,), 2.5}
    assert dict(cls.fromkeys(mixed, 0).items()) == dict.fromkeys(mixed, 0)
    with pytest.raises(TypeError, match="not iterable"):
        cls.fromkeys(5)
    assert len(cls.fromkeys(Sized([1, 2], ValueError("no length")))) == 2
