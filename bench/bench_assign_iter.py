"""Timings of element writes, equality and iteration, each beside a plain-Python baseline.

Run with the extension on the path, e.g. `PYTHONPATH=build/dev:python python bench/bench_assign_iter.py`.
Not a test: it prints figures and ratios and checks nothing.
"""
import array
import time

import kalvo


def best_of(repeats, fn):
    """Shortest CPU time of `repeats` calls of fn() (the machine may be shared)."""
    best = float("inf")
    for _ in range(repeats):
        start = time.process_time()
        fn()
        best = min(best, time.process_time() - start)
    return best


def report(n, ours, plain, baseline):
    """Prints the per-element time of ours() over n elements beside plain()'s; returns the
    per-element time of the first size, which later sizes are compared with."""
    t = best_of(3 if n < 10 ** 6 else 1, ours)
    t_list = best_of(3, plain)
    per = t / n * 1e9
    baseline = baseline or per
    print(f"  n = {n:>8}: {t:8.3f} s, {per:7.1f} ns per element "
          f"(x{per / baseline:4.2f} of n = 10**4; list: {t_list / n * 1e9:5.1f} ns, "
          f"ratio {t / t_list:5.1f})")
    return baseline


def element_writes():
    print("Writing every element one by one (row[j] = v on a 1-by-n double array)")
    baseline = None
    for n in (10 ** 4, 10 ** 5, 10 ** 6):
        a = kalvo.double(size=[1, n])
        row = a[0]
        plain = [0.0] * n

        def write_kalvo():
            for j in range(n):
                row[j] = 1.5

        def write_list():
            for j in range(n):
                plain[j] = 1.5

        baseline = report(n, write_kalvo, write_list, baseline)
        assert row[n - 1] == 1.5


def slice_reads():
    print("Reading every element of a slice view one by one (v[j] with v = a[0][::2])")
    baseline = None
    for n in (10 ** 4, 10 ** 5, 10 ** 6):
        view = kalvo.double(size=[1, 2 * n])[0][::2]
        plain = [0.0] * (2 * n)
        plain_view = plain[::2]

        def read_kalvo():
            for j in range(n):
                view[j]

        def read_list():
            for j in range(n):
                plain_view[j]

        baseline = report(n, read_kalvo, read_list, baseline)


def equality():
    print("Equality of two equal 1000-by-1000 double arrays")
    rows = [[float(i * 1000 + j) for j in range(1000)] for i in range(1000)]
    x, y = kalvo.double(rows), kalvo.double(rows)
    lx = [[float(v) for v in r] for r in rows]
    ly = [[float(repr(v)) for v in r] for r in rows]  # distinct float objects, as tolist() gives
    t = best_of(3, lambda: x == y)
    t_list = best_of(3, lambda: lx == ly)
    print(f"  a == b: {t:7.3f} s; nested lists ==: {t_list:7.3f} s; ratio {t / t_list:5.2f}")
    assert x == y and lx == ly
    # A real array against a complex one compares Python objects element by element.
    z = kalvo.double(rows, is_complex=True)
    t_mixed = best_of(3, lambda: x == z)
    print(f"  real == complex: {t_mixed:7.3f} s; ratio to nested lists {t_mixed / t_list:5.2f}")


def iteration():
    n = 10 ** 6
    print(f"Full iteration over a 1-by-{n} double array")
    a = kalvo.double(size=[1, n])
    row = a[0]
    plain = array.array("d", bytes(8 * n))

    def walk(seq):
        for _ in seq:
            pass

    t = best_of(3, lambda: walk(row))
    t_plain = best_of(3, lambda: walk(plain))
    print(f"  for v in a[0]: {t:7.3f} s; array.array: {t_plain:7.3f} s; ratio {t / t_plain:5.2f}")


if __name__ == "__main__":
    element_writes()
    slice_reads()
    equality()
    iteration()
