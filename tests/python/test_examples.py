"""The tour the README sends new users to runs to its end."""
import pathlib
import subprocess
import sys

TOUR = pathlib.Path(__file__).resolve().parents[2] / "examples" / "tour.py"


def test_tour_runs():
    done = subprocess.run([sys.executable, str(TOUR)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "== NumPy, both ways" in done.stdout and "Traceback" not in done.stderr
