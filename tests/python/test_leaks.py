"""Every key and value object is released when maps, views and iterators go."""

import gc
import sys
import weakref

import pytest

import velomap


class Key:
    def __init__(self, i):
        self.i = i

    def __hash__(self):
        return self.i % 7  # plenty of equal hashes

    def __eq__(self, other):
        return isinstance(other, Key) and self.i == other.i


class Value:
    pass


def workload(cls, keys, values):
    m = cls()
    for k, v in zip(keys, values):
        m[k] = v
    m.update((k, v) for k, v in zip(keys[::3], values[::3]))
    for k in keys[::4]:
        m.pop(k, None)
    m.setdefault(keys[1], values[0])
    c = m.copy() | {keys[2]: values[2]}
    views = [m.keys(), m.values(), m.items(), c.items()]
    its = [iter(v) for v in views] + [iter(m)]
    _ = [list(it) for it in its[:2]]
    _ = views[0] & set(keys[:5]), views[2] | [], repr(views[1]), views[0] == keys
    while len(m) > len(keys) // 2:
        m.popitem()
    del m[next(iter(m))]
    m.clear()
    m.update(c)
    return m, c, views, its


@pytest.mark.parametrize("cls", [velomap.ElasticHashMap, velomap.FunnelHashMap])
def test_all_keys_and_values_are_released(cls):
    keys = [Key(i) for i in range(300)]
    values = [Value() for _ in range(300)]
    refs = [weakref.ref(o) for o in keys + values]
    counts = [sys.getrefcount(o) for o in keys + values]
    for _ in range(20):
        state = workload(cls, keys, values)
        del state
    gc.collect()
    assert [sys.getrefcount(o) for o in keys + values] == counts
    del keys, values
    gc.collect()
    assert all(r() is None for r in refs)
