"""Shared pieces of the Python tests: a fresh temporary directory per test, and the value rules of
the differential tests against sqlite3."""

import math
import os
import shutil
import tempfile
import unittest


class TempDirTestCase(unittest.TestCase):
    """Gives each test `self.dir`, a fresh directory removed with its contents afterwards."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quenlordb-test-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def path(self, name="db"):
        return os.path.join(self.dir, name)


def sql_value(value):
    """A result value as the dialect's: every number a float (it has no integer kind)."""
    if isinstance(value, bool) or value is None or isinstance(value, str):
        return value
    return float(value)


def same_value(a, b):
    """Equal, floats within rounding of each other."""
    if isinstance(a, float) and isinstance(b, float):
        return math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-9)
    return a == b


def same_rows(got, want):
    """Two lists of rows (sequences of values) equal row by row under same_value."""
    return len(got) == len(want) and all(
        len(g) == len(w) and all(same_value(a, b) for a, b in zip(g, w)) for g, w in zip(got, want))
