import os

import pytest

import velomap

# The sanitized run must test the sanitized build, not the installed one.
if os.environ.get("VELOMAP_EXPECT_MODULE"):
    assert velomap.__file__.startswith(os.environ["VELOMAP_EXPECT_MODULE"]), velomap.__file__

MAP_CLASSES = [velomap.ElasticHashMap, velomap.FunnelHashMap]


@pytest.fixture(params=MAP_CLASSES, ids=lambda c: c.__name__)
def cls(request):
    return request.param


def raises(exc, *actions, match=None):
    """Each action raises `exc` (with a message matching `match`)."""
    for action in actions:
        with pytest.raises(exc, match=match):
            action()


class Sized:
    """Iterates `items` and reports `length` as its length (an exception
    instance is raised instead); `in` raises `contains_error` if given."""

    def __init__(self, items=(), length=None, contains_error=None):
        self.items, self.length, self.contains_error = items, length, contains_error

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __iter__(self):
        return iter(self.items)

    def __contains__(self, x):
        if self.contains_error is not None:
            raise self.contains_error
        return x in self.items


class KeysMapping(Sized):
    """A mapping by keys() and [] alone: the keys of `items` (or `keys`, when
    given; one without an item raises KeyError) and their items' values."""

    def __init__(self, items=(), length=None, keys=None):
        super().__init__(items, length)
        self.key_list = [k for k, _ in items] if keys is None else keys

    def keys(self):
        return iter(self.key_list)

    def __getitem__(self, k):
        return dict(self.items)[k]


class HashKey:
    """A key with a chosen hash; its __eq__ compares `name` and may be told to
    raise, or to run a callback first. Both count their calls."""

    def __init__(self, hash_value, name=None, eq_error=None, on_eq=None):
        self.hash_value = hash_value
        self.name = name if name is not None else hash_value
        self.eq_error = eq_error
        self.on_eq = on_eq
        self.eq_calls = self.hash_calls = 0

    def __hash__(self):
        self.hash_calls += 1
        return self.hash_value

    def __eq__(self, other):
        self.eq_calls += 1
        if self.on_eq is not None:
            self.on_eq(other)
        if self.eq_error is not None:
            raise self.eq_error
        return isinstance(other, HashKey) and self.name == other.name

    def __repr__(self):
        return f"HashKey({self.hash_value}, {self.name!r})"
