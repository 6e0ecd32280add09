"""Expression evaluation against SQLite on generated data (fixed seed), over the part of the dialect
that agrees with standard SQL: arithmetic on integers without division, comparisons of numbers,
AND, OR and NOT over comparisons, BETWEEN, IN lists and searched CASE, all without NULLs (the
dialect's two-valued logic differs there). Numbers come back as floats and compare as numbers."""

import json
import random
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


class EvalDifferentialTest(TempDirTestCase):
    def setUp(self):
        super().setUp()
        self.db = PyDatabase.open(self.path(), 2)
        self.db.put(b"__meta/table/t", b"{}", 0, 2**64 - 1)
        self.lite = sqlite3.connect(":memory:")
        self.lite.execute("CREATE TABLE t (pk TEXT, a INTEGER, b INTEGER, c INTEGER)")
        rng = random.Random(1210)
        for i in range(40):
            row = {name: rng.randint(-6, 6) for name in COLUMNS}
            pk = f"r{i:02d}"
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


if __name__ == "__main__":
    unittest.main()
