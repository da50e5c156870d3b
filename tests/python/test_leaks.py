"""Every method and slot, called 100 times with fresh objects, leaves no
reference behind: with the collector off, every object made for a call is
gone once the map is, and long-lived objects keep their reference counts."""

import copy
import gc
import pickle
import sys

import pytest


class Tracked:
    live = 0

    def __new__(cls, *args):  # copies and unpickled objects come through here too
        Tracked.live += 1
        return super().__new__(cls)

    def __init__(self, hash_value):
        self.hash_value = hash_value

    def __del__(self):
        Tracked.live -= 1

    def __hash__(self):
        return self.hash_value

    def __eq__(self, other):
        return isinstance(other, Tracked) and self is other


def swallow(*errors):
    def wrap(fn):
        def run(m, k, v, old):
            try:
                fn(m, k, v, old)
            except errors:
                pass
        return run
    return wrap


OPS = {
    "set new": lambda m, k, v, old: m.__setitem__(k, v),
    "set present": lambda m, k, v, old: m.__setitem__(old, v),
    "get item": swallow(KeyError)(lambda m, k, v, old: (m[old], m[k])),
    "contains": lambda m, k, v, old: (k in m, old in m),
    "delete": swallow(KeyError)(lambda m, k, v, old: (m.__setitem__(k, v), m.__delitem__(k), m.__delitem__(k))),
    "get": lambda m, k, v, old: (m.get(k), m.get(k, v), m.get(old, v)),
    "pop": swallow(KeyError)(lambda m, k, v, old: (m.pop(k, v), m.__setitem__(k, v), m.pop(k), m.pop(k))),
    "popitem": lambda m, k, v, old: m.__setitem__(*m.popitem()),
    "setdefault": lambda m, k, v, old: (m.setdefault(k, v), m.setdefault(old, v)),
    "update": lambda m, k, v, old: (m.update({k: v}), m.update([(k, v)]), m.update(m.copy()),
                                    m.update(x=v), m.__ior__({k: v})),
    "bad update": swallow(ValueError, TypeError)(lambda m, k, v, old: m.update([(k, v), (k,)])),
    "union": lambda m, k, v, old: (m | {k: v}, {k: v} | m, type(m).fromkeys([k, old], v)),
    "compare": lambda m, k, v, old: (m == {k: v}, m != m.copy(), m == type(m)(m)),
    "views": lambda m, k, v, old: [(list(view), len(view), repr(view), k in view, (k, v) in view,
                                    (old, m[old]) in view) for view in (m.keys(), m.values(), m.items())],
    "view sets": lambda m, k, v, old: (m.keys() & [k], m.keys() | [k], m.keys() - [old], m.keys() ^ [k],
                                       m.items() & [(k, v)], m.items() == [(k, v)], m.keys() == {k}),
    "iterate": lambda m, k, v, old: [list(it) for it in (iter(m), iter(m.values()), iter(m.items()))],
    "stale iterator": swallow(RuntimeError)(lambda m, k, v, old: next((it := iter(m), m.__setitem__(k, v))[0])),
    "clear": lambda m, k, v, old: (m.clear(), m.__setitem__(old, v)),
    "copies": lambda m, k, v, old: (copy.copy(m), copy.deepcopy(m), pickle.loads(pickle.dumps(m)),
                                    sys.getsizeof(m)),
    "other": lambda m, k, v, old: (repr(m), len(m), m.capacity, type(m).with_options(4, None, None),
                                   type(m)[int, int]),
}


@pytest.mark.parametrize("op", OPS.values(), ids=OPS.keys())
def test_operations_leak_nothing(cls, op):
    gc.collect()
    gc.disable()
    Tracked.live = 0  # one leak fails its own case only
    try:
        old = Tracked(1)
        m = cls({old: Tracked(2)})
        counts = sys.getrefcount(m), sys.getrefcount(old)
        for i in range(100):
            op(m, Tracked(i % 3), Tracked(0), old)
        assert sys.getrefcount(m) == counts[0]
        assert sys.getrefcount(old) == counts[1]
        del m
        del old
        assert Tracked.live == 0
    finally:
        gc.enable()
