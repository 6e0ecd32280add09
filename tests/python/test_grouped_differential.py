"""Grouped queries and set operations against Python's sqlite3 on the same generated rows: COUNT,
SUM, AVG, MIN and MAX with GROUP BY, HAVING, ORDER BY and LIMIT, and UNION, UNION ALL, INTERSECT
and EXCEPT, where the dialect and standard SQL agree. Members are sometimes missing or null, and
the keys x % 3 and y * 0 give -0 for negative x and y.

The dialect's documented differences are normalised, not skipped:
- numbers are doubles, so every number is compared as a float, and -0 equals 0; our results must
  never hold a -0, which the dialect writes as 0 in grouped and set-operation results;
- comparisons with NULL are false and NOT NULL is true (two-valued logic): sqlite is given each
  comparison, BETWEEN and IN wrapped in coalesce(..., 0), and NOT BETWEEN and NOT IN as NOT of that;
- an aggregate may appear at the top of a HAVING comparison but not inside NOT, IS NULL, BETWEEN or
  IN, where only output aliases stand;
- set operations keep rows in first-occurrence order, sqlite in an order of its own: rows are
  compared as multisets.
"""

import math
import random
import sqlite3
import unittest

from quenlordb import PyDatabase
from support import TempDirTestCase, same_rows, sql_value

# (expression, alias, lowest and highest value the HAVING constants are drawn from)
AGGREGATES = [
    ("count(*)", "c", 0, 12),
    ("count(x)", "cx", 0, 12),
    ("sum(x)", "sx", -100, 300),
    ("avg(y)", "ay", -5, 5),
    ("min(x)", "mnx", -50, 100),
    ("max(y)", "mxy", -10, 10),
    ("sum(y)", "sy", -30, 30),
    ("avg(x)", "ax", -20, 60),
    ("min(y)", "mny", -10, 10),
]
# (expression, output name when selected without an alias, HAVING constants)
KEYS = {
    "g": ("g", ["'ant'", "'bee'", "'Fox'"]),
    "h": ("h", ["0", "2", "4"]),
    "x % 3": (None, ["-1", "0", "1"]),
    "y * 0": (None, ["0"]),
}
KEY_SETS = [["g"], ["h"], ["g", "h"], ["x % 3"], ["h", "x % 3"], ["y * 0"], ["g", "y * 0"]]


def negative_zero(value):
    return isinstance(value, float) and value == 0 and math.copysign(1, value) < 0


def fill_table(rng, db, lite, rows):
    db.put(b"__meta/table/t", b"{}", 0, 2**64 - 1)
    lite.execute("CREATE TABLE t (g TEXT, h INTEGER, x INTEGER, y REAL)")

    def pick(choices, missing=0.08, null=0.04):
        r = rng.random()
        return "missing" if r < missing else None if r < missing + null else choices()

    for i in range(rows):
        values = {
            "g": pick(lambda: rng.choice(["ant", "bee", "cat", "dog", "eel", "Fox"])),
            "h": pick(lambda: rng.randint(0, 4)),
            "x": pick(lambda: rng.randint(-50, 100)),
            "y": pick(lambda: -0.0 if rng.random() < 0.15 else 0.0 if rng.random() < 0.1
                      else round(rng.uniform(-10, 10), 3)),
        }
        members = ['"%s": %s' % (k, "null" if v is None else '"%s"' % v if k == "g" else repr(v))
                   for k, v in values.items() if v != "missing"]
        db.sql("INSERT INTO t (pk, doc) VALUES ('r%d', '{%s}')" % (i, ", ".join(members)))
        lite.execute("INSERT INTO t VALUES (?, ?, ?, ?)",
                     [None if values[k] == "missing" else values[k] for k in "ghxy"])


class HavingBuilder:
    """A random HAVING condition in both dialects over the given targets: (ours, sqlite's text,
    constants) for each output alias, and aggregate expressions, which stand only at the top of a
    comparison."""

    def __init__(self, rng, aliases, aggregates):
        self.rng, self.aliases, self.aggregates = rng, aliases, aggregates

    def atom(self, top):
        rng = self.rng
        targets = self.aliases + (self.aggregates if top else [])
        ours, theirs, consts = rng.choice(targets)
        k = rng.choice(consts)
        kind = rng.choice(["cmp", "null", "between", "in"] if (ours, theirs, consts) in self.aliases else ["cmp"])
        if kind == "cmp":
            op = rng.choice([">", "<", ">=", "="])
            return "%s %s %s" % (ours, op, k), "coalesce(%s %s %s, 0)" % (theirs, op, k)
        if kind == "null":
            neg = rng.choice(["", " NOT"])
            return "%s IS%s NULL" % (ours, neg), "%s IS%s NULL" % (theirs, neg)
        neg = rng.random() < 0.4
        if kind == "between":
            numeric = lambda c: float(c) if c.lstrip("-").isdigit() else c
            lo, hi = sorted(rng.sample(consts, 2), key=numeric) if len(consts) > 1 else (k, k)
            test = "%%s %%sBETWEEN %s AND %s" % (lo, hi)
        else:
            test = "%%s %%sIN (%s)" % ", ".join(rng.sample(consts, min(2, len(consts))))
        plain = "coalesce(%s, 0)" % (test % (theirs, ""))
        return test % (ours, "NOT " if neg else ""), ("NOT " if neg else "") + plain

    def condition(self):
        shape = self.rng.choice(["atom", "not", "and", "or not"])
        if shape == "atom":
            return self.atom(True)
        if shape == "not":
            ours, theirs = self.atom(False)
            return "NOT (%s)" % ours, "NOT (%s)" % theirs
        (a, b) = self.atom(True)
        if shape == "and":
            (c, d) = self.atom(True)
            return "%s AND %s" % (a, c), "%s AND %s" % (b, d)
        (c, d) = self.atom(False)
        return "%s OR NOT (%s)" % (a, c), "%s OR NOT (%s)" % (b, d)


class GroupedDifferentialTest(TempDirTestCase):
    def setUp(self):
        super().setUp()
        self.db = PyDatabase.open(self.path(), 2)
        self.lite = sqlite3.connect(":memory:")

    def assert_no_negative_zero(self, rows, sql):
        for row in rows:
            values = row.values() if isinstance(row, dict) else [row]
            self.assertFalse(any(negative_zero(v) for v in values), (sql, row))

    def test_grouped_queries_agree_with_sqlite(self):
        rng = random.Random(18)
        fill_table(rng, self.db, self.lite, 300)
        returned = 0
        for n in range(300):
            keys = rng.choice(KEY_SETS)
            aggs = rng.sample(AGGREGATES, rng.randint(1, 4))
            items, names, aliases = [], [], []
            for i, key in enumerate(keys):
                bare_name, consts = KEYS[key]
                form = rng.choice(["bare", "alias", "unselected"] if bare_name else ["alias", "unselected"])
                if form == "bare":
                    items.append(key)
                    names.append(bare_name)
                elif form == "alias":
                    items.append("%s AS k%d" % (key, i))
                    names.append("k%d" % i)
                    aliases.append(("k%d" % i, "k%d" % i, consts))
            for expr, alias, lo, hi in aggs:
                items.append("%s AS %s" % (expr, alias))
                names.append(alias)
                consts = [str(v) for v in sorted(rng.sample(range(lo, hi + 1), 3))]
                aliases.append((alias, alias, consts))
            aggregates = [(e, e, [str(v) for v in sorted(rng.sample(range(lo, hi + 1), 3))])
                          for e, _, lo, hi in AGGREGATES]
            ours = theirs = "SELECT %s FROM t" % ", ".join(items)
            if rng.random() < 0.4:
                where = " WHERE x > %d" % rng.randint(-50, 80)
                ours, theirs = ours + where, theirs + where
            ours += " GROUP BY " + ", ".join(keys)
            theirs += " GROUP BY " + ", ".join(keys)
            if rng.random() < 0.6:
                having, their_having = HavingBuilder(rng, aliases, aggregates).condition()
                ours += " HAVING " + having
                theirs += " HAVING " + their_having
            # A first key of any kind, then every grouping key (by alias or expression), so that
            # the order is total.
            targets = [(a[0], a[1]) for a in aggs] + [(k, k) for k in keys]
            first = rng.choice(targets)
            order = [(first[0] if rng.random() < 0.5 or first[1] not in names else first[1])
                     + rng.choice(["", " DESC"])]
            for i, key in enumerate(keys):
                by = "k%d" % i if "k%d" % i in names and rng.random() < 0.5 else key
                order.append(by + rng.choice(["", " DESC"]))
            ours += " ORDER BY " + ", ".join(order)
            theirs += " ORDER BY " + ", ".join(order)
            if rng.random() < 0.5:
                limit = " LIMIT %d" % rng.randint(0, 12)
                ours, theirs = ours + limit, theirs + limit

            want = [[sql_value(v) for v in row] for row in self.lite.execute(theirs)]
            rows = self.db.sql(ours)
            got = [[sql_value(row.get(name)) for name in names] for row in rows]
            returned += len(got)
            with self.subTest(n=n, sql=ours):
                self.assertTrue(same_rows(got, want), (got, want, theirs))
                self.assert_no_negative_zero(rows, ours)
        self.assertGreater(returned, 1000)

    def test_set_operations_agree_with_sqlite(self):
        rng = random.Random(31)
        fill_table(rng, self.db, self.lite, 120)
        columns = ["g", "h", "x % 3 AS m", "y * 0 AS z", "h + 1 AS i"]
        names = {"g": "g", "h": "h", "x % 3 AS m": "m", "y * 0 AS z": "z", "h + 1 AS i": "i"}
        ops = ["UNION", "UNION ALL", "INTERSECT", "EXCEPT"]
        for n in range(150):
            chosen = rng.sample(columns, rng.randint(1, 3))

            def side():
                lo = rng.randint(-60, 90)
                return "SELECT %s FROM t WHERE x > %d AND x < %d" % (", ".join(chosen), lo, lo + rng.randint(5, 60))

            sides = [side() for _ in range(rng.choice([2, 2, 3]))]
            chain = [rng.choice(ops) for _ in sides[1:]]
            sql = sides[0]
            for op, query in zip(chain, sides[1:]):
                sql += " %s %s" % (op, query)
            # Ours nests a chain to the right, sqlite groups it from the left: its right part is a
            # subquery there.
            theirs = sides[0] + " %s " % chain[0]
            theirs += sides[1] if len(sides) == 2 else "SELECT * FROM (%s %s %s)" % (sides[1], chain[1], sides[2])
            rows = self.db.sql(sql)
            got = sorted(([sql_value(row.get(names[c])) for c in chosen] for row in rows), key=repr)
            want = sorted(([0.0 if v == 0 else v for v in map(sql_value, row)] for row in self.lite.execute(theirs)),
                          key=repr)
            with self.subTest(n=n, sql=sql):
                self.assertEqual(got, want)
                self.assert_no_negative_zero(rows, sql)


if __name__ == "__main__":
    unittest.main()
