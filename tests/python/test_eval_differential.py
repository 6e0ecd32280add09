"""Expression evaluation against SQLite on generated data (fixed seed), over the part of the dialect
that agrees with standard SQL: arithmetic on integers without division, comparisons of numbers,
AND, OR and NOT over comparisons, BETWEEN, IN lists and searched CASE, all without NULLs (the
dialect's two-valued logic differs there). Numbers come back as floats and compare as numbers.
UPDATE and DELETE run the same generated expressions with some column names qualified by the
table's name, in either letter case, as standard SQL allows there."""

import json
import random
import re
import sqlite3
import unittest

from quenlordb import PyDatabase
from support import TempDirTestCase

COLUMNS = ["a", "b", "c"]


def num_expr(rng, depth):
    if depth == 0 or rng.random() < 0.3:
        return rng.choice(COLUMNS) if rng.random() < 0.6 else str(rng.randint(-9, 9)).replace("-", "0 - ")
    kind = rng.random()
    if kind < 0.6:
        op = rng.choice(["+", "-", "*"])
        return f"({num_expr(rng, depth - 1)} {op} {num_expr(rng, depth - 1)})"
    return f"(CASE WHEN {bool_expr(rng, depth - 1)} THEN {num_expr(rng, depth - 1)} ELSE {num_expr(rng, depth - 1)} END)"


def bool_expr(rng, depth):
    kind = rng.random()
    if depth == 0 or kind < 0.35:
        op = rng.choice(["<", ">", "=", "<=", ">=", "!=", "<>"])
        return f"{num_expr(rng, 1)} {op} {num_expr(rng, 1)}"
    if kind < 0.55:
        return f"({bool_expr(rng, depth - 1)} {rng.choice(['AND', 'OR'])} {bool_expr(rng, depth - 1)})"
    if kind < 0.65:
        return f"NOT ({bool_expr(rng, depth - 1)})"
    if kind < 0.8:
        negated = "NOT " if rng.random() < 0.3 else ""
        return f"{num_expr(rng, 1)} {negated}BETWEEN {num_expr(rng, 1)} AND {num_expr(rng, 1)}"
    negated = "NOT " if rng.random() < 0.3 else ""
    items = ", ".join(num_expr(rng, 0) for _ in range(rng.randint(1, 4)))
    return f"{num_expr(rng, 1)} {negated}IN ({items})"


def qualify(rng, expr):
    """expr with each column name qualified by the table `t`, as `t.a` or `T.a`, or left bare."""
    return re.sub(r"\b([abc])\b", lambda m: rng.choice(["t.", "T.", ""]) + m.group(1), expr)


class EvalDifferentialTest(TempDirTestCase):
    def setUp(self):
        super().setUp()
        self.db = PyDatabase.open(self.path(), 2)
        self.db.put(b"__meta/table/t", b"{}", 0, 2**64 - 1)
        self.lite = sqlite3.connect(":memory:")
        self.lite.execute("CREATE TABLE t (pk TEXT, a INTEGER, b INTEGER, c INTEGER)")
        self.rng = random.Random(1210)
        self.fill()

    def fill(self):
        """Gives each of the 40 keys that has no row a new one, on both sides."""
        present = {r[0] for r in self.lite.execute("SELECT pk FROM t")}
        for i in range(40):
            pk = f"r{i:02d}"
            if pk in present:
                continue
            row = {name: self.rng.randint(-6, 6) for name in COLUMNS}
            self.db.sql(f"INSERT INTO t (pk, doc) VALUES ('{pk}', '{json.dumps(row)}')")
            self.lite.execute("INSERT INTO t VALUES (?, ?, ?, ?)", (pk, row["a"], row["b"], row["c"]))

    def test_where_keeps_the_same_rows(self):
        rng = random.Random(20261210)
        for _ in range(300):
            predicate = bool_expr(rng, 3)
            with self.subTest(predicate=predicate):
                ours = sorted(r["pk"] for r in self.db.sql(f"SELECT pk FROM t WHERE {predicate}"))
                theirs = sorted(r[0] for r in self.lite.execute(f"SELECT pk FROM t WHERE {predicate}"))
                self.assertEqual(ours, theirs)

    def test_projected_values_agree(self):
        rng = random.Random(42)
        for _ in range(150):
            expr = num_expr(rng, 3)
            with self.subTest(expr=expr):
                ours = {r["pk"]: r["v"] for r in self.db.sql(f"SELECT pk, {expr} AS v FROM t")}
                theirs = {pk: v for pk, v in self.lite.execute(f"SELECT pk, {expr} FROM t")}
                self.assertEqual(ours.keys(), theirs.keys())
                for pk, v in theirs.items():
                    self.assertEqual(ours[pk], float(v), pk)

    def test_qualified_updates_and_deletes_write_the_same_rows(self):
        rng = random.Random(19)
        for i in range(120):
            where = qualify(rng, bool_expr(rng, 2))
            if i % 4 == 3:
                stmt = f"DELETE FROM t WHERE {where}"
            else:
                # Each value reads the row as it was, on both sides; % keeps the numbers small.
                stmt = f"UPDATE t SET a = ({qualify(rng, num_expr(rng, 1))}) % 7, b = {qualify(rng, 'c')} WHERE {where}"
            with self.subTest(stmt=stmt):
                ours = self.db.sql(stmt)["rows"]
                theirs = self.lite.execute(stmt).rowcount
                self.assertEqual(ours, theirs)
                got = [(r["pk"], r["a"], r["b"], r["c"]) for r in self.db.sql("SELECT pk, a, b, c FROM t ORDER BY pk")]
                want = [(pk, float(a), float(b), float(c))
                        for pk, a, b, c in self.lite.execute("SELECT pk, a, b, c FROM t ORDER BY pk")]
                self.assertEqual(got, want)
            self.fill()


if __name__ == "__main__":
    unittest.main()
