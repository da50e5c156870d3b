"""Both map classes driven side by side with a dict by random operations;
they must agree on content (not on order: maps iterate in table order)."""

import math
import os

from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

import velomap
from conftest import HashKey

NAN = math.nan
# Ints, strs, keys sharing one hash, and one NaN object (found through itself).
KEYS = st.one_of(
    st.integers(-50, 50),
    st.sampled_from(["a", "b", "spam", "é", ""]),
    st.builds(lambda i: HashKey(7, i), st.integers(0, 40)),
    st.just(NAN),
)
VALUES = st.integers(0, 5)


def missing_or(fn, *args):
    try:
        return fn(*args)
    except KeyError:
        return "missing"


class AgreeWithDict(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.model = {}
        self.maps = [velomap.ElasticHashMap(), velomap.FunnelHashMap()]

    def each(self, fn):
        expected = fn(self.model)
        for m in self.maps:
            assert fn(m) == expected
        return expected

    @rule(k=KEYS, v=VALUES)
    def set(self, k, v):
        for m in (self.model, *self.maps):
            m[k] = v

    @rule(k=KEYS)
    def delete(self, k):
        self.each(lambda m: missing_or(m.__delitem__, k))

    @rule(k=KEYS, default=st.one_of(st.none(), VALUES))
    def pop(self, k, default):
        # A None default counts as absent for the maps; dict gets none.
        self.each(lambda m: missing_or(m.pop, k) if default is None else m.pop(k, default))

    @rule()
    def popitem(self):
        # Each map pops its own first entry; put it back so that all agree.
        for m in self.maps:
            if self.model:
                first = next(iter(m))
                k, v = m.popitem()
                assert k is first and self.model[k] == v and k not in m
                m[k] = v

    @rule(k=KEYS, v=VALUES)
    def setdefault(self, k, v):
        self.each(lambda m: m.setdefault(k, v))

    @rule(pairs=st.lists(st.tuples(KEYS, VALUES), max_size=8),
          kw=st.dictionaries(st.sampled_from("xyz"), VALUES, max_size=2))
    def update(self, pairs, kw):
        for m in (self.model, *self.maps):
            m.update(pairs, **kw)

    @rule()
    def clear(self):
        for m in (self.model, *self.maps):
            m.clear()

    @rule()
    def copy(self):
        self.maps = [m.copy() for m in self.maps]

    @rule(k=KEYS)
    def lookups(self, k):
        self.each(lambda m: (k in m, m.get(k, "none")))
        self.each(lambda m: k in m.keys())

    @invariant()
    def same_content(self):
        n = len(self.model)
        for m in self.maps:
            assert len(m) == n
            assert len(list(m)) == n
            assert all(m[k] == v for k, v in self.model.items())
            assert m.keys() == self.model.keys()
            items = list(m.items())
            assert len(items) == n and all(self.model[k] == v for k, v in items)
            assert sorted(m.values()) == sorted(self.model.values())


# Fewer examples where the interpreter is emulated (VELOMAP_HYPOTHESIS_EXAMPLES).
EXAMPLES = int(os.environ.get("VELOMAP_HYPOTHESIS_EXAMPLES", 150))
AgreeWithDict.TestCase.settings = settings(max_examples=EXAMPLES, stateful_step_count=40, deadline=None)
TestAgreeWithDict = AgreeWithDict.TestCase
