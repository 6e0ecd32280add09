"""Shared pieces of the Python tests: a fresh temporary directory per test."""

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
