"""Joins and window functions against Python's sqlite3 on the same generated rows (fixed seeds; a
member may be null or missing): inner, left, right and cross joins on the primary key and on
equalities of document fields (texts and numbers, one or two of them), and ROW_NUMBER, RANK,
DENSE_RANK, LAG and LEAD over partitions. Table-qualified names are written the same for both,
since they read the table they name here as in standard SQL.

The dialect's documented differences are normalised, not skipped:
- numbers are doubles, so every number is compared as a float;
- a missing member reads NULL, and NULL = NULL holds here: sqlite pairs document fields with IS;
- a joined row's `*` is {"left_doc", "pk", "right_doc"}: it is compared field by field with the
  two tables' columns, and its key (the left pk, or the right pk of an unmatched right row) with
  COALESCE(l.pk, r.pk), which is also what the unqualified `pk` of a joined row reads; a CROSS
  row's key is l.pk || '_' || r.pk;
- a join without ORDER BY comes out in key order: that order is checked, and the rows of one key
  are compared as a set; with ORDER BY the order values are compared in sequence and the rows of
  equal values as a set, and with LIMIT both sides order by the two pks after the written keys;
- window ORDER BY ties and a window without ORDER BY keep input order (pk order for a scanned
  table), and so does the query's ORDER BY; sqlite is given `pk` as the last key in those places.
"""

import json
import random
import sqlite3
import sys
import unittest

from quenlordb import PyDatabase
from support import TempDirTestCase, same_rows, sql_value

KEYS = ["k%03d" % i for i in range(60)]
IDS = ["c%d" % i for i in range(15)]
GROUPS = ["ant", "bee", "cat", "Dog"]


def sortable(row):
    """A total order over rows of None, numbers and texts, for comparing them as sets."""
    return [(v is None, isinstance(v, str), v if v is not None else 0) for v in row]


def as_set(rows):
    return sorted(rows, key=sortable)


def runs(rows, width):
    """The rows cut into runs of equal leading `width` values, each run as a set."""
    out, start = [], 0
    for i in range(1, len(rows) + 1):
        if i == len(rows) or rows[i][:width] != rows[start][:width]:
            out.append(as_set(rows[start:i]))
            start = i
    return out


def maybe_upper(rng, name):
    return name.upper() if rng.random() < 0.15 else name


def with_gaps(rng, doc):
    """The document with some members set to null and some left out."""
    out = {}
    for name, value in doc.items():
        roll = rng.random()
        if roll < 0.1:
            continue
        out[name] = None if roll < 0.2 else value
    return out


class JoinWindowDifferentialTest(TempDirTestCase):
    def setUp(self):
        super().setUp()
        self.db = PyDatabase.open(self.path(), 2)
        self.lite = sqlite3.connect(":memory:")
        self.queries = 0
        self.compared = 0

    def make_table(self, name, columns, rows):
        self.db.sql("CREATE TABLE %s (pk TEXT PRIMARY KEY)" % name)
        self.lite.execute("CREATE TABLE %s (pk TEXT PRIMARY KEY, %s)" % (name, ", ".join(columns)))
        for pk, doc in rows:
            self.db.sql("INSERT INTO %s (pk, doc) VALUES ('%s', '%s')" % (name, pk, json.dumps(doc)))
            self.lite.execute("INSERT INTO %s VALUES (?%s)" % (name, ", ?" * len(columns)),
                              [pk] + [doc.get(c.split()[0]) for c in columns])

    def both(self, ours, theirs):
        """Our rows as dicts and sqlite's as lists of dialect values."""
        self.queries += 1
        got = self.db.sql(ours)
        want = [[sql_value(v) for v in row] for row in self.lite.execute(theirs)]
        self.compared += len(want)
        return got, want

    def report(self, what):
        print("%s: %d queries, %d rows compared" % (what, self.queries, self.compared), file=sys.stderr)

    def test_joins_agree_with_sqlite(self):
        rng = random.Random(1942)
        left = [(pk, with_gaps(rng, {"g": rng.choice(GROUPS), "v": rng.randint(0, 9), "fk": rng.choice(IDS)}))
                for pk in rng.sample(KEYS, 40)]
        right = [(pk, with_gaps(rng, {"id": rng.choice(IDS), "w": rng.randint(0, 9), "h": rng.choice(GROUPS)}))
                 for pk in rng.sample(KEYS, 40)]
        self.make_table("l", ["g TEXT", "v INTEGER", "fk TEXT"], left)
        self.make_table("r", ["id TEXT", "w INTEGER", "h TEXT"], right)
        kinds = ["JOIN", "INNER JOIN", "LEFT JOIN", "LEFT OUTER JOIN"]
        if sqlite3.sqlite_version_info >= (3, 39, 0):
            kinds += ["RIGHT JOIN"]
        items = [("l.v", "lv"), ("r.w", "rw"), ("l.g", "lg"), ("r.h", "rh"), ("l.fk", "lf"), ("r.id", "ri"),
                 ("l.v + r.w", "s")]
        order_keys = ["l.v", "r.w", "l.g", "r.h", "l.v + r.w"]
        for n in range(500):
            kind = rng.choice(kinds + ["CROSS JOIN"])
            key = "l.pk || '_' || r.pk" if kind == "CROSS JOIN" else "COALESCE(l.pk, r.pk)"
            if kind == "CROSS JOIN":
                ours_on = their_on = None
            elif rng.random() < 0.5:
                ours_on, their_on = rng.choice([("l.pk = r.pk",) * 2, ("r.pk = l.pk",) * 2,
                                                ("L.PK = r.Pk",) * 2, ("pk", "l.pk = r.pk")])
            else:
                ours_on, their_on = rng.choice([("l.fk = r.id", "l.fk IS r.id"), ("r.id = L.fk", "r.id IS L.fk"),
                                                ("doc.left_doc.fk = doc.right_doc.id", "l.fk IS r.id"),
                                                ("l.v = r.w", "l.v IS r.w"),
                                                ("l.g = r.h AND r.w = l.v", "l.g IS r.h AND r.w IS l.v")])
            if ours_on not in (None, "pk") and rng.random() < 0.25:
                extra = " AND r.w > %d" % rng.randint(0, 8)
                ours_on, their_on = ours_on + extra, their_on + extra
            ours_from = their_from = "FROM l %s r" % kind
            if ours_on:
                ours_from, their_from = ours_from + " ON " + ours_on, their_from + " ON " + their_on

            ours_where, their_where = [], []
            if rng.random() < 0.2:
                k = rng.choice(KEYS)
                if kind == "CROSS JOIN":
                    k += "_" + rng.choice(KEYS)
                ours_where.append("pk = '%s'" % k)
                their_where.append("%s = '%s'" % (key, k))
            for _ in range(rng.choice([0, 0, 1, 2])):
                cond = rng.choice(["%s.v > %d" % (maybe_upper(rng, "l"), rng.randint(0, 9)),
                                   "r.w < %d" % rng.randint(0, 9),
                                   "l.g = '%s'" % rng.choice(GROUPS), "r.h <= '%s'" % rng.choice(GROUPS)])
                ours_where.append(cond)
                their_where.append(cond)
            if ours_where:
                ours_from += " WHERE " + " AND ".join(ours_where)
                their_from += " WHERE " + " AND ".join(their_where)

            shape = rng.random()
            with self.subTest(n=n, sql=ours_from):
                if shape < 0.1:
                    got, want = self.both("SELECT count(*) " + ours_from, "SELECT count(*) " + their_from)
                    self.assertTrue(same_rows([[sql_value(v) for v in got]], want), (got, want))
                    continue
                if shape < 0.3:
                    # The joined document: the key, then both tables' fields (null on a padded side).
                    got, want = self.both("SELECT * " + ours_from,
                                          "SELECT %s, l.g, l.v, l.fk, r.id, r.w, r.h %s" % (key, their_from))
                    got = [[sql_value(v) for v in [row["pk"]] +
                            [(row["left_doc"] or {}).get(f) for f in ("g", "v", "fk")] +
                            [(row["right_doc"] or {}).get(f) for f in ("id", "w", "h")]] for row in got]
                    self.assertEqual([row[0] for row in got], sorted(row[0] for row in got))
                    self.assertTrue(same_rows(as_set(got), as_set(want)), (got, want))
                    continue

                chosen = rng.sample(items, rng.randint(0, 3))
                ours_items = ["pk AS k0", "l.pk AS lk", "r.pk AS rk"] + ["%s AS %s" % c for c in chosen]
                their_items = ["%s AS k0" % key, "l.pk AS lk", "r.pk AS rk"] + ["%s AS %s" % c for c in chosen]
                names = ["k0", "lk", "rk"] + [c[1] for c in chosen]
                order = []
                if rng.random() < 0.6:
                    order = [e + rng.choice(["", " DESC"]) for e in rng.sample(order_keys, rng.randint(1, 2))]
                limit = order and rng.random() < 0.4
                # The order values lead each row, so that their sequence can be compared.
                lead = ["%s AS o%d" % (e.split(" DESC")[0], i) for i, e in enumerate(order)]
                names = ["o%d" % i for i in range(len(order))] + names
                ours = "SELECT %s %s" % (", ".join(lead + ours_items), ours_from)
                theirs = "SELECT %s %s" % (", ".join(lead + their_items), their_from)
                if order:
                    tail = order + ["l.pk", "r.pk"] if limit else order
                    ours += " ORDER BY " + ", ".join(tail)
                    theirs += " ORDER BY " + ", ".join(tail)
                if limit:
                    count = rng.randint(0, 12)
                    ours += " LIMIT %d" % count
                    theirs += " LIMIT %d" % count
                got, want = self.both(ours, theirs)
                got = [[sql_value(row.get(name)) for name in names] for row in got]
                if limit:
                    self.assertTrue(same_rows(got, want), (ours, got, want))
                elif order:
                    self.assertTrue(same_rows([r[:len(order)] for r in got], [r[:len(order)] for r in want]))
                    self.assertEqual(len(runs(got, len(order))), len(runs(want, len(order))))
                    for g, w in zip(runs(got, len(order)), runs(want, len(order))):
                        self.assertTrue(same_rows(g, w), (ours, g, w))
                else:
                    self.assertEqual([row[0] for row in got], sorted(row[0] for row in got))
                    self.assertTrue(same_rows(as_set(got), as_set(want)), (ours, got, want))
        self.report("joins")

    def test_window_functions_agree_with_sqlite(self):
        rng = random.Random(1943)
        keys = ["t%03d" % i for i in range(60)]
        rng.shuffle(keys)  # written out of order: input order is still pk order
        rows = [(pk, with_gaps(rng, {"g": rng.choice(GROUPS), "h": rng.randint(0, 2), "v": rng.randint(0, 9),
                                     "w": rng.randint(0, 20)})) for pk in keys]
        self.make_table("t", ["g TEXT", "h INTEGER", "v INTEGER", "w INTEGER"], rows)
        columns = ["g", "h", "v", "w"]

        def column(name):
            return rng.choice(["", "", "t.", "T."]) + name

        for n in range(400):
            ours_items, their_items, names = ["pk"], ["pk"], ["pk"]
            for i in range(rng.randint(1, 3)):
                fn = rng.choice(["row_number", "rank", "dense_rank", "lag", "lead"])
                parts = []
                partition = rng.sample(columns[:2], rng.randint(0, 2))
                if partition:
                    parts.append("PARTITION BY " + ", ".join(column(c) for c in partition))
                order = [column(c) + rng.choice(["", " DESC"]) for c in rng.sample(columns[1:], rng.randint(0, 2))]
                ours_over = parts + (["ORDER BY " + ", ".join(order)] if order else [])
                # ROW_NUMBER, LAG and LEAD see ties and unordered partitions in input order.
                their_order = order + ["pk"] if fn in ("row_number", "lag", "lead") else order
                their_over = parts + (["ORDER BY " + ", ".join(their_order)] if their_order else [])
                args = ""
                if fn in ("lag", "lead"):
                    value = rng.choice(columns)
                    arg_list = [column(value)]
                    if rng.random() < 0.6:
                        arg_list.append(str(rng.randint(0, 3)))
                        if rng.random() < 0.6:
                            arg_list.append(rng.choice(["'none'", column("h")] if value == "g" else
                                                       ["0", "-1", "99", column("w") + " - 100"]))
                    args = ", ".join(arg_list)
                alias = "w%d" % i
                ours_items.append("%s(%s) OVER (%s) AS %s" % (fn, args, " ".join(ours_over), alias))
                their_items.append("%s(%s) OVER (%s) AS %s" % (fn, args, " ".join(their_over), alias))
                names.append(alias)
            if rng.random() < 0.3:
                ours_items.append("v")
                their_items.append("v")
                names.append("v")
            source = " FROM t"
            if rng.random() < 0.3:
                source += " WHERE " + rng.choice(["%s > %d" % (column("v"), rng.randint(0, 8)),
                                                  "%s = '%s'" % (column("g"), rng.choice(GROUPS))])
            ours = "SELECT " + ", ".join(ours_items) + source
            theirs = "SELECT " + ", ".join(their_items) + source
            if rng.random() < 0.5:
                keys_by = rng.sample(names[1:] + ["g", "h"], rng.randint(1, 2))
                by = ", ".join(k + rng.choice(["", " DESC"]) for k in keys_by)
                ours += " ORDER BY " + by
                theirs += " ORDER BY " + by + ", pk"
            else:
                theirs += " ORDER BY pk"
            if rng.random() < 0.3:
                count = rng.randint(0, 15)
                ours += " LIMIT %d" % count
                theirs += " LIMIT %d" % count
            with self.subTest(n=n, sql=ours):
                got, want = self.both(ours, theirs)
                got = [[sql_value(row.get(name)) for name in names] for row in got]
                self.assertTrue(same_rows(got, want), (ours, got, want))
        self.report("windows")


if __name__ == "__main__":
    unittest.main()
