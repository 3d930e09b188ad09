"""The installed type stubs agree with the runtime module (mypy's stubtest),
and the command line type-checks against them."""

import os
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = os.path.join(HERE, "..", "quarlet")


def mypy(tmp_path, *args):
    """Runs a mypy tool in `tmp_path` (its cache lands there)."""
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                          cwd=str(tmp_path), timeout=600)


def test_stubtest_finds_no_difference(tmp_path):
    proc = mypy(tmp_path, "mypy.stubtest", "quarlet")
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_typed_use_of_the_module(tmp_path):
    (tmp_path / "use.py").write_text(
        "from quarlet import EseDatabase\n"
        "db = EseDatabase('x.edb')\n"
        "reveal_type(db.get_table_schema('t')[0]['nullable'])\n"
        "reveal_type(db.carve_utf16le_strings()[0]['table'])\n"
        "reveal_type(db.read_table('t')[0]['c'])\n"
        "db.carve_utf16le_strings_scoped('everything')\n")
    proc = mypy(tmp_path, "mypy", "use.py")
    # Older mypy versions qualify names ("builtins.bool", "Union[...]").
    out = proc.stdout.replace("builtins.", "").replace("Union[str, None]", "str | None")
    assert 'use.py:3: note: Revealed type is "bool"' in out, out
    assert 'use.py:4: note: Revealed type is "str | None"' in out, out
    assert "use.py:5: note: Revealed type is" in out and "bytes" in out, out
    assert "use.py:6: error" in out, out  # not one of the scope names
    assert out.count(": error:") == 1, out


def test_package_type_checks(tmp_path):
    """The package's Python code (command line, artefact views) is strictly typed."""
    proc = mypy(tmp_path, "mypy", "--strict", os.path.abspath(PACKAGE))
    assert proc.returncode == 0, proc.stdout + proc.stderr
