"""str() and repr(): the nested-list text of what an array or partial array selects, blanks removed."""
import gc
import random
import sys

import pytest


def listing(x):
    """What `x` selects as nested Python lists, read by index (first index outermost)."""
    try:
        n = len(x)
    except TypeError:
        return x
    return [listing(x[i]) for i in range(n)]


def text_of(nested):
    return str(nested).replace(" ", "")


def element(kind, value, is_complex=False):
    if is_complex:
        return complex(value)
    return {"d": float, "f": float, "?": bool}.get(kind.fmt, int)(value)


A23 = [[1, 2, 3], [4, 5, 6]]
CUBE = [[[1, 2], [3, 4]], [[5, 6], [7, 8]]]


@pytest.mark.parametrize("make, expected", [
    (lambda km: km.double([[5]]), "kalvo.double([[5.0]])"),
    (lambda km: km.int32([1, 2, 3]), "kalvo.int32([[1,2,3]])"),
    (lambda km: km.double([[1, 2], [3, 4]]), "kalvo.double([[1.0,2.0],[3.0,4.0]])"),
    (lambda km: km.int8(CUBE), "kalvo.int8([[[1,2],[3,4]],[[5,6],[7,8]]])"),
    (lambda km: km.int8(CUBE)[1], "kalvo.int8([[5,6],[7,8]])"),
    (lambda km: km.int8(CUBE)[1][0:1], "kalvo.int8([[5,6]])"),
    (lambda km: km.int8(CUBE)[::-1][0][1], "kalvo.int8([7,8])"),
    (lambda km: km.double(), "kalvo.double([])"),
    (lambda km: km.double(size=[0, 3]), "kalvo.double([])"),
    (lambda km: km.double(size=[0]), "kalvo.double([[]])"),
    (lambda km: km.double(size=[2, 0]), "kalvo.double([[],[]])"),
    (lambda km: km.logical([True, False]), "kalvo.logical([[True,False]])"),
    (lambda km: km.double([[1 + 2j, 3 - 4j]], is_complex=True),
     "kalvo.double([[(1+2j),(3-4j)]], is_complex=True)"),
    (lambda km: km.double([[1, 2]], is_complex=True), "kalvo.double([[(1+0j),(2+0j)]], is_complex=True)"),
    (lambda km: km.int16([[3 + 4j]], is_complex=True)[0], "kalvo.int16([(3+4j)], is_complex=True)"),
    (lambda km: km.single([0.1]), "kalvo.single([[0.10000000149011612]])"),
    (lambda km: km.uint64([2**64 - 1]), "kalvo.uint64([[18446744073709551615]])"),
    (lambda km: km.int64([-2**63]), "kalvo.int64([[-9223372036854775808]])"),
    (lambda km: km.double(A23)[1], "kalvo.double([4.0,5.0,6.0])"),
    (lambda km: km.double(A23)[0:2], "kalvo.double([[1.0,2.0,3.0],[4.0,5.0,6.0]])"),
    (lambda km: km.double(A23)[2:2], "kalvo.double([])"),
    (lambda km: km.double(A23)[0][5:], "kalvo.double([])"),
    (lambda km: km.double(A23)[1][::-2], "kalvo.double([6.0,4.0])"),
    (lambda km: km.double(A23)[::-1][0:1], "kalvo.double([[4.0,5.0,6.0]])"),
])
def test_forms(km, make, expected):
    try:
        a = make(km)
    except NotImplementedError as e:
        pytest.skip(f"construction unavailable: {e}")
    # str() is repr() without the constructor wrapping.
    body = expected[expected.index("(") + 1:-1].replace(", is_complex=True", "")
    assert str(a) == body
    assert repr(a) == expected


def test_every_kind(kind, array_type, build):
    rows = [list(kind.samples), [kind.max] * len(kind.samples), [kind.min] * len(kind.samples)]
    a = build(array_type, rows)
    expected = text_of([[element(kind, v) for v in row] for row in rows])
    assert str(a) == expected
    assert repr(a) == f"kalvo.{kind.name}({expected})"
    assert str(a[2]) == text_of([element(kind, kind.min)] * len(kind.samples))


def test_every_numeric_kind_complex(km, numeric_kind, build):
    array_type = getattr(km, numeric_kind.name)
    rows = [[3 + 4j, 1, 0], [2, 5j, 7 + 0j]]
    a = build(array_type, rows, is_complex=True)
    expected = text_of([[complex(v) for v in row] for row in rows])
    assert str(a) == expected
    assert repr(a) == f"kalvo.{numeric_kind.name}({expected}, is_complex=True)"
    assert repr(a[1][1:]) == f"kalvo.{numeric_kind.name}([5j,(7+0j)], is_complex=True)"


def test_text_matches_values_read_by_index(km, build):
    # Nesting follows the index order whatever the storage order; check against reads.
    rng = random.Random(11)
    a = build(km.int32, vector=list(range(24)), size=[2, 3, 4])
    assert str(a) == text_of(listing(a))
    for _ in range(200):
        x = a
        for _ in range(rng.randint(0, 2)):
            x = x[rng.randrange(len(x))] if rng.random() < 0.5 and len(x) else x[
                slice(rng.choice([None, -2, 0, 1]), rng.choice([None, -1, 2, 5]), rng.choice([None, -1, 2]))]
        assert str(x) == text_of(listing(x))


def test_repr_round_trips(km, build):
    for a in (build(km.double, A23), build(km.int8, CUBE), build(km.single, [[1.5, -2.25]], is_complex=True),
              build(km.uint16, [[65535, 0]], is_complex=True), build(km.logical, [[True], [False]])):
        again = eval(repr(a), {"kalvo": km})
        assert type(again) is type(a) and repr(again) == repr(a)


def test_text_does_not_leak(km, build):
    a = build(km.double, CUBE, is_complex=True)

    def work():
        str(a)
        repr(a[1])
        repr(a[0][1:])

    for _ in range(100):
        work()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(3000):
        work()
    gc.collect()
    assert sys.getallocatedblocks() - before < 50
