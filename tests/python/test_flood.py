"""Many keys sharing one 64-bit hash (ints x + i * (2**61 - 1) hash alike)."""

import pytest

import velomap

MODULUS = 2**61 - 1


def flood(n):
    return [12345 + i * MODULUS for i in range(n)]


def test_flood_keys_really_share_a_hash():
    assert len({hash(k) for k in flood(50)}) == 1


def test_elastic_keeps_working_under_a_flood():
    m = velomap.ElasticHashMap()
    keys = flood(2000)
    for i, k in enumerate(keys):
        m[k] = i
    assert len(m) == 2000
    assert all(m[k] == i for i, k in enumerate(keys))
    for k in keys[::2]:
        del m[k]
    assert all((k in m) == (i % 2 == 1) for i, k in enumerate(keys))


def test_funnel_refuses_past_its_places_and_keeps_everything():
    m = velomap.FunnelHashMap()
    keys = flood(5000)
    stored = 0
    with pytest.raises(velomap.PanicException, match="^no free slot found after resize$"):
        for k in keys:
            m[k] = k
            stored += 1
    assert stored > 16
    assert len(m) == stored
    assert all(m[k] == k for k in keys[:stored])
    assert keys[stored] not in m
    m["ordinary"] = 1  # still usable
    assert m["ordinary"] == 1


def test_funnel_with_a_tiny_reserve_fraction_keeps_working():
    # Built with reserve fraction 1e-9 the table has fewer usable places than
    # it plans for; rebuilds must retry rather than lose entries.
    m = velomap.FunnelHashMap.with_options(3, 1e-9)
    for i in range(60):
        m[i] = i
    assert len(m) == 60 and all(m[i] == i for i in range(60))
