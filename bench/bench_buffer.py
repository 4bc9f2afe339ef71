"""Buffer export and import costs, as ratios measured in the same run.

1. memoryview(a) for a small and a large array: an export points into the existing storage,
   so its cost must not grow with the array's size.
2. kalvo.double(x) for a 2000-by-2000 float64 NumPy array in C and in Fortran order, against
   numpy.asfortranarray(x) and x.copy(order="F"), which produce the same column-major copy.

Run: PYTHONPATH=build/dev:python python bench/bench_buffer.py
"""
import timeit

import numpy as np

import kalvo


def best(stmt, number, repeat=7):
    """Best time of one call of `stmt`, in seconds."""
    return min(timeit.repeat(stmt, number=number, repeat=repeat)) / number


def export_cost():
    small = kalvo.double([[1.0, 2.0], [3.0, 4.0]])
    large = kalvo.double(size=[2000, 2000])
    t_small = best(lambda: memoryview(small).release(), 200_000)
    t_large = best(lambda: memoryview(large).release(), 200_000)
    print(f"memoryview(a)            2x2: {t_small * 1e9:8.1f} ns   2000x2000: {t_large * 1e9:8.1f} ns"
          f"   large/small = {t_large / t_small:.2f}")
    plain = bytearray(32)
    t_plain = best(lambda: memoryview(plain).release(), 200_000)
    print(f"  for scale, memoryview(bytearray(32)): {t_plain * 1e9:.1f} ns")


def import_cost():
    rng = np.random.default_rng(0)
    x_c = rng.standard_normal((2000, 2000))
    x_f = np.asfortranarray(x_c)
    assert np.array_equal(np.asarray(kalvo.double(x_c)), x_c)
    assert np.array_equal(np.asarray(kalvo.double(x_f)), x_f)
    number = 5
    t_asf = best(lambda: np.asfortranarray(x_c), number)
    t_copy = best(lambda: x_c.copy(order="F"), number)
    t_copy_f = best(lambda: x_f.copy(order="F"), number)
    t_kc = best(lambda: kalvo.double(x_c), number)
    t_kf = best(lambda: kalvo.double(x_f), number)
    print(f"2000x2000 float64 -> column-major copy (ms):")
    print(f"  numpy.asfortranarray(C)  {t_asf * 1e3:8.2f}")
    print(f"  x.copy(order='F') of C   {t_copy * 1e3:8.2f}")
    print(f"  x.copy(order='F') of F   {t_copy_f * 1e3:8.2f}")
    print(f"  kalvo.double(C)          {t_kc * 1e3:8.2f}   / asfortranarray = {t_kc / t_asf:.2f}"
          f"   / copy(order='F') = {t_kc / t_copy:.2f}")
    print(f"  kalvo.double(F)          {t_kf * 1e3:8.2f}   / F copy         = {t_kf / t_copy_f:.2f}"
          f"   / asfortranarray(C) = {t_kf / t_asf:.2f}")


if __name__ == "__main__":
    export_cost()
    import_cost()
