"""The update routine: branches, reservation, kwargs, failures."""

import collections
import re

import pytest

import velomap
from velomap import ElasticHashMap, FunnelHashMap
from conftest import HashKey, KeysMapping


def test_pairs_and_first_key_object(cls):
    m = cls()
    m.update([(1, "x"), (1.0, "y")])
    assert m[1] == "y" and type(list(m)[0]) is int
    m.update(["ab"])
    assert m["a"] == "b"
    for bad in ([(5, 6), (1, 2, 3)], [1]):
        with pytest.raises(ValueError, match="^update sequence elements must be 2-tuples$"):
            m.update(bad)
    assert m[5] == 6  # a failing call keeps the pairs it took


def test_dict_branch_reads_storage(cls):
    class D(dict):
        def __getitem__(self, k):
            return "override"

        def keys(self):
            return ["nope"]

    m = cls()
    m.update(D(a=1))
    assert dict(m.items()) == {"a": 1}
    assert cls(collections.OrderedDict(b=2))["b"] == 2


# A dict changed by a key's __hash__ while a map is filled from it: a
# change of size is refused; a change that keeps the size never gets a key
# stored twice.
def test_dict_changed_during_update(cls):
    d = {}
    armed = []

    class Meddler:
        def __hash__(self):
            if armed == ["grow"]:
                d[object()] = 1
            elif armed:  # same size, but "a" moves behind the walk
                del d["z"]
                d["a"] = d.pop("a")
                d["y"] = 0
            return 1

    d.update({"a": 1, 2: 2})
    d[Meddler()] = 3
    d["z"] = 4
    armed.append("grow")
    with pytest.raises(velomap.PanicException, match="dictionary changed size during iteration"):
        cls(d)
    del d[next(k for k in d if type(k) is object)]
    armed[0] = "move"
    m = cls()
    # Where the moved key lands in the dict's storage depends on the
    # interpreter's dict: from 3.11 the walk meets it again (and stops);
    # 3.10 rebuilds the storage and the walk goes on over the new one.
    try:
        m.update(d)
    except velomap.PanicException as e:
        assert str(e) == "dictionary keys changed during iteration"
    assert list(m).count("a") == 1
    assert dict(cls({"x": 1, 5: 2}).items()) == {"x": 1, 5: 2}


def test_keys_branch_and_other_class():
    m = FunnelHashMap()
    keys = [HashKey(1, i) for i in range(20)]
    e = ElasticHashMap({k: i for i, k in enumerate(keys)})
    calls = sum(k.eq_calls + k.hash_calls for k in keys)
    f = FunnelHashMap(e)  # stored hashes: no hashing, no comparisons
    assert sum(k.eq_calls + k.hash_calls for k in keys) == calls
    hashes = sum(k.hash_calls for k in keys)
    e.copy().update(e.copy())  # stored hashes again
    assert sum(k.hash_calls for k in keys) == hashes and f == e and ElasticHashMap(f) == e
    f.update(ElasticHashMap({keys[0]: "new", "b": 2}))
    assert f[keys[0]] == "new" and f["b"] == 2 and len(f) == 21

    m.update(KeysMapping([("p", "P"), ("q", "Q")]))
    assert m["p"] == "P" and m["q"] == "Q"

    class BadKeys:
        @property
        def keys(self):
            raise ValueError("bad keys")

    with pytest.raises(ValueError, match="bad keys"):
        m.update(BadKeys())


def test_self_update_panics_and_changes_nothing(cls, capfd):
    m = cls(a=1)
    it = iter(m)
    for action in (lambda: m.update(m), lambda: m.__ior__(m)):
        with pytest.raises(velomap.PanicException, match="^Already mutably borrowed: PyBorrowError$"):
            action()
    assert dict(m.items()) == {"a": 1}
    assert next(it) == "a"
    # The diagnostic names the source file within the project, not where it was built.
    assert re.search(r"\(at src/python/\w+\.h:\d+\)\n", capfd.readouterr().err)


def test_large_dict_or_set_into_an_empty_map(cls):
    # Into a table larger than the cache, a dict's int and str keys are
    # placed in bulk, each written a few placements late; a key whose hash
    # runs Python code ends that first, and is then looked up beside the
    # key placed just before it, which shares its hash.
    d = {i: i for i in range(30000)}
    d[HashKey(29999, "odd")] = -1
    d.update((str(i), i) for i in range(30000, 60000))
    m = cls(d)
    assert len(m) == len(d) and all(m[k] == v for k, v in d.items())
    keys = set(d)  # fromkeys of a set takes the same way
    m = cls.fromkeys(keys, 0)
    assert len(m) == len(keys) and all(m[k] == 0 for k in keys)
