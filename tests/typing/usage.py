"""Checked by mypy --strict and pyright in strict mode (make typecheck), not run."""
# pyright: strict

from __future__ import annotations

from typing_extensions import assert_type

import velomap
from velomap import ElasticHashMap, FunnelHashMap

e: ElasticHashMap[str, int] = ElasticHashMap({"a": 1}, capacity=10)
assert_type(ElasticHashMap(a=1, b=2), ElasticHashMap[str, int])
pairs: list[tuple[int, str]] = [(1, "x")]
assert_type(FunnelHashMap(pairs), FunnelHashMap[int, str])
assert_type(e["a"], int)
assert_type(e.get("a"), int | None)
assert_type(e.get("a", 0), int)
assert_type(e.get("a", "none"), int | str)
assert_type(e.pop("a"), int)
assert_type(e.pop("a", None), int)  # a None default counts as none: KeyError
empty: ElasticHashMap[int, int] = ElasticHashMap()
assert_type(e.setdefault("z", 3), int)
assert_type(e.popitem(), tuple[str, int])
assert_type(e.capacity, int)
assert_type(e.copy(), ElasticHashMap[str, int])
assert_type(e | {"b": 2.5}, ElasticHashMap[str, int | float])
assert_type(list(e.keys()), list[str])
assert_type(list(e.values()), list[int])
assert_type(list(e.items()), list[tuple[str, int]])
assert_type(e.keys() & {"a"}, set[str])
assert_type(next(iter(e)), str)
assert_type(FunnelHashMap.fromkeys(range(3), 0.5), FunnelHashMap[int, float])
e.update({"c": 3}, d=4)
e.update([("e", 5)])
e |= {"f": 6}
del e["f"]

tight: ElasticHashMap[int, bytes] = ElasticHashMap.with_options(capacity=1000, reserve_fraction=0.02, probe_scale=8.0)
wide: FunnelHashMap[int, bytes] = FunnelHashMap.with_options(1000, 0.125, primary_probe_limit=4)
assert_type(len(tight) + len(wide), int)
assert_type(velomap.__version__, str)

try:
    e["missing"]
except velomap.PanicException:  # a BaseException, not an Exception
    pass

e["bad"] = "x"  # type: ignore[assignment]  # a str is not an int
