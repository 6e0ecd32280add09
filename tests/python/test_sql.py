"""PyDatabase.sql: the conversion of each result form, the errors a script raises, and text that
cannot reach the engine."""

import json
import random
import sqlite3
import unittest

from quenlordb import PyDatabase
from support import TempDirTestCase


class SqlTest(TempDirTestCase):
    def setUp(self):
        super().setUp()
        self.db = PyDatabase.open(self.path(), 2)

    def test_affected_result_is_a_dict_in_key_order(self):
        result = self.db.sql("BEGIN; COMMIT")
        self.assertEqual(result, {"rows": 0, "commit_ts": None, "message": "COMMIT (0 writes)"})
        self.assertEqual(list(result), ["rows", "commit_ts", "message"])
        self.assertEqual(self.db.sql("BEGIN; ROLLBACK")["message"], "ROLLBACK (0 staged writes discarded)")

    def test_insert_reports_its_commit_timestamp(self):
        # No CREATE TABLE yet: the schema record is written directly.
        self.db.put(b"__meta/table/t", b"{}", 0, 2**64 - 1)
        result = self.db.sql("INSERT INTO t (pk, doc) VALUES ('a', '{\"x\": 1}')")
        self.assertEqual(list(result), ["rows", "commit_ts", "message"])
        self.assertEqual((result["rows"], result["message"]), (1, "inserted 1 row"))
        self.assertIsInstance(result["commit_ts"], int)
        self.assertEqual(bytes(self.db.get(b"table/t/a", result["commit_ts"])), b'{"x": 1}')
        staged = self.db.sql("BEGIN; INSERT INTO t (pk, doc) VALUES ('b', '2'); INSERT INTO t (pk, doc) VALUES ('c', '3'); COMMIT")
        self.assertEqual((staged["rows"], staged["message"]), (2, "COMMIT (2 writes)"))
        self.assertEqual(bytes(self.db.get(b"table/t/c", staged["commit_ts"])), b"3")

    def test_select_rows_become_python_objects(self):
        self.db.put(b"__meta/table/t", b"{}", 0, 2**64 - 1)
        self.db.sql("INSERT INTO t (pk, doc) VALUES ('a', '{\"n\": 30, \"tags\": [\"x\"]}')")
        self.db.put(b"table/t/b", b"not json", 0, 2**64 - 1)  # INSERT refuses such a document
        self.assertEqual(self.db.sql("SELECT * FROM t"),
                         [{"doc": {"n": 30, "tags": ["x"]}, "pk": "a"}, {"doc": "not json", "pk": "b"}])
        self.assertEqual(self.db.sql("SELECT n FROM t WHERE pk = 'a'"), [{"n": 30.0}])
        self.assertEqual(self.db.sql("SELECT doc FROM t ORDER BY pk DESC"), ["not json", {"n": 30, "tags": ["x"]}])
        self.assertEqual(self.db.sql("SELECT count(*) FROM t"), [2])
        self.assertEqual(self.db.sql("SELECT pk FROM t WHERE n > 100"), [])

    def test_documents_read_back_as_json_loads_reads_them(self):
        # Names shared between results and more of them than the name cache holds, objects of many
        # members, repeated names (the last wins), nested objects.
        rng = random.Random(25)
        self.db.sql("CREATE TABLE d (id TEXT PRIMARY KEY)")
        docs = []
        for i in range(60):
            members = ['"n%d":%d' % (rng.randrange(100), rng.randrange(9)) for _ in range(rng.randrange(12))]
            members.append('"sub":{"a":1,"b":{"n%d":[1,{"c":2}]},"a":3}' % rng.randrange(100))
            docs.append("{" + ",".join(members) + "}")
        self.db.sql("BEGIN;" + "".join("INSERT INTO d (pk, doc) VALUES ('k%02d', '%s');" % (i, doc)
                                       for i, doc in enumerate(docs)) + "COMMIT")
        for _ in range(2):
            self.assertEqual(self.db.sql("SELECT doc FROM d"), [json.loads(doc) for doc in docs])

    def test_rows_of_one_text_member_read_as_json_loads_reads_them(self):
        # Such rows are a column of keys, made without the general reader: every neighbour of that
        # shape must come out as the reader makes it, names changing from row to row included.
        docs = [b'{"pk":"e000001"}', b'{"pk":""}', b'{"":"x"}', b'{"a":"1"}', b'{"pk":"e000002"}',
                b'{"pk":"q\\"uote"}', b'{"b\\\\s":"x"}', b'{"pk":"caf\\u00e9"}', b'{"pk":"caf\xc3\xa9"}',
                b'{"pk":"~\x7f"}', b'{"pk":"tab\there"}', b'{"pk":"bad \xff"}', b'{"pk":"x","pk":"y"}',
                b'{"pk":"x"} ', b'{"pk":"x"}\x00after', b'{"pk" : "x"}', b'{"pk":1}', b'{"pk":"x"}}', b'{"pk":"x']
        self.db.put(b"__meta/table/t", b"{}", 0, 2**64 - 1)
        for i, doc in enumerate(docs):
            self.db.put(b"table/t/k%02d" % i, doc, 0, 2**64 - 1)

        def read(doc):
            try:  # a NUL after the value ends a document's text
                return json.loads(doc.split(b"\x00")[0].decode("utf-8"))
            except ValueError:  # UnicodeDecodeError included
                return doc.decode("utf-8", "replace")

        self.assertEqual(self.db.sql("SELECT doc FROM t"), [read(doc) for doc in docs])

    def test_show_tables_names_are_always_str(self):
        # Names that read as JSON are names all the same.
        names = ["1e5", "false", "null", "t", "true"]
        for name in names:
            self.db.put(b"__meta/table/" + name.encode(), b"{}", 0, 2**64 - 1)
        tables = self.db.sql("SHOW TABLES")
        self.assertEqual(tables, names)
        self.assertEqual([type(name) for name in tables], [str] * len(names))

    def test_insert_returning_gives_the_written_row_as_a_dict(self):
        self.db.sql("CREATE TABLE t (id TEXT PRIMARY KEY, n INT)")
        self.assertEqual(self.db.sql("INSERT INTO t (id, n) VALUES ('a', 2) RETURNING *, id AS key, n + 1"),
                         [{"id": "a", "key": "a", "n": 2.0, "?": 3.0}])
        self.assertEqual(self.db.sql("SELECT doc FROM t"), [{"id": "a", "n": 2.0}])
        # Inside a transaction the row is staged until COMMIT.
        self.assertEqual(self.db.sql("BEGIN; INSERT INTO t (id) VALUES ('b') RETURNING pk; ROLLBACK")["rows"], 1)
        self.assertIsNone(self.db.get(b"table/t/b"))

    def test_errors_raise_runtime_error_with_the_display_text(self):
        cases = [
            ("THIS IS NOT SQL", "sql parse error: "),
            ("'open", "sql parse error: unterminated string literal"),
            ("BEGIN", "sql execution error: transaction left open; issue COMMIT or ROLLBACK"),
            ("COMMIT", "sql execution error: COMMIT requires an active transaction"),
        ]
        for script, prefix in cases:
            with self.subTest(script=script):
                with self.assertRaises(RuntimeError) as caught:
                    self.db.sql(script)
                self.assertEqual(len(caught.exception.args), 1)
                self.assertTrue(caught.exception.args[0].startswith(prefix), caught.exception.args[0])

    def test_text_that_is_not_utf8_does_not_reach_the_engine(self):
        # A lone surrogate has no UTF-8 form: the argument is refused before any engine call.
        with self.assertRaises(UnicodeEncodeError):
            self.db.sql("BEGIN; COMMIT; SELECT '\ud800'")
        self.assertEqual(self.db.sql("BEGIN; COMMIT")["rows"], 0)

    def test_created_table_takes_rows_and_answers_like_sqlite(self):
        created = self.db.sql("CREATE TABLE items (id INT PRIMARY KEY, name TEXT, price REAL)")
        self.assertEqual((created["rows"], created["message"]), (1, "created table items"))
        self.assertIsInstance(created["commit_ts"], int)
        self.assertEqual(self.db.sql("SHOW TABLES"), ["items"])
        lite = sqlite3.connect(":memory:")
        lite.execute("CREATE TABLE items (id INT PRIMARY KEY, name TEXT, price REAL)")
        rng = random.Random(17)
        for i in range(40):
            name, price = rng.choice(["ant", "bee", "cat"]), rng.randint(0, 100) / 4
            self.db.sql(f"INSERT INTO items (id, name, price) VALUES ({i}, '{name}', {price})")
            lite.execute("INSERT INTO items VALUES (?, ?, ?)", (i, name, price))
        for where in ["price > 12.5", "name = 'bee'", "name <> 'cat' AND price <= 30"]:
            with self.subTest(where=where):
                got = self.db.sql(f"SELECT id, name, price FROM items WHERE {where}")
                # Numbers of a typed INSERT are stored as floats; compare them as numbers.
                got = sorted((int(r["id"]), r["name"], float(r["price"])) for r in got)
                want = sorted(lite.execute(f"SELECT id, name, price FROM items WHERE {where}").fetchall())
                self.assertEqual(got, want)
        self.assertEqual(self.db.sql("DROP TABLE items")["rows"], 41)
        self.assertEqual(self.db.sql("SHOW TABLES"), [])


if __name__ == "__main__":
    unittest.main()
