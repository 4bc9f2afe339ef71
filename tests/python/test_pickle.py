"""Pickling: the __reduce__ form and transfer to another process; round trips of every kind and
view are checked by the model test, every protocol and copy by test_fastpaths."""
import pickle
from concurrent.futures import ProcessPoolExecutor

import pytest

import kalvo
from conftest import COMPLEX_2x3


@pytest.mark.parametrize("expr, reduced", [
    ("kalvo.double([[1, 2, 3]])", (kalvo.double, ({}, [[1.0, 2.0, 3.0]]))),
    ("kalvo.int8([[1 + 2j], [3]], is_complex=True)", (kalvo.int8, ({"is_complex": True}, [[1 + 2j], [3 + 0j]]))),
    # A partial array carries the values it shows.
    ("kalvo.double([[1, 2, 3], [4, 5, 6]])[1]", (kalvo.double, ({}, [4.0, 5.0, 6.0]))),
    ("kalvo.double([1, 2, 3])[0][1:]", (kalvo.double, ({}, [2.0, 3.0]))),
    ("kalvo.double([[1, 2, 3], [4, 5, 6]])[::-1]", (kalvo.double, ({}, [[4.0, 5.0, 6.0], [1.0, 2.0, 3.0]]))),
])
def test_reduce_form(expr, reduced):
    got = eval(expr).__reduce__()
    assert got == reduced and repr(got) == repr(reduced)  # repr tells 3.0 and (3+0j) from 3


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
