"""The layout holds: the core's layers include one way only (lowest first),
and no source file grows past one concept's size."""

import os
import re

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
LAYERS = [("util", "error"), ("page",), ("source",), ("btree",), ("database",), ("record",),
          ("decode",), ("recover",), ("export",), ("python",)]
LEVEL = {name: i for i, group in enumerate(LAYERS) for name in group}
INCLUDE = re.compile(r'\s*#\s*include\s+"([^/"]+)/')
MAX_LINES = 800


def sources(folder, suffixes):
    for dirpath, _, files in os.walk(os.path.join(ROOT, folder)):
        for name in sorted(files):
            if name.endswith(suffixes):
                yield os.path.join(dirpath, name)


def test_includes_run_from_higher_layers_to_lower_ones():
    upward = []
    for path in sources("src", (".cpp", ".hpp")):
        layer = os.path.relpath(path, os.path.join(ROOT, "src")).split(os.sep)[0]
        for number, line in enumerate(open(path, encoding="utf-8"), 1):
            match = INCLUDE.match(line)
            if match and LEVEL.get(match.group(1), len(LEVEL)) > LEVEL[layer]:
                upward.append("%s:%d: %s" % (os.path.relpath(path, ROOT), number, line.strip()))
    assert upward == []


@pytest.mark.parametrize("folder, suffixes", [("src", (".cpp", ".hpp")), ("quarlet", (".py",))])
def test_files_stay_small(folder, suffixes):
    long = [(os.path.relpath(p, ROOT), n) for p in sources(folder, suffixes)
            for n in [sum(1 for _ in open(p, encoding="utf-8"))] if n > MAX_LINES]
    assert long == []
