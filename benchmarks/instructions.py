"""Instructions per call of each side-by-side figure, native and Python,
counted by valgrind's callgrind (a count, not a time: the same on a busy
machine as on an idle one).

    python benchmarks/instructions.py [--calls N] [text in a figure's label ...]

Each count is the difference between two runs of the same process, one
making N more calls than the other, divided by N: start-up, imports and
set-up cancel out. The import figure is left out.
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import timeit

import side_by_side

COLLECTED = re.compile(r"Collected : (\d+)")


def run_calls(label: str, side: str, calls: int) -> None:
    """In the measured process: the figure's statement, `calls` times."""
    sides = side_by_side.implementations()
    from quor_camera_sdk.cameras.quor_oridan import QUOR_ORIDAN

    listed, bindings = side_by_side.figures(QUOR_ORIDAN.skus[0])
    [figure] = [figure for figure in listed if figure.label == label]
    with side_by_side.doubles(sides, bindings):
        timer = timeit.Timer(figure.statement, globals=figure.namespace(sides[side]))
        timer.timeit(10)  # warm: specialisation, caches
        timer.timeit(calls)


def instructions(label: str, side: str, calls: int) -> int:
    command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
               sys.executable, __file__, "--run", label, side, str(calls)]
    environment = os.environ | {"PYTHONHASHSEED": "0"}
    run = subprocess.run(command, check=True, capture_output=True, text=True, env=environment)
    return int(COLLECTED.search(run.stderr)[1])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.partition("\n\n")[0])
    parser.add_argument("--calls", type=int, default=2000, help="extra calls of the longer run")
    parser.add_argument("--run", nargs=3, help=argparse.SUPPRESS)
    parser.add_argument("select", nargs="*", help="figures whose label contains one of these")
    options = parser.parse_args()
    if options.run:
        label, side, calls = options.run
        run_calls(label, side, int(calls))
        return 0

    from quor_camera_sdk.cameras.quor_oridan import QUOR_ORIDAN

    listed, _ = side_by_side.figures(QUOR_ORIDAN.skus[0])
    selected = [figure for figure in listed if figure.statement
                and (not options.select or any(text in figure.label for text in options.select))]
    print(f"instructions per call (callgrind, {options.calls} calls)")
    print(f"  {'figure':<68} {'native':>9} {'Python':>9} {'ratio':>6}")
    for figure in selected:
        native, python = (
            (instructions(figure.label, side, options.calls) - instructions(figure.label, side, 0)) / options.calls
            for side in ("native", "python")
        )
        print(f"  {figure.label:<68} {native:>9.0f} {python:>9.0f} {native / python:>6.2f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
