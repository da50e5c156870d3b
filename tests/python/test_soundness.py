"""Hostile and unlucky input: deep nesting, interrupts, reference cycles,
lying lengths, side effects of comparisons, subinterpreters."""

import collections
import copy
import gc
import os
import pickle
import shlex
import subprocess
import sys
import textwrap

import pytest

import velomap
from conftest import HashKey, KeysMapping, Sized


# Run a script in a fresh interpreter (bounded by a timeout, so that a
# deadlock fails the test instead of hanging the suite). NEST is its
# prelude: nest(cls, depth, leaf, wrap) builds maps holding maps, depth deep,
# the innermost holding `leaf`, each level wrapped by wrap(map, level).
NEST = """
import os, sys, threading, warnings, velomap
class Finaliser:
    def __init__(self, on_del):
        self.on_del = on_del
    def __del__(self):
        self.on_del()
def nest(cls, depth, leaf, wrap=lambda n, i: n):
    m = leaf
    for i in range(depth):
        n = cls.with_options(2)
        n[0] = m
        m = wrap(n, i)
    return m
"""


# The interpreter for those scripts: this one, or the command line in
# VELOMAP_TEST_PYTHON (an emulated interpreter must start through its
# emulator).
PYTHON = shlex.split(os.environ.get("VELOMAP_TEST_PYTHON", "")) or [sys.executable]


def run_python(code, *args):
    return subprocess.run([*PYTHON, "-c", NEST + textwrap.dedent(code), *map(str, args)],
                          capture_output=True, text=True, timeout=600)


def test_freeing_deep_nests_does_not_recurse_and_frees_everything():
    depth = int(os.environ.get("VELOMAP_DEEP_NEST", 1_000_000))
    done = run_python("""
        freed = []
        def counted(n, i):  # every level holds a finaliser that counts
            n[1] = Finaliser(lambda: freed.append(1))
            return [n, n.keys(), iter(n.values())][i % 3 if wrapping == 3 else wrapping]
        depth, made = int(sys.argv[1]), 0
        for cls, d in ((velomap.ElasticHashMap, depth), (velomap.FunnelHashMap, depth // 10)):
            for wrapping in range(4):  # maps, views, iterators, all three
                levels = d if wrapping == 0 else depth // 10
                m = nest(cls, levels, None, counted)
                made += levels
                del m
        print(len(freed), made)
    """, depth)
    assert done.returncode == 0, done.stderr[-2000:]
    freed, made = done.stdout.split()
    assert freed == made


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_deferred_frees_belong_to_their_thread(cls):
    # A finaliser 49 frees deep gives up the interpreter lock and waits for
    # another thread's free: that free, and a forked child's, go on.
    done = run_python("""
        warnings.simplefilter("ignore")  # forking with a thread running is the point
        cls = getattr(velomap, sys.argv[1])
        inside, b_freed, forked = threading.Event(), threading.Event(), threading.Event()
        def deep_finaliser():
            inside.set()
            b_freed.wait(10)
            forked.wait(10)
        held = [nest(cls, 49, Finaliser(deep_finaliser))]
        a = threading.Thread(target=held.clear)
        a.start()
        inside.wait(10)
        b = nest(cls, 3, Finaliser(b_freed.set))
        del b
        print("other thread:", b_freed.is_set())
        pid = os.fork()
        if pid == 0:
            c = nest(cls, 3, Finaliser(lambda: os._exit(0)))
            del c
            os._exit(1)
        forked.set()
        print("forked child:", os.waitpid(pid, 0)[1] == 0)
        a.join()
    """, cls.__name__)
    assert done.stdout == "other thread: True\nforked child: True\n", done.stderr[-2000:]


# Base exceptions raised by Python code the maps call (a key's or a value's
# __eq__, the other operand's __len__ or __contains__) reach the caller and
# change nothing; an internal failure also says where it was resumed.
@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, velomap.PanicException])
def test_base_exceptions_from_python_code_propagate_and_change_nothing(cls, error, capfd):
    m = cls()
    m[HashKey(3, "stored", eq_error=error())] = 1
    probe = HashKey(3, "probe")
    for action in (lambda: probe in m, lambda: m.get(probe), lambda: m.__setitem__(probe, 2),
                   lambda: m.setdefault(probe, 2), lambda: m.pop(probe, None),
                   lambda: m.update(Sized((), error())), lambda: cls.fromkeys(Sized((), error())),
                   lambda: cls(a=HashKey(0, eq_error=error())) == {"a": 1},
                   lambda: cls(a=1).keys() == Sized([1], contains_error=error())):
        with pytest.raises(error):
            action()
    assert len(m) == 1 and list(m.values()) == [1]
    if error is velomap.PanicException:
        assert "resuming an internal failure" in capfd.readouterr().err


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

    gc.collect()
    for _ in range(50):
        make()
    gc.collect()
    # Weak references are cleared before any cycle is broken, so only the
    # collector's own list tells whether the cycles were freed.
    assert not any(isinstance(o, Payload) for o in gc.get_objects())


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
    m = cls()
    keys = [HashKey(1, "same") for _ in range(5)]
    assert [m.setdefault(k, i) for i, k in enumerate(keys)] == [0] * 5
    assert [k.hash_calls for k in keys] == [1] * 5 and list(m.values()) == [0]


def test_lying_len_is_only_a_hint(cls):
    src = KeysMapping([("a", 1)], 2**40)  # a mapping whose length lies
    m = cls()
    m.update(src)
    m |= src
    built = [m, cls(src), cls(Sized([("a", 1)], 2**40)), cls() | src, src | cls(),
             cls.fromkeys(Sized(["a"], 2**40), 1)]
    for got in built:
        assert dict(got.items()) == {"a": 1} and got.capacity <= 8192
    # Built-in containers, ranges, dict views and deques have exact lengths:
    # capacity 10000, grown once.
    d = {i: -i for i in range(10000)}
    for exact in (list(d), range(10000), d.keys(), d.values(), collections.deque(d)):
        assert cls.fromkeys(exact).capacity == 20000
    # Room for a trusted length is made before the first element is read;
    # one beyond any capacity reserves nothing.
    for n, capacity in ((10**5, 2**17), (5 * 10**9, 0)):
        m = cls()
        with pytest.raises(ValueError, match="2-tuples"):
            m.update(range(n))
        assert m.capacity == capacity


# Python code run from a stored key's __eq__ while an insertion compares it
# with a new key: what each kind of access to the same map meets.
REENTRY = {
    "assignment": (lambda m, it: m.__setitem__("x", 1), RuntimeError, "^Already borrowed$"),
    "read": (lambda m, it: m.get("x"), RuntimeError, "^Already mutably borrowed$"),
    "copy": (lambda m, it: copy.copy(m), RuntimeError, "^Already mutably borrowed$"),
    "pickle": (lambda m, it: pickle.dumps(m), RuntimeError, "^Already mutably borrowed$"),
    "size": (lambda m, it: sys.getsizeof(m), RuntimeError, "^Already mutably borrowed$"),
    "iterator": (lambda m, it: next(it), velomap.PanicException, "^Already mutably borrowed: PyBorrowError$"),
    "view": (lambda m, it: len(m.keys()), velomap.PanicException, "^Already mutably borrowed: PyBorrowError$"),
}


@pytest.mark.parametrize("access, error, text", REENTRY.values(), ids=REENTRY.keys())
def test_reentry_from_eq_is_refused(cls, access, error, text):
    m = cls()
    seen = []

    def reenter(_other):
        with pytest.raises(error, match=text):
            access(m, it)
        seen.append(True)

    m[HashKey(3, "a", on_eq=reenter)] = 1
    it = iter(m)
    m[HashKey(3, "b")] = 2  # compares with the stored key, whose __eq__ re-enters
    assert seen == [True] and len(m) == 2 and "x" not in m


def test_reads_from_inside_a_read_are_allowed(cls):
    m = cls()
    reads = []
    m[HashKey(4, "a", on_eq=lambda _o: reads.append((len(m), len(m.keys()))))] = 1
    assert HashKey(4, "b") not in m and reads == [(1, 1)]


def test_key_error_carries_the_key_alone(cls):
    m = cls()
    for key in ["nope", 42, (1, 2), (), ("x",)]:
        for action in (lambda: m[key], lambda: m.__delitem__(key), lambda: m.pop(key)):
            with pytest.raises(KeyError) as info:
                action()
            assert info.value.args == (key,)
    with pytest.raises(KeyError) as info:
        m.popitem()
    assert info.value.args == ("popitem(): map is empty",)


def test_subinterpreter_import_is_refused(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no subinterpreter helper")
    result = tmp_path / "outcome"
    assert testcapi.run_in_subinterp(f"""if 1:
        try:
            import velomap
            outcome = "imported"
        except ImportError as e:
            outcome = str(e)
        open({str(result)!r}, "w").write(outcome)
    """) == 0
    assert "subinterpreter" in result.read_text()
    m = velomap.FunnelHashMap(a=1)
    m.update(b=2)
    assert m.get("b") == 2 and velomap.ElasticHashMap(m).get("a") == 1
