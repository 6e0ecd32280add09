"""PyDatabase against a real database directory: open and its errors, round trips, reads as of
a commit and at a valid time, durability across drop and reopen (also from a child process that
simply exits), shutdown on the last reference, and calls from several threads."""

import os
import subprocess
import sys
import textwrap
import threading
import unittest

from quenlordb import PyDatabase
from support import TempDirTestCase


def thread_count():
    return len(os.listdir("/proc/self/task"))


class OpenTest(TempDirTestCase):
    def assert_runtime_error(self, call, pattern):
        with self.assertRaises(RuntimeError) as caught:
            call()
        self.assertEqual(len(caught.exception.args), 1)
        self.assertIsInstance(caught.exception.args[0], str)
        self.assertRegex(caught.exception.args[0], pattern)

    def test_open_with_only_a_path_makes_four_shards(self):
        db = PyDatabase.open(self.path())
        self.assertEqual(sorted(n for n in os.listdir(self.path()) if n.startswith("shard-")),
                         ["shard-0", "shard-1", "shard-2", "shard-3"])
        self.assertIn("MANIFEST.json", os.listdir(self.path()))
        del db

    def test_open_errors(self):
        PyDatabase.open(self.path("four"))  # dropped at once
        with open(self.path("file"), "w") as f:
            f.write("not a directory")
        cases = [
            ("shard count 0", lambda: PyDatabase.open(self.path("zero"), 0),
             r"^config error: shard_count must be > 0$"),
            ("shard count 2^64 - 1", lambda: PyDatabase.open(self.path("huge"), 2**64 - 1),
             r"^config error: shard_count must be at most 4096$"),
            ("other shard count", lambda: PyDatabase.open(self.path("four"), shard_count=2),
             r"^manifest format error: manifest shard count 4 != config shard count 2$"),
            ("path is a regular file", lambda: PyDatabase.open(self.path("file")),
             r"^io error: .* \(os error \d+\)$"),
            ("path below a regular file", lambda: PyDatabase.open(self.path("file") + "/db"),
             r"^io error: .* \(os error \d+\)$"),
        ]
        for name, call, pattern in cases:
            with self.subTest(name):
                self.assert_runtime_error(call, pattern)

    def test_path_with_nul_never_opens_the_shorter_path(self):
        with self.assertRaises(ValueError):
            PyDatabase.open(self.path("a") + "\0b")
        self.assertFalse(os.path.exists(self.path("a")))

    def test_path_is_encoded_as_the_os_functions_encode_it(self):
        name = "caf\udce9"  # how os.listdir names a file whose name is not UTF-8
        PyDatabase.open(self.path(name), 1)  # dropped at once
        self.assertIn(name, os.listdir(self.dir))
        self.assertTrue(os.path.isdir(os.path.join(os.fsencode(self.dir), b"caf\xe9")))

    def test_a_change_of_working_directory_after_open_changes_nothing(self):
        """A database opened by a relative path keeps naming the directory it opened."""
        self.addCleanup(os.chdir, os.getcwd())
        os.chdir(self.dir)
        os.mkdir("elsewhere")
        db = PyDatabase.open("reldb", 1)
        os.chdir("elsewhere")
        # Nine 4 MiB memtables: nine flushes, then a compaction, each naming new files.
        doc = b"x" * 65536
        written = {}
        for i in range(640):
            key = b"k%04d" % i
            db.put(key, doc, 0, 100)
            written[key] = doc
        manifest = os.path.join(self.dir, "reldb", "MANIFEST.json")
        with open(manifest, "rb") as f:
            manifest_bytes = f.read()
        self.assertIn(b'"l1-', manifest_bytes)  # compacted into level 1
        db.sql("CREATE TABLE t (pk TEXT PRIMARY KEY)")
        with self.assertRaisesRegex(RuntimeError, "COPY TO target must not be inside the database directory"):
            db.sql(f"COPY t TO '{manifest}'")
        with open(manifest, "rb") as f:
            self.assertTrue(f.read().startswith(b"{"))
        del db
        db = PyDatabase.open(os.path.join(self.dir, "reldb"), 1)
        for key, value in written.items():
            self.assertEqual(bytes(db.get(key)), value, key)

    def test_sql_errors_are_runtime_errors(self):
        db = PyDatabase.open(self.path(), 1)
        self.assert_runtime_error(lambda: db.sql("THIS IS NOT SQL"), r"^sql .*error: ")


class ReadWriteTest(TempDirTestCase):
    def setUp(self):
        super().setUp()
        self.db = PyDatabase.open(self.path(), 2)

    def test_round_trips(self):
        db = self.db
        self.assertIsNone(db.get(b"never written"))
        self.assertEqual(db.get(b"x"), None)
        cases = [("two bytes", b"{}", [123, 125]), ("empty document", b"", []),
                 ("every byte value", bytes(range(256)), list(range(256))),
                 ("empty key", b"\x00\xff", [0, 255])]
        for name, doc, expected in cases:
            with self.subTest(name):
                key = b"" if name == "empty key" else name.encode()
                db.put(key, doc, 0, 100)
                got = db.get(key)
                self.assertIs(type(got), list)
                self.assertEqual(got, expected)

    def test_commit_timestamps_grow_per_key(self):
        stamps = [self.db.put(b"counter", [i], 0, 10) for i in range(20)]
        self.assertTrue(all(type(ts) is int for ts in stamps))
        self.assertEqual(stamps, sorted(set(stamps)))

    def test_reads_as_of_a_commit_and_at_a_valid_time(self):
        db = self.db
        first = db.put(b"price", b"10", 100, 200)
        second = db.put(b"price", b"12", 200, 300)
        backwards = db.put(b"odd", b"x", 50, 10)  # bounds are passed on unchecked
        cases = [
            ("before the first version", dict(as_of=first - 1), None),
            ("at the first version", dict(as_of=first), b"10"),
            ("between the versions", dict(as_of=second - 1), b"10"),
            ("at the second version", dict(as_of=second), b"12"),
            ("latest", dict(), b"12"),
            ("far future snapshot", dict(as_of=2**64 - 1), b"12"),
            ("valid time of the older version", dict(valid_at=150), b"10"),
            ("first instant of the newer", dict(valid_at=200), b"12"),
            ("last instant of the newer", dict(valid_at=299), b"12"),
            ("end bound is exclusive", dict(valid_at=300), None),
            ("before every interval", dict(valid_at=99), None),
            ("valid time unseen at the snapshot", dict(as_of=first, valid_at=250), None),
            ("both given", dict(as_of=second, valid_at=100), b"10"),
        ]
        for name, kwargs, expected in cases:
            with self.subTest(name):
                self.assertEqual(db.get(b"price", **kwargs), None if expected is None else list(expected))
        self.assertEqual(db.get(b"odd", as_of=backwards), [120])
        self.assertIsNone(db.get(b"odd", valid_at=20))


class LifecycleTest(TempDirTestCase):
    def write_some(self, db, count):
        written = {}
        for i in range(count):
            key = b"key-%05d" % i
            doc = b'{"i": %d, "pad": "%s"}' % (i, b"x" * (i % 50))
            written[key] = (db.put(key, doc, i, i + 1000), list(doc))
        return written

    def assert_all_readable(self, db, written):
        for key, (ts, doc) in written.items():
            self.assertEqual(db.get(key), doc, key)
            self.assertEqual(db.get(key, as_of=ts), doc, key)
            self.assertIsNone(db.get(key, as_of=ts - 1), key)

    def test_drop_and_reopen_keeps_every_acknowledged_write(self):
        db = PyDatabase.open(self.path())
        written = self.write_some(db, 500)
        del db
        db = PyDatabase.open(self.path())
        self.assert_all_readable(db, written)

    def test_child_that_exits_normally_keeps_its_writes(self):
        code = textwrap.dedent(f"""
            from quenlordb import PyDatabase
            db = PyDatabase.open({self.path()!r}, 4)
            for i in range(300):
                ts = db.put(b"child-%d" % i, b"doc %d" % i, 0, 10)
                print(i, ts)
        """)
        out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True,
                             env=os.environ, timeout=120).stdout
        acknowledged = [tuple(map(int, line.split())) for line in out.splitlines()]
        self.assertEqual(len(acknowledged), 300)
        db = PyDatabase.open(self.path(), 4)
        for i, ts in acknowledged:
            self.assertEqual(db.get(b"child-%d" % i, as_of=ts), list(b"doc %d" % i))

    def test_forked_child_refuses_every_call_and_leaves_the_parent_working(self):
        code = textwrap.dedent(f"""
            import os
            from quenlordb import PyDatabase
            db = PyDatabase.open({self.path()!r}, 2)
            before = db.put(b"parent-before", b"1", 0, 10)
            pid = os.fork()
            if pid == 0:
                calls = [("put", lambda: db.put(b"child", b"x", 0, 10)),
                         ("get", lambda: db.get(b"parent-before")),
                         ("sql", lambda: db.sql("SELECT 1"))]
                for name, call in calls:
                    try:
                        print(name, "returned", call())
                    except RuntimeError as e:
                        print(name, "raised", e)
                del db
                print("child done", flush=True)
            else:
                _, status = os.waitpid(pid, 0)
                print("child status", status)
                print("parent", before, db.put(b"parent-after", b"2", 0, 10))
        """)
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=os.environ,
                              timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr)
        lines = done.stdout.splitlines()
        refused = "raised database was opened in another process; open it again in this one"
        self.assertEqual(lines[:5], ["put " + refused, "get " + refused, "sql " + refused, "child done",
                                     "child status 0"])
        _, before, after = lines[5].split()
        db = PyDatabase.open(self.path(), 2)
        self.assertEqual(db.get(b"parent-before", as_of=int(before)), [ord("1")])
        self.assertEqual(db.get(b"parent-after", as_of=int(after)), [ord("2")])
        self.assertIsNone(db.get(b"child"))

    def test_forked_child_does_not_keep_the_parent_from_reopening(self):
        """The child lets go of the directory lock it inherited: while it lives, the parent closes its
        database and opens it again; the child then exits cleanly without touching a file."""
        code = textwrap.dedent(f"""
            import os
            import sys
            from quenlordb import PyDatabase
            path = {self.path()!r}

            def snapshot():
                files = {{}}
                for where, _, names in os.walk(path):
                    for name in names:
                        with open(os.path.join(where, name), "rb") as f:
                            files[os.path.join(where, name)] = f.read()
                return files

            db = PyDatabase.open(path, 2)
            before = db.put(b"before-fork", b"1", 0, 10)
            go_read, go_write = os.pipe()
            pid = os.fork()
            if pid == 0:
                os.close(go_write)
                os.read(go_read, 1)  # until the parent is done with the directory
                sys.exit(0)  # the interpreter's finalisation drops the inherited PyDatabase
            os.close(go_read)
            del db
            db = PyDatabase.open(path, 2)
            print("reopened", db.get(b"before-fork", as_of=before))
            after = db.put(b"after-reopen", b"2", 0, 10)
            del db
            files = snapshot()
            os.write(go_write, b"x")
            _, status = os.waitpid(pid, 0)
            print("child status", status)
            print("files unchanged", snapshot() == files)
            print("timestamps", before, after)
        """)
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=os.environ,
                              timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr)
        lines = done.stdout.splitlines()
        self.assertEqual(lines[:3], ["reopened [49]", "child status 0", "files unchanged True"])
        _, before, after = lines[3].split()
        db = PyDatabase.open(self.path(), 2)
        self.assertEqual(db.get(b"before-fork", as_of=int(before)), [ord("1")])
        self.assertEqual(db.get(b"after-reopen", as_of=int(after)), [ord("2")])

    def test_last_reference_shuts_the_threads_down(self):
        before, type_refs = thread_count(), sys.getrefcount(PyDatabase)
        db = PyDatabase.open(self.path(), 3)
        self.assertGreaterEqual(thread_count(), before + 3)  # at least one thread per shard
        alias = db
        del db
        self.assertGreaterEqual(thread_count(), before + 3)  # still referenced
        del alias
        self.assertEqual(thread_count(), before)

        for i in range(50):
            db = PyDatabase.open(self.path(), 3)
            db.put(b"cycle", [i], 0, 10)
            del db
        self.assertEqual(thread_count(), before)
        self.assertEqual(sys.getrefcount(PyDatabase), type_refs)
        self.assertEqual(PyDatabase.open(self.path(), 3).get(b"cycle"), [49])


class ThreadsTest(TempDirTestCase):
    def test_several_threads_put_and_get_at_once(self):
        db = PyDatabase.open(self.path())
        failures = []

        def work(n):
            try:
                for i in range(400):
                    key = b"t%d-%d" % (n, i)
                    ts = db.put(key, b"%d:%d" % (n, i), 0, 10)
                    if db.get(key, as_of=ts) != list(b"%d:%d" % (n, i)):
                        failures.append((key, "read back"))
                    db.get(b"t%d-%d" % ((n + 1) % 4, i))  # another thread's key, maybe not yet there
            except BaseException as e:  # reported below; a thread's exception would be lost
                failures.append((n, repr(e)))

        threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=120)
        self.assertFalse(any(t.is_alive() for t in threads), "a thread hangs")
        self.assertEqual(failures, [])
        for n in range(4):
            for i in range(400):
                self.assertEqual(db.get(b"t%d-%d" % (n, i)), list(b"%d:%d" % (n, i)))


if __name__ == "__main__":
    unittest.main()
