"""kalvo's benchmark runner: every ratio we track, measured in one run.

    python bench/run.py               # a plain table
    python bench/run.py --markdown    # the table the README shows
    python bench/run.py --quick       # fewer repetitions, for a first look

Speed rows time one kalvo operation and its reference in the same process, alternating
(interleaved) runs, and print the ratio of the two medians: below 1 means kalvo is faster.
Memory rows run each construction in a fresh interpreter and report the growth of its
resident size as a multiple of the data's size. Nothing here asserts; the goal column is what
each ratio should reach. Needs NumPy for the references.
"""
import argparse
import array
import gc
import os
import pickle
import statistics
import subprocess
import sys
import time

import numpy as np

import kalvo

MIB = 1 << 20


# ---- speed ------------------------------------------------------------------------------

def per_call(fn, number):
    start = time.perf_counter()
    for _ in range(number):
        fn()
    return (time.perf_counter() - start) / number


def interleaved(ours, reference, repeat):
    """Medians (seconds per call) of `repeat` alternating samples of ours() and reference();
    quick operations are repeated within a sample so that each sample takes ~20 ms or more."""
    ours(), reference()  # warm up caches, free lists and lazily resolved entries
    single = min(per_call(ours, 1), per_call(reference, 1))
    number = max(1, int(0.02 / max(single, 1e-9)))
    a, b = [], []
    for _ in range(repeat):
        gc.collect()
        a.append(per_call(ours, number))
        gc.collect()
        b.append(per_call(reference, number))
    return statistics.median(a), statistics.median(b)


def speed_rows(repeat):
    """(operation, reference, goal, ours(), reference()) for each row of the table."""
    rows = []

    x300 = np.arange(90000.0).reshape(300, 300)
    a300 = kalvo.double(x300)

    def read_all(m):
        def run():
            for i in range(300):
                for j in range(300):
                    m[i][j]
        return run

    def write_all(m):
        def run():
            for i in range(300):
                for j in range(300):
                    m[i][j] = 1.5
        return run

    rows.append(("read `a[i][j]`, 300x300", "NumPy `x[i][j]`", 0.5, read_all(a300), read_all(x300)))
    rows.append(("write `a[i][j] = v`, 300x300", "NumPy", 0.5, write_all(a300), write_all(x300)))

    row = kalvo.double(size=[1, 10**6])[0]
    plain = array.array("d", bytes(8 * 10**6))

    def iterate(seq):
        def run():
            for _ in seq:
                pass
        return run

    rows.append(("iterate a 1x1e6 row", "`array.array`", 1.2, iterate(row), iterate(plain)))

    n = 1000
    floats = [[float(i * n + j) for j in range(n)] for i in range(n)]
    ints = [[i * n + j for j in range(n)] for i in range(n)]
    rows.append(("build 1000x1000 from nested float lists", "`numpy.array(L)`", 0.3,
                 lambda: kalvo.double(floats), lambda: np.array(floats)))
    rows.append(("the same with int32", "`numpy.array(L, dtype=int32)`", 0.3,
                 lambda: kalvo.int32(ints), lambda: np.array(ints, dtype=np.int32)))

    c_order = np.arange(4e6).reshape(2000, 2000)
    f_order = np.asfortranarray(c_order)
    rows.append(("build from a C-order 2000x2000 ndarray", "`numpy.asfortranarray`", 1.3,
                 lambda: kalvo.double(c_order), lambda: np.asfortranarray(c_order)))
    rows.append(("build from an F-order ndarray", '`x.copy(order="F")`', 1.1,
                 lambda: kalvo.double(f_order), lambda: f_order.copy(order="F")))
    rows.append(("`size=[2000, 2000]`", '`numpy.zeros(order="F")`', 2.0,
                 lambda: kalvo.double(size=[2000, 2000]), lambda: np.zeros((2000, 2000), order="F")))

    a = kalvo.double(floats)
    b = kalvo.double(floats)
    x = np.array(floats)
    y = np.array(floats)
    rows.append(("`str` of 1000x1000", "`str(x.tolist())`", 1.1, lambda: str(a), lambda: str(x.tolist())))
    rows.append(("`==` of two equal 1000x1000", "`numpy.array_equal`", 1.0,
                 lambda: a == b, lambda: np.array_equal(x, y)))

    def nested_round_trip():
        pickle.loads(pickle.dumps(floats))

    rows.append(("pickle round trip, 1000x1000, default protocol", "pickle of the nested list", 1.8,
                 lambda: pickle.loads(pickle.dumps(a)), nested_round_trip))
    rows.append(("pickle round trip, protocol 5", "pickle of the nested list", 0.1,
                 lambda: pickle.loads(pickle.dumps(a, protocol=5)), nested_round_trip))

    def out_of_band():
        buffers = []
        data = pickle.dumps(a, protocol=5, buffer_callback=buffers.append)
        pickle.loads(data, buffers=buffers)

    rows.append(("pickle round trip, protocol 5, out of band", "pickle of the nested list", 0.1,
                 out_of_band, nested_round_trip))

    big = kalvo.double(size=[1000, 1000])
    small = kalvo.double(size=[10, 10])

    def flip(m, shapes):
        state = [0]

        def run():
            state[0] ^= 1
            m.reshape(shapes[state[0]])
        return run

    rows.append(("`reshape` of 1e6 elements", "`reshape` of 100", 1.5,
                 flip(big, ((1000, 1000), (500, 2000))), flip(small, ((10, 10), (5, 20)))))

    results = []
    for name, reference, goal, ours, ref in rows:
        t_ours, t_ref = interleaved(ours, ref, repeat)
        results.append((name, reference, t_ours * 1e3, t_ref * 1e3, t_ours / t_ref, goal))
        print(f"  {name}: {t_ours / t_ref:.2f}", file=sys.stderr)
    return results


# ---- memory -----------------------------------------------------------------------------

def _status(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"/proc/self/status has no {field}")


def memory_probe(source):
    """Runs in a fresh interpreter: builds a 2000x2000 double array from `source` and prints
    the resident growth after construction and the peak growth during it, in bytes."""
    n = 2000
    if source == "lists":
        data = [[float(i * n + j) for j in range(n)] for i in range(n)]
    elif source == "c-order":
        data = np.arange(float(n * n)).reshape(n, n)
    elif source == "f-order":
        data = np.asfortranarray(np.arange(float(n * n)).reshape(n, n))
    gc.collect()
    before = _status("VmRSS")
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # restarts the peak (VmHWM) at the current resident size
    if source == "zeros":
        result = kalvo.double(size=[n, n])
    else:
        result = kalvo.double(data)
    after = _status("VmRSS")
    peak = _status("VmHWM")
    print(after - before, peak - before)
    del result


def memory_rows():
    data_bytes = 2000 * 2000 * 8
    rows = []
    for source, label in (("lists", "nested lists"), ("c-order", "a C-order ndarray"),
                          ("f-order", "an F-order ndarray"), ("zeros", "`size=` (zeros)")):
        out = subprocess.run([sys.executable, __file__, "--memory-probe", source], check=True,
                             capture_output=True, text=True).stdout.split()
        live, peak = (int(v) / data_bytes for v in out)
        if source == "zeros":
            rows.append((f"resident size of 2000x2000 from {label}", 0.1, live))
        else:
            rows.append((f"live growth, 2000x2000 from {label}", 1.05, live))
            rows.append((f"peak growth, 2000x2000 from {label}", 1.1, peak))
    return rows


# ---- output -----------------------------------------------------------------------------

def mark(value, goal):
    return "yes" if value <= goal else "no"


def print_plain(speed, memory):
    print(f"{'operation':48} {'reference':32} {'kalvo ms':>9} {'ref ms':>9} {'ratio':>6} {'goal':>6}  met")
    for name, reference, ours, ref, ratio, goal in speed:
        print(f"{name.replace('`', ''):48} {reference.replace('`', ''):32} {ours:9.2f} {ref:9.2f} "
              f"{ratio:6.2f} {goal:6.2f}  {mark(ratio, goal)}")
    print()
    print(f"{'memory, as a multiple of the data (32 MB)':82} {'ratio':>6} {'goal':>6}  met")
    for name, goal, ratio in memory:
        print(f"{name.replace('`', ''):82} {ratio:6.2f} {goal:6.2f}  {mark(ratio, goal)}")


def print_markdown(speed, memory):
    print("| operation | reference | kalvo (ms) | reference (ms) | ratio | goal |")
    print("|---|---|---:|---:|---:|---:|")
    for name, reference, ours, ref, ratio, goal in speed:
        print(f"| {name} | {reference} | {ours:.2f} | {ref:.2f} | {ratio:.2f} | <= {goal:g} |")
    print()
    print("| memory (multiple of the 32 MB of data) | ratio | goal |")
    print("|---|---:|---:|")
    for name, goal, ratio in memory:
        print(f"| {name} | {ratio:.2f} | <= {goal:g} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--markdown", action="store_true", help="print the README's table")
    parser.add_argument("--quick", action="store_true", help="3 samples per row instead of 7")
    parser.add_argument("--memory-probe", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_probe:
        memory_probe(args.memory_probe)
        return
    print(f"kalvo benchmarks: Python {sys.version.split()[0]}, NumPy {np.__version__}, "
          f"{os.cpu_count()} CPUs", file=sys.stderr)
    speed = speed_rows(3 if args.quick else 7)
    memory = memory_rows()
    (print_markdown if args.markdown else print_plain)(speed, memory)


if __name__ == "__main__":
    main()
