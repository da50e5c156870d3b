import weakref

import pytest

import velomap
from conftest import MAP_CLASSES


def test_all_lists_the_classes_in_registration_order():
    assert velomap.__all__[:2] == ["ElasticHashMap", "FunnelHashMap"]
    for name in velomap.__all__:
        assert isinstance(getattr(velomap, name), type)


def test_panic_exception_is_a_base_exception():
    assert issubclass(velomap.PanicException, BaseException)
    assert not issubclass(velomap.PanicException, Exception)


@pytest.mark.parametrize("cls", MAP_CLASSES, ids=lambda c: c.__name__)
def test_type_properties(cls):
    name = cls.__name__
    assert (repr(cls), cls.__qualname__) == (f"<class 'velomap.{name}'>", name)
    assert cls.__doc__ == f"A dict-like mapping that wraps velomap's native {name[:-7].lower()} hash map."
    m = cls()
    for refused in (lambda: type("Sub", (cls,), {}), lambda: hash(m), lambda: weakref.ref(m)):
        with pytest.raises(TypeError):
            refused()
    assert not hasattr(m, "__dict__")
