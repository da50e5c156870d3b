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
    m = cls()
    for refused in (lambda: type("Sub", (cls,), {}), lambda: hash(m), lambda: weakref.ref(m)):
        with pytest.raises(TypeError):
            refused()
    assert not hasattr(m, "__dict__")
