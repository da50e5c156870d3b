import weakref

import pytest

import velomap
from conftest import MAP_CLASSES


@pytest.mark.parametrize("cls", MAP_CLASSES, ids=lambda c: c.__name__)
def test_registration_and_type_properties(cls):
    assert velomap.__all__[:2] == ["ElasticHashMap", "FunnelHashMap"]
    assert issubclass(velomap.PanicException, BaseException)
    assert not issubclass(velomap.PanicException, Exception)
    name = cls.__name__
    assert (repr(cls), cls.__qualname__) == (f"<class 'velomap.{name}'>", name)
    assert cls.__doc__ == f"A dict-like mapping that wraps velomap's native {name[:-7].lower()} hash map."
    m = cls(capacity=100)
    assert repr(m) == f"{name}(len=0, capacity=100)"
    m = cls()
    m[1] = 1
    assert repr(m) == f"{name}(len=1, capacity=16)"
    for refused in (lambda: type("Sub", (cls,), {}), lambda: hash(m), lambda: weakref.ref(m)):
        with pytest.raises(TypeError):
            refused()
    with pytest.raises(AttributeError):
        m.capacity = 3
    assert not hasattr(m, "__dict__")
    assert cls.get.__text_signature__ == "($self, key, default=None)"
    assert cls.update.__doc__.startswith("Mirror of `dict.update`.")
    alias = cls[int, str]
    assert alias.__origin__ is cls and alias.__args__ == (int, str)
