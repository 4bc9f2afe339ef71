"""Building arrays from Python values, against NumPy in the same run.

    python bench/bench_construct.py

Prints the time of each case and its ratio to the reference; never asserts on timings.
"""
import time

import kalvo

try:
    import numpy as np
except ImportError:  # pragma: no cover - the benchmark needs NumPy for its reference
    raise SystemExit("this benchmark needs NumPy")


def best_of(fn, repeat=5):
    """Best CPU time of `repeat` calls: the least disturbed by other load on the machine."""
    best = float("inf")
    for _ in range(repeat):
        start = time.process_time()
        fn()
        best = min(best, time.process_time() - start)
    return best


def report(name, ours, reference, reference_name):
    print(f"{name:48} {ours * 1e3:9.2f} ms   {reference_name:24} {reference * 1e3:9.2f} ms"
          f"   ratio {ours / reference:5.2f}")


def main():
    n = 1000
    rows = [[float(i * n + j) for j in range(n)] for i in range(n)]
    report("kalvo.double(list of lists) 1000x1000", best_of(lambda: kalvo.double(rows)),
           best_of(lambda: np.array(rows)), "numpy.array(list)")
    ints = [[i * n + j for j in range(n)] for i in range(n)]
    report("kalvo.int64(list of lists) 1000x1000", best_of(lambda: kalvo.int64(ints)),
           best_of(lambda: np.array(ints, dtype=np.int64)), "numpy.array(list, int64)")
    flat = [float(i) for i in range(n * n)]
    report("kalvo.double(vector=flat, size=[1000, 1000])",
           best_of(lambda: kalvo.double(vector=flat, size=[n, n])),
           best_of(lambda: np.array(flat).reshape(n, n, order="F")), "numpy.array(flat).reshape")
    report("kalvo.double(size=[1000, 1000]) (zeros)", best_of(lambda: kalvo.double(size=[n, n])),
           best_of(lambda: np.zeros((n, n), order="F")), "numpy.zeros")


if __name__ == "__main__":
    main()
