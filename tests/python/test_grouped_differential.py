"""Grouped queries against Python's sqlite3 on the same generated rows: COUNT, SUM, AVG, MIN and
MAX with GROUP BY, HAVING, ORDER BY and LIMIT, where the dialect and standard SQL agree. Numbers
are compared as floats, since the dialect has no integer kind."""

import random
import sqlite3
import unittest

from quenlordb import PyDatabase
from support import TempDirTestCase, same_rows, sql_value

AGGREGATES = [
    ("count(*)", "c"),
    ("count(x)", "cx"),
    ("sum(x)", "sx"),
    ("avg(y)", "ay"),
    ("min(x)", "mnx"),
    ("max(y)", "mxy"),
    ("sum(y)", "sy"),
    ("avg(x)", "ax"),
]


class GroupedDifferentialTest(TempDirTestCase):
    def test_grouped_queries_agree_with_sqlite(self):
        rng = random.Random(18)
        db = PyDatabase.open(self.path(), 2)
        db.put(b"__meta/table/t", b"{}", 0, 2**64 - 1)
        lite = sqlite3.connect(":memory:")
        lite.execute("CREATE TABLE t (g TEXT, h INTEGER, x INTEGER, y REAL)")
        for i in range(300):
            g = rng.choice(["ant", "bee", "cat", "dog", "eel", "Fox"])
            h = rng.randint(0, 4)
            x = rng.randint(-50, 100)
            y = round(rng.uniform(-10, 10), 3)
            doc = '{"g": "%s", "h": %d, "x": %d, "y": %r}' % (g, h, x, y)
            db.sql("INSERT INTO t (pk, doc) VALUES ('r%d', '%s')" % (i, doc))
            lite.execute("INSERT INTO t VALUES (?, ?, ?, ?)", (g, h, x, y))

        for n in range(300):
            keys = rng.choice([["g"], ["h"], ["g", "h"]])
            aggs = rng.sample(AGGREGATES, rng.randint(1, 4))
            items = keys + ["%s AS %s" % a for a in aggs]
            sql = "SELECT %s FROM t" % ", ".join(items)
            if rng.random() < 0.4:
                sql += " WHERE x > %d" % rng.randint(-50, 80)
            sql += " GROUP BY " + ", ".join(keys)
            if rng.random() < 0.5:
                expr, alias = rng.choice(AGGREGATES[:3] + [("avg(y)", "ay")])
                bound = {"c": 8, "cx": 8, "sx": 300, "ay": 0}[alias]
                target = alias if (expr, alias) in aggs and rng.random() < 0.5 else expr
                sql += " HAVING %s > %d" % (target, rng.randint(0, bound) if bound else 0)
            order = []
            first = rng.choice(aggs + [(k, k) for k in keys])
            by_expr = first[0] if rng.random() < 0.5 else first[1]
            order.append(by_expr + rng.choice(["", " DESC"]))
            order += [k + rng.choice(["", " DESC"]) for k in keys]
            sql += " ORDER BY " + ", ".join(order)
            if rng.random() < 0.5:
                sql += " LIMIT %d" % rng.randint(0, 12)

            names = keys + [a[1] for a in aggs]
            want = [[sql_value(v) for v in row] for row in lite.execute(sql)]
            got = [[sql_value(row.get(name)) for name in names] for row in db.sql(sql)]
            with self.subTest(n=n, sql=sql):
                self.assertTrue(same_rows(got, want), (got, want))


if __name__ == "__main__":
    unittest.main()
