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
    assert repr(cls) == f"<class 'velomap.{name}'>"
    assert cls.__module__ == "velomap"
    assert cls.__qualname__ == name
    assert cls.__doc__ == f"A dict-like mapping that wraps velomap's native {name[:-7].lower()} hash map."
    assert cls.__text_signature__ == "(other=None, *, capacity=0, **kwargs)"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    m = cls()
    with pytest.raises(TypeError):
        hash(m)
    with pytest.raises(TypeError):
        weakref.ref(m)
    assert not hasattr(m, "__dict__")
