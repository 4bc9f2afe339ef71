"""Pickling: the __reduce__ form; round trips of every kind and view are checked by the model
test, every protocol and copy by test_fastpaths."""
import pytest

import kalvo


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

