# Type information for the velomap extension module (PEP 561 stub package).
from _typeshed import SupportsKeysAndGetItem
from collections.abc import Iterable, Iterator
from types import GenericAlias
from typing import Any, Generic, TypeVar, final, overload

from typing_extensions import Self

__all__ = [
    "ElasticHashMap",
    "FunnelHashMap",
    "elastic_keys",
    "elastic_values",
    "elastic_items",
    "_ElasticKeyIter",
    "_ElasticValueIter",
    "_ElasticItemIter",
    "funnel_keys",
    "funnel_values",
    "funnel_items",
    "_FunnelKeyIter",
    "_FunnelValueIter",
    "_FunnelItemIter",
]

__version__: str

_K = TypeVar("_K")
_V = TypeVar("_V")
_T = TypeVar("_T")
_S = TypeVar("_S")
_K_co = TypeVar("_K_co", covariant=True)
_V_co = TypeVar("_V_co", covariant=True)

class PanicException(BaseException):
    """An internal failure; ordinary use never meets one."""

# Views show their map's current state; set operations return sets. They are
# not registered with collections.abc.
class _KeysView(Generic[_K_co]):
    """A live view of a map's keys, with set operations."""
    def __len__(self) -> int:
        """Number of entries."""
    def __iter__(self) -> Iterator[_K_co]:
        """Iterate in table order; the iterator refuses to go on once the map changes."""
    def __contains__(self, key: object, /) -> bool:
        """Whether the key (the pair, for items; the value, for values) is present."""
    def __eq__(self, other: object, /) -> bool:
        """Equal contents, compared as the corresponding dict would."""
    def __ne__(self, other: object, /) -> bool:
        """Not equal contents."""
    def __and__(self, other: Iterable[Any], /) -> set[_K_co]:
        """Intersection with any iterable, as a set."""
    def __rand__(self, other: Iterable[_T], /) -> set[_T]:
        """Intersection with any iterable, as a set."""
    def __or__(self, other: Iterable[_T], /) -> set[_K_co | _T]:
        """Union with any iterable, as a set."""
    def __ror__(self, other: Iterable[_T], /) -> set[_K_co | _T]:
        """Union with any iterable, as a set."""
    def __sub__(self, other: Iterable[Any], /) -> set[_K_co]:
        """Difference with any iterable, as a set."""
    def __rsub__(self, other: Iterable[_T], /) -> set[_T]:
        """Difference with any iterable, as a set."""
    def __xor__(self, other: Iterable[_T], /) -> set[_K_co | _T]:
        """Symmetric difference with any iterable, as a set."""
    def __rxor__(self, other: Iterable[_T], /) -> set[_K_co | _T]:
        """Symmetric difference with any iterable, as a set."""
    __hash__: None  # type: ignore[assignment]

class _ValuesView(Generic[_V_co]):
    """A live view of a map's values."""
    def __len__(self) -> int:
        """Number of entries."""
    def __iter__(self) -> Iterator[_V_co]:
        """Iterate in table order; the iterator refuses to go on once the map changes."""
    def __contains__(self, value: object, /) -> bool:
        """Whether the key (the pair, for items; the value, for values) is present."""

class _ItemsView(Generic[_K_co, _V_co]):
    """A live view of a map's (key, value) pairs, with set operations."""
    def __len__(self) -> int:
        """Number of entries."""
    def __iter__(self) -> Iterator[tuple[_K_co, _V_co]]:
        """Iterate in table order; the iterator refuses to go on once the map changes."""
    def __contains__(self, item: object, /) -> bool:
        """Whether the key (the pair, for items; the value, for values) is present."""
    def __eq__(self, other: object, /) -> bool:
        """Equal contents, compared as the corresponding dict would."""
    def __ne__(self, other: object, /) -> bool:
        """Not equal contents."""
    def __and__(self, other: Iterable[Any], /) -> set[tuple[_K_co, _V_co]]:
        """Intersection with any iterable, as a set."""
    def __rand__(self, other: Iterable[_T], /) -> set[_T]:
        """Intersection with any iterable, as a set."""
    def __or__(self, other: Iterable[_T], /) -> set[tuple[_K_co, _V_co] | _T]:
        """Union with any iterable, as a set."""
    def __ror__(self, other: Iterable[_T], /) -> set[tuple[_K_co, _V_co] | _T]:
        """Union with any iterable, as a set."""
    def __sub__(self, other: Iterable[Any], /) -> set[tuple[_K_co, _V_co]]:
        """Difference with any iterable, as a set."""
    def __rsub__(self, other: Iterable[_T], /) -> set[_T]:
        """Difference with any iterable, as a set."""
    __hash__: None  # type: ignore[assignment]

class _Iter(Generic[_T]):
    """An iterator over a map in table order."""
    def __iter__(self) -> Self:
        """Iterate in table order; the iterator refuses to go on once the map changes."""
    def __next__(self) -> _T:
        """The next element; RuntimeError once the map has changed."""

@final
class elastic_keys(_KeysView[_K_co]):
    """Live view of a elastic map's keys."""

@final
class elastic_values(_ValuesView[_V_co]):
    """Live view of a elastic map's values."""

@final
class elastic_items(_ItemsView[_K_co, _V_co]):
    """Live view of a elastic map's (key, value) pairs."""

@final
class funnel_keys(_KeysView[_K_co]):
    """Live view of a funnel map's keys."""

@final
class funnel_values(_ValuesView[_V_co]):
    """Live view of a funnel map's values."""

@final
class funnel_items(_ItemsView[_K_co, _V_co]):
    """Live view of a funnel map's (key, value) pairs."""

@final
class _ElasticKeyIter(_Iter[_T]):
    """Iterator over a elastic map's keys."""

@final
class _ElasticValueIter(_Iter[_T]):
    """Iterator over a elastic map's values."""

@final
class _ElasticItemIter(_Iter[_T]):
    """Iterator over a elastic map's (key, value) pairs."""

@final
class _FunnelKeyIter(_Iter[_T]):
    """Iterator over a funnel map's keys."""

@final
class _FunnelValueIter(_Iter[_T]):
    """Iterator over a funnel map's values."""

@final
class _FunnelItemIter(_Iter[_T]):
    """Iterator over a funnel map's (key, value) pairs."""

# The members both map classes share, written once; each class below fixes
# its own view and iterator types, options and constructors.
class _Map(Generic[_K, _V]):
    """The mapping interface both map classes share."""
    @property
    def capacity(self) -> int:
        """The capacity the table is built for (it grows at capacity - floor(capacity * reserve_fraction) entries)."""
    def __len__(self) -> int:
        """Number of entries."""
    def __getitem__(self, key: _K, /) -> _V:
        """The value stored under key; KeyError when absent."""
    def __setitem__(self, key: _K, value: _V, /) -> None:
        """Store value under key (an equal key already stored is kept)."""
    def __delitem__(self, key: _K, /) -> None:
        """Remove key; KeyError when absent."""
    def __contains__(self, key: object, /) -> bool:
        """Whether the key (the pair, for items; the value, for values) is present."""
    def __eq__(self, other: object, /) -> bool:
        """Equal contents, compared as the corresponding dict would."""
    def __ne__(self, other: object, /) -> bool:
        """Not equal contents."""
    __hash__: None  # type: ignore[assignment]
    @overload
    def get(self, key: _K, default: None = None) -> _V | None:
        """The value under key, or default."""
    @overload
    def get(self, key: _K, default: _V | _T) -> _V | _T:
        """The value under key, or default."""
    # A None default counts as no default: pop(missing, None) raises KeyError.
    @overload
    def pop(self, key: _K, default: None = None) -> _V:
        """Remove key and return its value; default when absent, KeyError when there is no default (a None default counts as none)."""
    @overload
    def pop(self, key: _K, default: _V | _T) -> _V | _T:
        """Remove key and return its value; default when absent, KeyError when there is no default (a None default counts as none)."""
    def popitem(self) -> tuple[_K, _V]:
        """Remove and return the first (key, value) pair in table order; KeyError when empty."""
    @overload
    def setdefault(self: _Map[_K, _T | None], key: _K, default: None = None) -> _T | None:
        """The value under key; when absent, store default first."""
    @overload
    def setdefault(self, key: _K, default: _V) -> _V:
        """The value under key; when absent, store default first."""
    def clear(self) -> None:
        """Remove every entry; the capacity stays."""
    @overload
    def update(self, other: SupportsKeysAndGetItem[_K, _V], **kwargs: _V) -> None:
        """Add pairs from a map, a dict, anything with keys(), or an iterable of pairs, then keyword arguments."""
    @overload
    def update(self, other: Iterable[tuple[_K, _V]], **kwargs: _V) -> None:
        """Add pairs from a map, a dict, anything with keys(), or an iterable of pairs, then keyword arguments."""
    @overload
    def update(self, other: None = None, **kwargs: _V) -> None:
        """Add pairs from a map, a dict, anything with keys(), or an iterable of pairs, then keyword arguments."""
    def copy(self) -> Self:
        """A shallow copy with the class defaults."""
    def __copy__(self) -> Self:
        """A shallow copy with the class defaults (copy.copy)."""
    def __deepcopy__(self, memo: dict[int, Any] | None, /) -> Self:
        """A deep copy with the same options and capacity (copy.deepcopy)."""
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickle support: rebuilt through with_options with the same options and capacity."""
    def __sizeof__(self) -> int:
        """Bytes of the object and the tables it owns, not of the keys and values."""
    def __ior__(self, other: SupportsKeysAndGetItem[_K, _V] | Iterable[tuple[_K, _V]], /) -> Self:
        """Update in place from a mapping or an iterable of pairs (m |= other)."""
    def __class_getitem__(cls, item: Any) -> GenericAlias:
        """Cls[K, V] for type annotations (a types.GenericAlias)."""

@final
class ElasticHashMap(_Map[_K, _V]):
    """A dict-like mapping on an elastic hash table: entries never move once placed."""
    @overload
    def __new__(cls, other: None = None, *, capacity: int = 0) -> Self:
        """A new map holding the pairs of other (a map, a dict, anything with keys(), or pairs), then of kwargs."""
    @overload
    def __new__(cls, other: None = None, *, capacity: int = 0, **kwargs: _V) -> ElasticHashMap[str, _V]:
        """A new map holding the pairs of other (a map, a dict, anything with keys(), or pairs), then of kwargs."""
    @overload
    def __new__(cls, other: SupportsKeysAndGetItem[_K, _V], *, capacity: int = 0) -> ElasticHashMap[_K, _V]:
        """A new map holding the pairs of other (a map, a dict, anything with keys(), or pairs), then of kwargs."""
    @overload
    def __new__(
        cls, other: SupportsKeysAndGetItem[str, _V], *, capacity: int = 0, **kwargs: _V
    ) -> ElasticHashMap[str, _V]:
        """A new map holding the pairs of other (a map, a dict, anything with keys(), or pairs), then of kwargs."""
    @overload
    def __new__(cls, other: Iterable[tuple[_K, _V]], *, capacity: int = 0) -> ElasticHashMap[_K, _V]:
        """A new map holding the pairs of other (a map, a dict, anything with keys(), or pairs), then of kwargs."""
    @overload
    def __new__(cls, other: Iterable[tuple[str, _V]], *, capacity: int = 0, **kwargs: _V) -> ElasticHashMap[str, _V]:
        """A new map holding the pairs of other (a map, a dict, anything with keys(), or pairs), then of kwargs."""
    @classmethod
    def with_options(
        cls, capacity: int = 0, reserve_fraction: float | None = None, probe_scale: float | None = None
    ) -> ElasticHashMap[Any, Any]:
        """An empty map for capacity entries; reserve_fraction in (0, 1) (default 0.1), probe_scale > 0 (default 16.0)."""
    @classmethod
    @overload
    def fromkeys(cls, iterable: Iterable[_T], value: None = None) -> ElasticHashMap[_T, Any | None]:
        """A new map with every element of iterable as a key, each mapped to value."""
    @classmethod
    @overload
    def fromkeys(cls, iterable: Iterable[_T], value: _S) -> ElasticHashMap[_T, _S]:
        """A new map with every element of iterable as a key, each mapped to value."""
    def keys(self) -> elastic_keys[_K]:
        """A live view of the keys."""
    def values(self) -> elastic_values[_V]:
        """A live view of the values."""
    def items(self) -> elastic_items[_K, _V]:
        """A live view of the (key, value) pairs."""
    def __iter__(self) -> _ElasticKeyIter[_K]:
        """Iterate in table order; the iterator refuses to go on once the map changes."""
    def __or__(
        self, other: SupportsKeysAndGetItem[_T, _S] | Iterable[tuple[_T, _S]], /
    ) -> ElasticHashMap[_K | _T, _V | _S]:
        """A new map of this class: this map's pairs, then other's."""
    def __ror__(
        self, other: SupportsKeysAndGetItem[_T, _S] | Iterable[tuple[_T, _S]], /
    ) -> ElasticHashMap[_K | _T, _V | _S]:
        """A new map of this class: other's pairs, then this map's."""

@final
class FunnelHashMap(_Map[_K, _V]):
    """A dict-like mapping on a funnel hash table: entries never move once placed."""
    @overload
    def __new__(cls, other: None = None, *, capacity: int = 0) -> Self:
        """A new map holding the pairs of other (a map, a dict, anything with keys(), or pairs), then of kwargs."""
    @overload
    def __new__(cls, other: None = None, *, capacity: int = 0, **kwargs: _V) -> FunnelHashMap[str, _V]:
        """A new map holding the pairs of other (a map, a dict, anything with keys(), or pairs), then of kwargs."""
    @overload
    def __new__(cls, other: SupportsKeysAndGetItem[_K, _V], *, capacity: int = 0) -> FunnelHashMap[_K, _V]:
        """A new map holding the pairs of other (a map, a dict, anything with keys(), or pairs), then of kwargs."""
    @overload
    def __new__(
        cls, other: SupportsKeysAndGetItem[str, _V], *, capacity: int = 0, **kwargs: _V
    ) -> FunnelHashMap[str, _V]:
        """A new map holding the pairs of other (a map, a dict, anything with keys(), or pairs), then of kwargs."""
    @overload
    def __new__(cls, other: Iterable[tuple[_K, _V]], *, capacity: int = 0) -> FunnelHashMap[_K, _V]:
        """A new map holding the pairs of other (a map, a dict, anything with keys(), or pairs), then of kwargs."""
    @overload
    def __new__(cls, other: Iterable[tuple[str, _V]], *, capacity: int = 0, **kwargs: _V) -> FunnelHashMap[str, _V]:
        """A new map holding the pairs of other (a map, a dict, anything with keys(), or pairs), then of kwargs."""
    @classmethod
    def with_options(
        cls, capacity: int = 0, reserve_fraction: float | None = None, primary_probe_limit: int | None = None
    ) -> FunnelHashMap[Any, Any]:
        """An empty map for capacity entries; reserve_fraction in (0, 0.125] (default 0.1), primary_probe_limit > 0 (default chosen from the capacity)."""
    @classmethod
    @overload
    def fromkeys(cls, iterable: Iterable[_T], value: None = None) -> FunnelHashMap[_T, Any | None]:
        """A new map with every element of iterable as a key, each mapped to value."""
    @classmethod
    @overload
    def fromkeys(cls, iterable: Iterable[_T], value: _S) -> FunnelHashMap[_T, _S]:
        """A new map with every element of iterable as a key, each mapped to value."""
    def keys(self) -> funnel_keys[_K]:
        """A live view of the keys."""
    def values(self) -> funnel_values[_V]:
        """A live view of the values."""
    def items(self) -> funnel_items[_K, _V]:
        """A live view of the (key, value) pairs."""
    def __iter__(self) -> _FunnelKeyIter[_K]:
        """Iterate in table order; the iterator refuses to go on once the map changes."""
    def __or__(
        self, other: SupportsKeysAndGetItem[_T, _S] | Iterable[tuple[_T, _S]], /
    ) -> FunnelHashMap[_K | _T, _V | _S]:
        """A new map of this class: this map's pairs, then other's."""
    def __ror__(
        self, other: SupportsKeysAndGetItem[_T, _S] | Iterable[tuple[_T, _S]], /
    ) -> FunnelHashMap[_K | _T, _V | _S]:
        """A new map of this class: other's pairs, then this map's."""
