"""Fixtures of the Python tests: a rendered series (dotcal render) and the C++ API's results."""

import json
import os
import subprocess
from pathlib import Path

import pytest


def _tool(name):
    path = os.environ.get(name)
    if not path:
        pytest.skip(f"{name} is not set: run the tests through ctest")
    return path


@pytest.fixture(scope="session")
def series(tmp_path_factory):
    """A small synthetic series: 6 plate pairs, 24 frames of a pivoting tool, 8 moving frames."""
    folder = tmp_path_factory.mktemp("series")
    subprocess.run([_tool("DOTCAL"), "render", "--out", str(folder), "--pairs", "6", "--seed",
                    "3", "--tool-frames", "24", "--moving-frames", "8"],
                   check=True, capture_output=True)
    return Path(folder)


@pytest.fixture(scope="session")
def plate_pairs(series):
    """The plate pairs as (left, right) file names."""
    lefts = sorted((series / "plate").glob("left_*.png"))
    return [(str(l), str(l).replace("left_", "right_")) for l in lefts]


@pytest.fixture(scope="session")
def cpp_reference():
    """Runs the C++ reference program and returns its JSON."""
    program = _tool("CPP_REFERENCE")

    def run(*args):
        out = subprocess.run([program, *map(str, args)], check=True, capture_output=True,
                             text=True).stdout
        return json.loads(out)

    return run
