"""The module and the shape of its class: attributes, no constructor, published signatures,
sub-interpreters refused, the init function the only exported symbol."""

import inspect
import os
import shutil
import subprocess
import sys
import textwrap
import typing
import unittest
import weakref

import _testcapi

import quenlordb
from quenlordb import PyDatabase
from support import TempDirTestCase


class ModuleShape(TempDirTestCase):
    def test_module_holds_the_class_and_all(self):
        self.assertEqual(quenlordb.__doc__, "")
        self.assertEqual(quenlordb.__all__, ["PyDatabase"])
        public = [name for name in dir(quenlordb) if not name.startswith("__")]
        self.assertEqual(public, ["PyDatabase"])

    def test_class_belongs_to_the_module_and_keeps_its_bare_name(self):
        self.assertEqual(PyDatabase.__module__, "quenlordb")
        self.assertEqual((PyDatabase.__name__, PyDatabase.__qualname__), ("PyDatabase", "PyDatabase"))
        self.assertIs(inspect.getmodule(PyDatabase), quenlordb)
        self.assertEqual(typing.get_type_hints(PyDatabase), {})
        # The interpreter's own messages name the type bare too.
        with self.assertRaises(TypeError) as caught:
            PyDatabase.sql(1, "SELECT 1")
        self.assertIn("'PyDatabase'", str(caught.exception))
        self.assertNotIn("quenlordb.PyDatabase", str(caught.exception))

    def test_import_raises_no_deprecation_warning(self):
        code = "import quenlordb; print(quenlordb.PyDatabase.__module__)"
        run = subprocess.run([sys.executable, "-W", "error::DeprecationWarning", "-c", code],
                             capture_output=True, text=True, env=os.environ, timeout=60)
        self.assertEqual((run.returncode, run.stdout, run.stderr), (0, "quenlordb\n", ""))

    def test_class_has_no_constructor(self):
        with self.assertRaises(TypeError) as caught:
            PyDatabase()
        self.assertEqual(str(caught.exception), "No constructor defined for PyDatabase")
        with self.assertRaises(TypeError):
            object.__new__(PyDatabase)

    def test_class_shape(self):
        self.assertEqual(PyDatabase.__name__, "PyDatabase")
        self.assertEqual(PyDatabase.__bases__, (object,))
        self.assertEqual(PyDatabase.__doc__, "")
        self.assertIsInstance(PyDatabase.__dict__["open"], staticmethod)
        with self.assertRaises(TypeError):
            type("Sub", (PyDatabase,), {})

    def test_instances_take_no_attributes_and_no_weak_references(self):
        db = PyDatabase.open(self.path(), 1)
        self.assertFalse(hasattr(db, "__dict__"))
        with self.assertRaises(AttributeError):
            db.note = 1
        with self.assertRaises(TypeError):
            weakref.ref(db)

    def test_published_signatures(self):
        expected = {
            "open": "(path, shard_count=None)",
            "put": "(self, /, key, doc, valid_from, valid_to)",
            "get": "(self, /, key, as_of=None, valid_at=None)",
            "sql": "(self, /, query)",
        }
        for name, signature in expected.items():
            with self.subTest(name):
                method = getattr(PyDatabase, name)
                self.assertEqual(str(inspect.signature(method)), signature)
                self.assertIsNone(method.__doc__)

    @unittest.skipUnless(shutil.which("nm"), "needs nm")
    def test_init_function_is_the_only_exported_symbol(self):
        out = subprocess.run(["nm", "-D", "--defined-only", quenlordb.__file__],
                             check=True, capture_output=True, text=True).stdout
        self.assertEqual([line.split()[-1] for line in out.splitlines()], ["PyInit_quenlordb"])


SUBINTERPRETER_IMPORT = """
try:
    import quenlordb
    result = "imported"
except ImportError as e:
    result = "ImportError: " + str(e)
with open({path!r}, "w") as f:
    f.write(result)
"""


class SubInterpreters(TempDirTestCase):
    def import_in_subinterpreter(self):
        report = self.path("report")
        self.assertEqual(_testcapi.run_in_subinterp(SUBINTERPRETER_IMPORT.format(path=report)), 0)
        with open(report) as f:
            return f.read()

    def test_refused_after_the_main_interpreter_imported_it(self):
        self.assertIn("quenlordb", sys.modules)
        self.assertRegex(self.import_in_subinterpreter(), r"^ImportError: .*sub-interpreter")
        # The main interpreter's module is untouched.
        self.assertIs(sys.modules["quenlordb"].PyDatabase, PyDatabase)

    def test_refused_when_the_main_interpreter_never_imported_it(self):
        code = textwrap.dedent(f"""
            import _testcapi, sys
            code = {SUBINTERPRETER_IMPORT.format(path=self.path("report"))!r}
            assert _testcapi.run_in_subinterp(code) == 0
            print(open({self.path("report")!r}).read())
            import quenlordb
            print(quenlordb.__all__)
        """)
        out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True,
                             env=os.environ, timeout=60).stdout.splitlines()
        self.assertRegex(out[0], r"^ImportError: .*sub-interpreter")
        self.assertEqual(out[1], "['PyDatabase']")


if __name__ == "__main__":
    unittest.main()
