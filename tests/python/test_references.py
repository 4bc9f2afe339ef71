"""References and memory: every entry point, repeated, leaves no objects behind, on success
and on each failure path, and the objects passed in keep their reference counts."""
import array
import pickle
import sys

import numpy as np
import pytest

import kalvo
from conftest import leak_check

ROWS = [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]
A = kalvo.double(ROWS)
B = kalvo.double([[1, 2, 3], [4, 5, 7]])
C = kalvo.int16(ROWS, is_complex=True)
S = kalvo.single([[1j, 2]], is_complex=True)


def failing(*calls):
    """One action running each call, every one of which must raise."""
    def run():
        for call in calls:
            with pytest.raises(Exception):
                call()
    return run


def succeeding(*calls):
    def run():
        for call in calls:
            call()
    return run


def setting(target, key, value):
    return lambda: target.__setitem__(key, value)


ACTIONS = {
    "construct": succeeding(lambda: kalvo.double(ROWS), lambda: kalvo.int8(vector=[1, 2, 3, 4], size=[2, 2]),
                            lambda: kalvo.uint16(size=[3, 3], is_complex=True), lambda: kalvo.logical({"size": [2]})),
    "construct_failures": failing(
        lambda: kalvo.double([[1, 2], [3]]), lambda: kalvo.int8([1.5]), lambda: kalvo.double(ROWS, size=[3, 2]),
        lambda: kalvo.double(size=[10**9, 10**9]), lambda: kalvo.double(vector=[1, None]),
        lambda: kalvo.logical(is_complex=True)),
    "import": succeeding(lambda: kalvo.double(np.arange(12.0).reshape(3, 4)),
                         lambda: kalvo.double(np.asfortranarray(np.arange(12.0).reshape(3, 4))),
                         lambda: kalvo.uint8(b"\x01\x02")),
    "import_failures": failing(lambda: kalvo.double(array.array("f", [1.0])),
                               lambda: kalvo.double(array.array("d", [1]), is_complex=True)),
    "read": succeeding(lambda: C[1][2], lambda: C[0][1:3][1], lambda: len(C[1][::-1]), lambda: list(C),
                       lambda: [list(r) for r in A], lambda: 2.0 in A[0], lambda: iter(A[0]).__next__()),
    "read_failures": failing(lambda: C[5], lambda: C[10**30], lambda: C[1.0], lambda: C[None], lambda: C[0][::0]),
    "assign": succeeding(setting(C, 0, [1j, 2, 3]), setting(A[1], 2, 3.5), setting(A, slice(0, 2), range(6)),
                         setting(A[1], slice(1, 3), (1, 2))),
    "assign_failures": failing(
        setting(A, 3, [1, 2, 3]), setting(A, "k", 1), setting(A[0], 0, None), setting(A, slice(0, 2), [1, 2, 3, 4, 5]),
        setting(A, 1, [1, 2]), setting(A[1], slice(0, 2), [[1, 2]]), lambda: A.__delitem__(0), setting(A, 2**70, 1)),
    "export": succeeding(lambda: memoryview(A).release(), lambda: memoryview(A[1]).release(),
                         lambda: np.asarray(S).sum(), lambda: A.tomemoryview().tolist(), lambda: A[0].toarray(),
                         lambda: (A.buffer_info(), A.get_bytewise_strides(), A[0][1:].size, A.itemsize)),
    "methods": succeeding(lambda: A.clone(), lambda: C[1].clone(), lambda: C.real(), lambda: C._imag,
                          lambda: A[1].noncomplex(), lambda: A.reshape(3, 2).reshape(2, 3)),
    "method_failures": failing(lambda: A.reshape(4, 2), lambda: A.reshape("x"), lambda: A.real(),
                               lambda: C.noncomplex(), lambda: A[0].reshape(3)),
    "pickle": succeeding(lambda: pickle.loads(pickle.dumps(A)), lambda: pickle.loads(pickle.dumps(C[1])),
                         lambda: C.__reduce__()),
    "compare": succeeding(lambda: A == B, lambda: A == C, lambda: A != A, lambda: A == None,  # noqa: E711
                          lambda: A[1] == B[1], lambda: A == kalvo.int8([1])),
    "compare_failures": failing(lambda: A < B),
    "text": succeeding(lambda: str(C), lambda: repr(C[1]), lambda: repr(A[0][1:])),
}


@pytest.mark.parametrize("action", ACTIONS.values(), ids=ACTIONS.keys())
def test_repeated_calls_leak_nothing(action):
    refs = [sys.getrefcount(x) for x in (A, B, C, S)]
    leak_check(action)
    assert [sys.getrefcount(x) for x in (A, B, C, S)] == refs
    assert A.reshape(2, 3) is A  # no export was left behind


def test_inputs_keep_their_reference_counts():
    value = 12345.5
    rows = [[value, 2.0], [3.0, value]]
    size = [2, 2]
    vector = [value, value, value, value]
    keywords = {"size": size}
    data = np.arange(4.0)
    watched = (value, rows, rows[0], size, vector, keywords, data)
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(100):
        kalvo.double(rows), kalvo.double(rows, size), kalvo.double(vector=vector, size=size)
        kalvo.double(keywords), kalvo.double(rows, is_complex=True), kalvo.double(data)
        failing(lambda: kalvo.double(rows, [3]), lambda: kalvo.double([rows, None]),
                lambda: kalvo.double(vector, None, vector), lambda: kalvo.int8(vector=vector),
                lambda: kalvo.single(data))()
        A[0] = rows[0] + [value]
    assert [sys.getrefcount(o) for o in watched] == before
