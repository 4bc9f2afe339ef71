#!/usr/bin/env python3
"""Mutation check: does the Python suite notice a planted fault?

    python tools/mutate.py MUTANTS [pytest arguments...]

MUTANTS holds one mutant per line, `path | old text | new text` (fields separated by " | "; path relative to the
repository; the first occurrence of old text is replaced; `#` starts a comment line). The
tree is copied to build/mutate/tree (KALVO_MUTATE_DIR, KALVO_MUTATE_TREE) and built there once
(module only, Release); then for each
mutant the file is changed, the module rebuilt incrementally, the suite run with -x against that
build, and the file restored. A mutant the suite passes is reported as SURVIVED. One mutant at a
time: the machine is shared.
"""
import os
import pathlib
import shutil
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
WORK = pathlib.Path(os.environ.get("KALVO_MUTATE_DIR", ROOT / "build" / "mutate"))
TREE = pathlib.Path(os.environ.get("KALVO_MUTATE_TREE", WORK / "tree"))
BUILD = WORK / "build"
VPY = os.environ.get("VPY", str(ROOT / ".venv" / "bin" / "python"))


def sync():
    for name in ("CMakeLists.txt", "cmake", "src", "runtime", "python"):
        src, dst = ROOT / name, TREE / name
        if src.is_dir():
            shutil.copytree(src, dst, dirs_exist_ok=True)
        else:
            shutil.copy2(src, dst)


def build():
    return subprocess.run(["cmake", "--build", str(BUILD), "-j1", "--target", "kalvomultidimarrayforpython"],
                          capture_output=True, text=True).returncode == 0


def main():
    mutants = [line.split(" | ") for line in open(sys.argv[1]).read().splitlines()
               if line.strip() and not line.lstrip().startswith("#")]
    pytest_args = sys.argv[2:] or ["."]
    TREE.mkdir(parents=True, exist_ok=True)
    sync()
    if not (BUILD / "build.ninja").exists():
        subprocess.run(["cmake", "-S", str(TREE), "-B", str(BUILD), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                        f"-DPython3_EXECUTABLE={os.environ.get('KALVO_PYTHON', sys.executable)}"], check=True,
                       capture_output=True)
    assert build(), "the unmutated tree does not build"
    env = dict(os.environ, PYTHONPATH=f"{BUILD}:{TREE / 'python'}", HYPOTHESIS_PROFILE="mutate")
    survived = []
    for path, old, new in ((p.strip(), o.strip(), n.strip()) for p, o, n in mutants):
        target = TREE / path
        original = target.read_text()
        if old not in original:
            print(f"NOT FOUND  {path}: {old}")
            continue
        target.write_text(original.replace(old, new, 1))
        try:
            start = time.monotonic()
            if not build():
                print(f"NO BUILD   {path}: {old} -> {new}")
                continue
            try:
                run = subprocess.run([VPY, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", *pytest_args],
                                     cwd=ROOT / "tests" / "python", env=env, capture_output=True, text=True,
                                     timeout=600)
                last = (run.stdout.strip().splitlines() or [""])[-1]
            except subprocess.TimeoutExpired:  # a hang is noticed too
                run, last = subprocess.CompletedProcess([], 1), "timed out"
            verdict = "SURVIVED" if run.returncode == 0 else "killed"
            print(f"{verdict:10} {path}: {old} -> {new}  ({time.monotonic() - start:.0f} s; {last})", flush=True)
            if run.returncode == 0:
                survived.append((path, old, new))
        finally:
            target.write_text(original)
            os.utime(target)
    build()
    print(f"{len(survived)} of {len(mutants)} mutants survived")
    return 1 if survived else 0


if __name__ == "__main__":
    sys.exit(main())
