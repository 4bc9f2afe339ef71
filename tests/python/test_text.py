"""str() and repr(): the nested-list text of what an array or partial array selects, blanks removed.
Every kind's values and random partial arrays are checked by the model test, float formatting
by test_fastpaths."""
import pytest

A23 = "[[1, 2, 3], [4, 5, 6]]"
CUBE = "[[[1, 2], [3, 4]], [[5, 6], [7, 8]]]"


@pytest.mark.parametrize("expr, expected", [
    ("km.int32([1, 2, 3])", "kalvo.int32([[1,2,3]])"),
    (f"km.int8({CUBE})[1][0:1]", "kalvo.int8([[5,6]])"),
    (f"km.int8({CUBE})[::-1][0][1]", "kalvo.int8([7,8])"),
    ("km.double()", "kalvo.double([])"),
    ("km.double(size=[0, 3])", "kalvo.double([])"),
    ("km.double(size=[0])", "kalvo.double([[]])"),
    ("km.double(size=[2, 0])", "kalvo.double([[],[]])"),
    ("km.double(size=[2, 3, 0])", "kalvo.double([[[],[],[]],[[],[],[]]])"),
    ("km.logical([True, False])", "kalvo.logical([[True,False]])"),
    ("km.double([[1, 2]], is_complex=True)", "kalvo.double([[(1+0j),(2+0j)]], is_complex=True)"),
    ("km.int16([[3 + 4j]], is_complex=True)[0]", "kalvo.int16([(3+4j)], is_complex=True)"),
    ("km.single([0.1])", "kalvo.single([[0.10000000149011612]])"),
    (f"km.double({A23})[2:2]", "kalvo.double([])"),
    (f"km.double({A23})[0][5:]", "kalvo.double([])"),
])
def test_forms(km, expr, expected):
    a = eval(expr, {"km": km})
    # str() is repr() without the constructor wrapping.
    assert str(a) == expected[expected.index("(") + 1:-1].replace(", is_complex=True", "")
    assert repr(a) == expected


