"""Argument binding and extraction: the exact TypeError texts of bad calls, which values each
argument accepts, and that extraction stays safe while user code runs during it."""

import shutil
import sys
import tempfile
import unittest

from quenlordb import PyDatabase

U64_MAX = 2**64 - 1


class Index:
    """An integer-like object (has __index__) that is not an int."""

    def __init__(self, value, effect=None):
        self.value, self.effect = value, effect

    def __index__(self):
        if self.effect:
            self.effect()
        return self.value


class ArgumentsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="quenlordb-test-")
        cls.db = PyDatabase.open(cls.dir + "/db", 1)

    @classmethod
    def tearDownClass(cls):
        del cls.db
        shutil.rmtree(cls.dir, ignore_errors=True)

    def assert_raises_text(self, call, exception, text):
        with self.assertRaises(exception) as caught:
            call()
        self.assertIs(type(caught.exception), exception)
        self.assertEqual(str(caught.exception), text)

    def test_binding_failures(self):
        db = self.db
        cases = [
            ("missing one", lambda: db.get(), "PyDatabase.get() missing 1 required positional argument: 'key'"),
            ("missing one of open", lambda: PyDatabase.open(shard_count=1),
             "PyDatabase.open() missing 1 required positional argument: 'path'"),
            ("missing two", lambda: db.put(b"k", b""),
             "PyDatabase.put() missing 2 required positional arguments: 'valid_from' and 'valid_to'"),
            ("missing three", lambda: db.put(b"k"),
             "PyDatabase.put() missing 3 required positional arguments: 'doc', 'valid_from', and 'valid_to'"),
            ("missing around a keyword", lambda: db.put(valid_from=1, doc=b""),
             "PyDatabase.put() missing 2 required positional arguments: 'key' and 'valid_to'"),
            ("unexpected keyword", lambda: db.get(b"k", as_off=1),
             "PyDatabase.get() got an unexpected keyword argument 'as_off'"),
            ("self is not a keyword", lambda: db.sql(self=db, query="x"),
             "PyDatabase.sql() got an unexpected keyword argument 'self'"),
            ("multiple values", lambda: db.put(b"k", b"", 1, 2, key=b"x"),
             "PyDatabase.put() got multiple values for argument 'key'"),
            ("too many: put", lambda: db.put(b"k", b"", 1, 2, 3),
             "PyDatabase.put() takes 4 positional arguments but 5 were given"),
            ("too many: sql", lambda: db.sql("a", "b"),
             "PyDatabase.sql() takes 1 positional arguments but 2 were given"),
            ("too many: get", lambda: db.get(b"k", 1, 2, 3),
             "PyDatabase.get() takes from 1 to 3 positional arguments but 4 were given"),
            ("too many: open", lambda: PyDatabase.open("p", 1, 2),
             "PyDatabase.open() takes from 1 to 2 positional arguments but 3 were given"),
        ]
        for name, call, text in cases:
            with self.subTest(name):
                self.assert_raises_text(call, TypeError, text)

    def test_extraction_failures(self):
        db = self.db
        type_error = TypeError
        cases = [
            # (name, call, exception, exact text or the prefix a TypeError carries)
            ("key as str", lambda: db.put("k", b"", 0, 1), type_error, "argument 'key': "),
            ("key as bytearray", lambda: db.get(bytearray(b"k")), type_error, "argument 'key': "),
            ("key as list", lambda: db.get([107]), type_error, "argument 'key': "),
            ("doc as str", lambda: db.put(b"k", "{}", 0, 1), type_error, "argument 'doc': Can't extract `str` to `Vec`"),
            ("doc not a sequence", lambda: db.put(b"k", 5, 0, 1), type_error, "argument 'doc': "),
            ("doc a mapping", lambda: db.put(b"k", {0: 1}, 0, 1), type_error, "argument 'doc': "),
            ("doc item not an int", lambda: db.put(b"k", [1, 1.5], 0, 1), type_error, "argument 'doc': "),
            ("doc item 256", lambda: db.put(b"k", [1, 256], 0, 1), OverflowError, "int too big to convert"),
            ("doc item -1", lambda: db.put(b"k", (-1,), 0, 1), OverflowError, "can't convert negative int to unsigned"),
            ("doc item huge", lambda: db.put(b"k", [2**100], 0, 1), OverflowError, "int too big to convert"),
            ("valid_from negative", lambda: db.put(b"k", b"", -1, 1), OverflowError,
             "can't convert negative int to unsigned"),
            ("valid_to 2^64", lambda: db.put(b"k", b"", 0, 2**64), OverflowError, "int too big to convert"),
            ("valid_from None", lambda: db.put(b"k", b"", None, 1), type_error, "argument 'valid_from': "),
            ("valid_to float", lambda: db.put(b"k", b"", 0, 1.0), type_error, "argument 'valid_to': "),
            ("as_of negative", lambda: db.get(b"k", -1), OverflowError, "can't convert negative int to unsigned"),
            ("valid_at str", lambda: db.get(b"k", valid_at="3"), type_error, "argument 'valid_at': "),
            ("query bytes", lambda: db.sql(b"SELECT 1"), type_error, "argument 'query': "),
            ("path bytes", lambda: PyDatabase.open(b"/tmp/x"), type_error, "argument 'path': "),
            ("shard_count negative", lambda: PyDatabase.open("p", -1), OverflowError,
             "can't convert negative int to unsigned"),
            ("shard_count 2^64", lambda: PyDatabase.open("p", 2**64), OverflowError, "int too big to convert"),
            ("shard_count str", lambda: PyDatabase.open("p", "4"), type_error, "argument 'shard_count': "),
            ("path with NUL", lambda: PyDatabase.open(self.dir + "/a\0b"), ValueError, "embedded null byte"),
            ("first bad argument wins", lambda: db.put("k", "doc", -1, None), type_error, "argument 'key': "),
        ]
        for name, call, exception, text in cases:
            with self.subTest(name):
                with self.assertRaises(exception) as caught:
                    call()
                self.assertIs(type(caught.exception), exception)
                if exception is type_error and text.endswith(": "):
                    self.assertTrue(str(caught.exception).startswith(text), str(caught.exception))
                else:
                    self.assertEqual(str(caught.exception), text)

    def test_accepted_forms_of_a_document_store_the_same_bytes(self):
        data = b'{"n": 1}\x00\xff'
        for name, doc in [("bytes", data), ("bytearray", bytearray(data)), ("list", list(data)),
                          ("tuple", tuple(data)), ("memoryview", memoryview(data)),
                          ("ints via __index__", [Index(b) for b in data])]:
            with self.subTest(name):
                key = b"doc-" + name.encode()
                self.db.put(key, doc, 0, 10)
                self.assertEqual(self.db.get(key), list(data))

    def test_accepted_integers(self):
        db = self.db
        ts = db.put(key=b"bounds", valid_to=U64_MAX, valid_from=0, doc=b"x")
        self.assertEqual(db.get(b"bounds", valid_at=U64_MAX - 1, as_of=ts), [120])
        self.assertEqual(db.get(b"bounds", None, None), [120])
        self.assertEqual(db.get(b"bounds", as_of=Index(ts), valid_at=Index(5)), [120])
        self.assertEqual(db.get(b"bounds", as_of=U64_MAX), [120])

    def test_list_changed_by_an_item_while_it_is_read(self):
        doc = [1, 2]
        doc.append(Index(7, effect=doc.clear))
        doc.extend([3] * 1000)
        self.db.put(b"shrunk", doc, 0, 10)
        self.assertEqual(self.db.get(b"shrunk"), [1, 2, 7])

        doc = [1]
        doc.append(Index(2, effect=lambda: doc.extend([4] * 2000)))
        self.db.put(b"grown", doc, 0, 10)
        self.assertEqual(self.db.get(b"grown"), [1, 2] + [4] * 2000)

    def test_arguments_and_results_keep_their_reference_counts(self):
        key, doc, item = b"refcount-key", [1, 2, 3], Index(9)
        doc.append(item)
        before = [sys.getrefcount(obj) for obj in (key, doc, item)]
        for _ in range(100):
            self.db.put(key, doc, 0, 10)
            self.db.get(key, as_of=None, valid_at=5)
        self.assertEqual([sys.getrefcount(obj) for obj in (key, doc, item)], before)
        value = self.db.get(key)
        self.assertEqual(sys.getrefcount(value), 2)  # the name and the call's argument


if __name__ == "__main__":
    unittest.main()
