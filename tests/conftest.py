"""Shared fixtures: ESE database files written with the test builder."""

import itertools
import os
import sys

import pytest

import esebuild as eb

# The checkout's quarlet/ holds the package's Python files but not its
# compiled core, so the tests (and the interpreters they start) must import
# the installed package: run them from tests/, with the checkout's root off
# the module path ("python -m pytest" puts the working directory there).
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
os.chdir(os.path.dirname(os.path.abspath(__file__)))
sys.path[:] = [p for p in sys.path if os.path.realpath(p or ".") != os.path.realpath(ROOT)]


def pytest_sessionstart(session):
    """With QUARLET_EXPECT_MODULE_DIR set (the sanitizer run), refuse to test
    any module but the one built there."""
    expected = os.environ.get("QUARLET_EXPECT_MODULE_DIR")
    if not expected:
        return
    import quarlet

    where = os.path.dirname(os.path.realpath(quarlet._quarlet.__file__))
    if where != os.path.realpath(expected):
        raise pytest.UsageError("testing %s, not the build in %s"
                                % (quarlet._quarlet.__file__, expected))


@pytest.fixture
def make_db(tmp_path):
    """make_db(tables, name=None, **Database options) -> path of a new file."""
    counter = itertools.count()

    def make(tables=(), name=None, **kwargs):
        path = tmp_path / (name or "db%d.edb" % next(counter))
        eb.Database(tables, **kwargs).write(str(path))
        return str(path)

    return make


@pytest.fixture
def write_file(tmp_path):
    """write_file(data, name="raw.edb") -> path of a file holding `data`."""

    def write(data, name="raw.edb"):
        path = tmp_path / name
        path.write_bytes(data)
        return str(path)

    return write


@pytest.fixture(scope="session")
def people_db(tmp_path_factory):
    """Two tables: "people" (3 records) and "empty" (none), 8 KiB pages."""
    path = tmp_path_factory.mktemp("people") / "people.edb"
    eb.Database([
        eb.Table("people",
                 [eb.Column("id", eb.T_LONG),
                  eb.Column("name", eb.T_TEXT, codepage=1200)],
                 [{"id": 1, "name": "Ann"}, (2, "Bob"), {"id": 3}]),
        eb.Table("empty", [eb.Column("x", eb.T_LONG)], []),
    ]).write(str(path))
    return str(path)
