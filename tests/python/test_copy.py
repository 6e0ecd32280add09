"""COPY TO and COPY FROM round trips, the file table functions and CREATE TABLE AS, through Python."""

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


if __name__ == "__main__":
    unittest.main()
