"""Hostile and unlucky input: deep nesting, interrupts, reference cycles,
lying lengths, side effects of comparisons, subinterpreters."""

import gc
import os
import subprocess
import sys
import textwrap
import weakref

import pytest

import velomap
from conftest import HashKey


def run_python(code, *args):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                          capture_output=True, text=True, timeout=300)


def test_freeing_deep_nests_does_not_recurse():
    depth = int(os.environ.get("VELOMAP_DEEP_NEST", 1_000_000))
    done = run_python("""
        import sys, velomap
        def nest(cls, depth, wrap):
            m = None
            for i in range(depth):
                n = cls.with_options(1)
                n[0] = m
                m = wrap(n, i)
            return m
        wraps = [lambda n, i: n, lambda n, i: n.keys(), lambda n, i: iter(n.values())]
        depth = int(sys.argv[1])
        for cls, d in ((velomap.ElasticHashMap, depth), (velomap.FunnelHashMap, depth // 10)):
            m = nest(cls, d, wraps[0])
            del m
            for wrap in wraps[1:] + [lambda n, i: wraps[i % 3](n, i)]:
                m = nest(cls, depth // 10, wrap)
                del m
        print("freed")
    """, depth)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout == "freed\n"


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_base_exceptions_from_eq_propagate_and_change_nothing(cls, error):
    m = cls()
    m[HashKey(3, "stored", eq_error=error())] = 1
    probe = HashKey(3, "probe")
    for action in (lambda: probe in m, lambda: m.get(probe), lambda: m.__setitem__(probe, 2),
                   lambda: m.setdefault(probe, 2), lambda: m.pop(probe, None)):
        with pytest.raises(error):
            action()
    assert len(m) == 1 and list(m.values()) == [1]

    class Len:
        def __len__(self):
            raise error()

        def __iter__(self):
            return iter([])

    with pytest.raises(error):
        m.update(Len())
    with pytest.raises(error):
        cls.fromkeys(Len())


def test_real_sigint_inside_eq_interrupts_the_lookup(cls):
    done = run_python(f"""
        import os, signal, velomap
        class K:
            def __hash__(self):
                return 1
            def __eq__(self, other):
                os.kill(os.getpid(), signal.SIGINT)
                for _ in range(100000):
                    pass
                return False
        m = velomap.{cls.__name__}()
        m[K()] = 1
        try:
            m[K()] = 2
        except KeyboardInterrupt:
            print("interrupted", len(m))
    """)
    assert done.stdout == "interrupted 1\n", done.stderr[-2000:]


class Payload:
    pass


@pytest.mark.parametrize("link", ["value", "view", "iterator", "child"])
def test_reference_cycles_are_collected(cls, link):
    def make():
        m = cls()
        m["payload"] = Payload()
        if link == "value":
            m["self"] = m
        elif link == "view":
            m["view"] = m.keys()
        elif link == "iterator":
            m["it"] = iter(m.items())
        else:
            child = Payload()
            child.parent = m
            m["child"] = child
        return weakref.ref(m["payload"])

    gc.collect()
    refs = [make() for _ in range(50)]
    gc.collect()
    assert sum(r() is not None for r in refs) == 0


def test_collection_inside_operations_is_safe(cls):
    class Finalised:
        def __del__(self):
            gc.collect()

    m = cls()
    for i in range(40):
        m[HashKey(i % 5, i, on_eq=lambda _o: gc.collect() if i % 10 == 0 else None)] = (
            Finalised() if i % 10 == 0 else i)
        m[i] = [m]  # a cycle through every value
    m.clear()
    it = iter(cls({i: Finalised() for i in range(3)}).items())
    del it
    gc.collect()


def test_setdefault_hashes_once_and_never_overwrites(cls):
    class Shifty:
        hashes = 0

        def __hash__(self):
            Shifty.hashes += 1
            return Shifty.hashes % 2  # differs from call to call

        def __eq__(self, other):
            return True

    m = cls()
    first = Shifty()
    m.setdefault(first, "kept")
    assert Shifty.hashes == 1
    for _ in range(4):
        m.setdefault(Shifty(), "new")
    assert Shifty.hashes == 5 and "kept" in list(m.values())


def test_lying_len_is_only_a_hint(cls):
    class LiarPairs:
        def __init__(self, items):
            self.items = items

        def __len__(self):
            return 2**40

        def __iter__(self):
            return iter(self.items)

    class Liar(LiarPairs):
        def keys(self):
            return [k for k, _ in self.items]

        def __getitem__(self, k):
            return dict(self.items)[k]

    src = Liar([("a", 1)])
    m = cls()
    m.update(src)
    m |= src
    built = [m, cls(src), cls(LiarPairs([("a", 1)])), cls() | src, src | cls(),
             cls.fromkeys(LiarPairs(["a"]), 1)]
    for got in built:
        assert dict(got.items()) == {"a": 1} and got.capacity <= 8192
    # A built-in container's length is exact: capacity 10000, grown once.
    assert cls.fromkeys(list(range(10000))).capacity == 20000


def test_non_ascii_str_keys_compare_without_side_effects(cls):
    text = "ключ-" * 20
    stored = "".join([text, "1"])
    m = cls()
    m[stored] = 1
    probe = "".join([text, "1"])
    size = sys.getsizeof(probe), sys.getsizeof(stored)
    assert m[probe] == 1 and probe in m
    assert (sys.getsizeof(probe), sys.getsizeof(stored)) == size


def test_key_error_carries_the_key_alone(cls):
    m = cls()
    for key in ["nope", 42, (1, 2), (), ("x",)]:
        for action in (lambda: m[key], lambda: m.__delitem__(key), lambda: m.pop(key)):
            with pytest.raises(KeyError) as info:
                action()
            assert info.value.args == (key,)


def test_subinterpreter_import_is_refused():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no subinterpreter helper")
    result = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"velomap-subinterp-{os.getpid()}")
    code = f"""if 1:
        try:
            import velomap
            outcome = "imported"
        except ImportError as e:
            outcome = str(e)
        with open({result!r}, "w") as f:
            f.write(outcome)
    """
    assert testcapi.run_in_subinterp(code) == 0
    with open(result) as f:
        outcome = f.read()
    os.remove(result)
    assert "subinterpreter" in outcome
    m = velomap.FunnelHashMap(a=1)
    m.update(b=2)
    assert m.get("b") == 2 and velomap.ElasticHashMap(m).get("a") == 1
