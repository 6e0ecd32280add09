"""COPY TO and COPY FROM round trips, the file table functions and CREATE TABLE AS, through Python."""

import csv
import json
import os
import unittest

from quenlordb import PyDatabase
from support import TempDirTestCase

FORMATS = ("CSV", "JSON", "NDJSON")

# Texts that CSV has to quote: commas, double quotes, line feeds, carriage returns, and all at once.
AWKWARD = ["plain", "a,b", 'say "hi"', "line\nfeed", "cr\r\nlf", ' ,"\n\r mixed ', "ünï ✓"]


def sql_text(text):
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"


class CopyRoundTripTest(TempDirTestCase):
    def setUp(self):
        super().setUp()
        self.db = PyDatabase.open(self.path(), 2)

    def stored(self, table):
        """Every row of the table as it is stored: {key: bytes}."""
        keys = [row["pk"] for row in self.db.sql(f"SELECT pk FROM {table}")]
        return {key: bytes(self.db.get(f"table/{table}/{key}".encode())) for key in keys}

    def make_typed(self, table):
        self.db.sql(f"CREATE TABLE {table} (id INTEGER PRIMARY KEY, name TEXT, score REAL, ok BOOLEAN)")

    def make_docs(self, table):
        self.db.sql(f"CREATE TABLE {table} (pk TEXT PRIMARY KEY)")

    def fill(self):
        self.make_typed("t")
        ids = [7, 10, -3, 123456789, 0]
        for i, text in enumerate(AWKWARD):
            ok = "true" if i % 2 else "false"
            self.db.sql(f"INSERT INTO t (id, name, score, ok) VALUES ({ids[i % len(ids)] + 1000 * (i // len(ids))}, "
                        f"{sql_text(text)}, {i * 1.5}, {ok})")
        # CSV has no NULL apart from the empty field, so the row names every column.
        self.db.sql("INSERT INTO t (id, name, score, ok) VALUES (42, NULL, NULL, NULL)")
        self.make_docs("d")
        for i, text in enumerate(AWKWARD):
            doc = json.dumps({"n": i, "text": text, "list": [text, i / 4], "nested": {"q": '"'}},
                             separators=(",", ":"), sort_keys=True, ensure_ascii=False)
            self.db.sql(f"INSERT INTO d (pk, doc) VALUES ({sql_text(str(i * 7))}, {sql_text(doc)})")
        self.db.sql("INSERT INTO d (pk, doc) VALUES ('key, with \"quotes\"', '[1,2.5,null]')")
        self.db.sql("INSERT INTO d (pk, doc) VALUES ('scalar', '\"just text, really\"')")

    def test_every_format_brings_back_the_same_rows_under_the_same_keys(self):
        self.fill()
        typed, docs = self.stored("t"), self.stored("d")
        self.assertIn("7", typed)  # the typed INSERT keys id 7 as "7", though it stores 7.0
        self.assertEqual(len(typed), len(AWKWARD) + 1)
        for fmt in FORMATS:
            with self.subTest(format=fmt):
                t_file, d_file = os.path.join(self.dir, f"t.{fmt}"), os.path.join(self.dir, f"d.{fmt}")
                self.assertEqual(self.db.sql(f"COPY t TO {sql_text(t_file)} FORMAT {fmt}")["rows"], len(typed))
                self.assertEqual(self.db.sql(f"COPY d TO {sql_text(d_file)} FORMAT {fmt}")["rows"], len(docs))
                # Into fresh tables of the same shape ...
                self.make_typed(f"t_{fmt}")
                self.make_docs(f"d_{fmt}")
                self.db.sql(f"COPY t_{fmt} FROM {sql_text(t_file)} FORMAT {fmt}")
                self.db.sql(f"COPY d_{fmt} FROM {sql_text(d_file)} FORMAT {fmt}")
                self.assertEqual(self.stored(f"t_{fmt}"), typed)
                self.assertEqual(self.stored(f"d_{fmt}"), docs)
                # ... and back into the tables they came from, which gains no row.
                self.assertEqual(self.db.sql(f"COPY t FROM {sql_text(t_file)} FORMAT {fmt}")["rows"], len(typed))
                self.db.sql(f"COPY d FROM {sql_text(d_file)} FORMAT {fmt}")
                self.assertEqual(self.stored("t"), typed)
                self.assertEqual(self.stored("d"), docs)

    def test_table_functions_read_what_copy_wrote(self):
        self.fill()
        for fmt, function in (("CSV", "read_csv"), ("JSON", "read_json"), ("NDJSON", "read_ndjson")):
            with self.subTest(format=fmt):
                path = os.path.join(self.dir, f"t.{fmt}")
                self.db.sql(f"COPY t TO {sql_text(path)} FORMAT {fmt}")
                names = self.db.sql(f"SELECT name FROM {function}({sql_text(path)}) f ORDER BY name")
                expected = sorted(AWKWARD)
                self.assertEqual([row["name"] for row in names if row["name"] is not None], expected)

    def test_create_table_as_copy_is_found_by_its_numeric_key(self):
        self.fill()
        result = self.db.sql("CREATE TABLE c AS SELECT id, name FROM t")
        self.assertEqual(result, {"rows": len(AWKWARD) + 1, "commit_ts": None,
                                  "message": f"created table c with {len(AWKWARD) + 1} row(s)"})
        self.assertEqual(self.db.sql("SELECT name FROM c WHERE pk = '7'"), [{"name": "plain"}])
        self.assertEqual(self.db.sql("SELECT name FROM c WHERE pk = '42'"), [{"name": None}])


class CsvAsCsvToolsReadItTest(TempDirTestCase):
    """CSV files as other tools write them, read as Python's csv module reads them."""

    def setUp(self):
        super().setUp()
        self.db = PyDatabase.open(self.path(), 2)

    def write(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w", newline="") as f:
            f.write(text)
        return path

    def test_stray_quotes_are_ordinary_characters(self):
        path = self.write("stray.csv", 'id,s\n1,5" pipe\n2,x\n3,7" pipe\n4,y\n5,z\n')
        with open(path, newline="") as f:
            records = list(csv.reader(f))
        expected = {r[0]: r[1] for r in records[1:]}
        self.assertEqual(len(expected), 5)
        self.db.sql("CREATE TABLE t (id INTEGER PRIMARY KEY, s TEXT)")
        self.assertEqual(self.db.sql(f"COPY t FROM {sql_text(path)}")["rows"], 5)
        got = {row["pk"]: row["s"] for row in self.db.sql("SELECT pk, s FROM t")}
        self.assertEqual(got, expected)
        read = {str(int(row["id"])): row["s"] for row in self.db.sql(f"SELECT id, s FROM read_csv({sql_text(path)}) f")}
        self.assertEqual(read, expected)

    def test_a_file_ending_inside_quotes_is_refused_and_writes_nothing(self):
        self.db.sql("CREATE TABLE t (id INTEGER PRIMARY KEY, s TEXT)")
        path = self.write("open.csv", 'id,"s\n1,a\n2,b\n')
        with self.assertRaisesRegex(RuntimeError, "unterminated quoted field in CSV record 1$"):
            self.db.sql(f"COPY t FROM {sql_text(path)}")
        self.assertEqual(self.db.sql("SELECT count(*) FROM t"), [0])

    def test_keys_with_white_space_at_either_end_come_back_exactly(self):
        self.db.sql("CREATE TABLE d (pk TEXT PRIMARY KEY)")
        keys = [" ", "\t", "a ", "a", "\u3000b"]
        for i, key in enumerate(keys):
            self.db.sql(f"INSERT INTO d (pk, doc) VALUES ({sql_text(key)}, '{{\"n\":{i}}}')")
        before = {row["pk"]: row["doc"] for row in self.db.sql("SELECT pk, doc FROM d")}
        self.assertEqual(len(before), len(keys))
        for fmt in FORMATS:
            with self.subTest(format=fmt):
                path = os.path.join(self.dir, f"keys.{fmt}")
                self.db.sql(f"COPY d TO {sql_text(path)} FORMAT {fmt}")
                self.db.sql(f"CREATE TABLE d_{fmt} (pk TEXT PRIMARY KEY)")
                self.assertEqual(self.db.sql(f"COPY d_{fmt} FROM {sql_text(path)} FORMAT {fmt}")["rows"], len(keys))
                after = {row["pk"]: row["doc"] for row in self.db.sql(f"SELECT pk, doc FROM d_{fmt}")}
                self.assertEqual(after, before)


class IntegerKeysTest(TempDirTestCase):
    """Nineteen-digit ids key their rows by their own digits on every path that reads JSON or CSV."""

    IDS = [1234567890123456789, 1234567890123456790, 18446744073709551615]

    def setUp(self):
        super().setUp()
        self.db = PyDatabase.open(self.path(), 2)

    def keys(self, table):
        return sorted(row["pk"] for row in self.db.sql(f"SELECT pk FROM {table}"))

    def test_every_path_keeps_the_digits(self):
        expected = sorted(str(i) for i in self.IDS)
        records = [{"id": i, "name": f"n{i}"} for i in self.IDS]
        json_path = os.path.join(self.dir, "ids.json")
        with open(json_path, "w") as f:
            json.dump(records, f)
        ndjson_path = os.path.join(self.dir, "ids.ndjson")
        with open(ndjson_path, "w") as f:
            f.write("".join(json.dumps(r) + "\n" for r in records))
        for fmt, path in (("JSON", json_path), ("NDJSON", ndjson_path)):
            with self.subTest(format=fmt):
                self.db.sql(f"CREATE TABLE t_{fmt} (id INTEGER PRIMARY KEY, name TEXT)")
                self.assertEqual(self.db.sql(f"COPY t_{fmt} FROM {sql_text(path)} FORMAT {fmt}")["rows"], 3)
                self.assertEqual(self.keys(f"t_{fmt}"), expected)
        with self.subTest(path="CREATE TABLE AS"):
            self.db.sql("CREATE TABLE src (pk TEXT PRIMARY KEY)")
            for r in records:
                self.db.sql(f"INSERT INTO src (pk, doc) VALUES ({sql_text(r['name'])}, {sql_text(json.dumps(r))})")
            self.assertEqual(self.db.sql("CREATE TABLE c AS SELECT doc FROM src")["rows"], 3)
            self.assertEqual(self.keys("c"), expected)
        with self.subTest(format="CSV"):
            # Within the signed 64-bit range a typed CSV field is read as an integer.
            csv_path = os.path.join(self.dir, "ids.csv")
            with open(csv_path, "w") as f:
                f.write("id,name\n1234567890123456789,a\n1234567890123456790,b\n")
            self.db.sql("CREATE TABLE t_csv (id BIGINT PRIMARY KEY, name TEXT)")
            self.assertEqual(self.db.sql(f"COPY t_csv FROM {sql_text(csv_path)}")["rows"], 2)
            self.assertEqual(self.keys("t_csv"), ["1234567890123456789", "1234567890123456790"])

    def test_typed_insert_refuses_a_key_number_a_double_cannot_hold(self):
        self.db.sql("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT)")
        with self.assertRaisesRegex(RuntimeError, "primary key number 1234567890123456789 cannot be stored exactly; "
                                                  "write it as a text$"):
            self.db.sql("INSERT INTO t (id, name) VALUES (1234567890123456789, 'a')")
        self.db.sql("INSERT INTO t (id, name) VALUES ('1234567890123456789', 'a')")
        self.assertEqual(self.keys("t"), ["1234567890123456789"])


if __name__ == "__main__":
    unittest.main()
