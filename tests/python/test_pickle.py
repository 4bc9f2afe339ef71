"""Pickling: the __reduce__ form, round trips for every kind, and transfer to another process."""
import gc
import pickle
import sys
from concurrent.futures import ProcessPoolExecutor

import pytest

import kalvo

COMPLEX_2x3 = [[1 + 2j, 3 + 0j, 4j], [5 + 6j, 7 + 8j, 9 + 1j]]
PROTOCOLS = [0, 2, pickle.HIGHEST_PROTOCOL]


def sample_values(kind, rows=2, cols=3):
    s = kind.samples
    return [[s[(r * cols + c) % len(s)] for c in range(cols)] for r in range(rows)]


def test_reduce_form_of_a_real_row():
    a = kalvo.double([[1, 2, 3]])
    assert a.__reduce__() == (kalvo.double, ({}, [[1.0, 2.0, 3.0]]))


def test_reduce_form_of_a_complex_array():
    cls, (keywords, values) = kalvo.int8([[1 + 2j], [3]], is_complex=True).__reduce__()
    assert cls is kalvo.int8 and keywords == {"is_complex": True}
    assert values == [[1 + 2j], [3 + 0j]] and all(type(v) is complex for row in values for v in row)


@pytest.mark.parametrize("expr, values", [
    ("kalvo.double([[1, 2, 3], [4, 5, 6]])[1]", [4.0, 5.0, 6.0]),
    ("kalvo.double([1, 2, 3])[0][1:]", [2.0, 3.0]),
    ("kalvo.double([[1, 2, 3], [4, 5, 6]])[::-1]", [[4.0, 5.0, 6.0], [1.0, 2.0, 3.0]]),
])
def test_reduce_form_of_partial_arrays_carries_the_values_shown(expr, values):
    assert eval(expr).__reduce__()[1] == ({}, values)


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("shape", [(2, 3), (1, 1), (3, 1), (2, 3, 2)])
@pytest.mark.parametrize("complex_", [False, True], ids=["real", "complex"])
def test_round_trip_of_every_kind(array_type, kind, complex_, shape, protocol):
    if complex_ and not kind.complex_ok:
        pytest.skip("logical arrays are never complex")
    count = 1
    for extent in shape:
        count *= extent
    if complex_:
        flat = [complex(i, count - i) for i in range(count)]
    else:
        flat = [kind.samples[i % len(kind.samples)] for i in range(count)]
    a = array_type(vector=flat, size=list(shape), is_complex=complex_)
    b = pickle.loads(pickle.dumps(a, protocol))
    assert type(b) is type(a) and b == a
    assert (b.size, b._is_complex, b.itemsize) == (a.size, a._is_complex, a.itemsize)
    assert b.__reduce__() == a.__reduce__()


@pytest.mark.parametrize("complex_", [False, True], ids=["real", "complex"])
def test_round_trip_of_partial_arrays(array_type, kind, complex_):
    if complex_ and not kind.complex_ok:
        pytest.skip("logical arrays are never complex")
    a = array_type(COMPLEX_2x3 if complex_ else sample_values(kind), is_complex=complex_)
    # A partial array comes back as a full array of the values it shows.
    row = pickle.loads(pickle.dumps(a[1]))
    assert row.size == (1, 3) and row[0] == a[1]
    rows = pickle.loads(pickle.dumps(a[::-1]))
    assert rows.size == (2, 3) and rows[0] == a[1] and rows[1] == a[0]
    tail = pickle.loads(pickle.dumps(a[0][1:]))
    assert tail.size == (1, 2) and tail[0] == a[0][1:]


def _echo(a):
    """Runs in a worker process: returns what arrived and the worker's view of it."""
    return a, a.size, a.__reduce__()[1]


def test_arrays_cross_process_boundaries():
    arrays = [kalvo.double([[1, 2, 3], [4, 5, 6]]), kalvo.uint64([[2 ** 64 - 1]]),
              kalvo.int16(COMPLEX_2x3, is_complex=True), kalvo.logical([[True, False]]),
              kalvo.single([[1, 2], [3, 4]])[1]]
    with ProcessPoolExecutor(max_workers=1) as pool:
        results = list(pool.map(_echo, arrays))
    for a, (back, size, reduced) in zip(arrays, results):
        here = pickle.loads(pickle.dumps(a))
        assert type(back) is type(a) and back == here
        assert size == here.size and reduced == here.__reduce__()[1]
    assert results[-1][0][0] == arrays[-1]  # the partial array came back as a full 1-by-2 array


def test_repeated_pickling_leaks_nothing():
    arrays = [kalvo.double([[1, 2, 3], [4, 5, 6]]), kalvo.int8(COMPLEX_2x3, is_complex=True)]

    def cycle():
        for a in arrays:
            assert pickle.loads(pickle.dumps(a)) == a
            pickle.loads(pickle.dumps(a[1]))
            a.__reduce__()

    for _ in range(50):
        cycle()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(500):
        cycle()
    gc.collect()
    assert sys.getallocatedblocks() - before < 50
