"""Join benchmark: equality joins of quenlordb beside sqlite3 with typed columns.

U users {"city", "name", "score"} under the keys u0000000, u0000001, ... and O orders {"amt",
"user", "user_name"}, each naming a user by key (`user`) and by name (`user_name`); one order in a
hundred names a user that does not exist. The jobs:
- the foreign-key join count: orders joined with users on the order's user and the user's key;
- the same join filtered on a user field (the city) and summing a field of the order;
- a join of two fields that are not keys: the order's user_name and the user's name.

sqlite3 (the standard library's, in this process) holds the same rows in typed columns with a text
primary key, `users (pk TEXT PRIMARY KEY, city TEXT, name TEXT, score INTEGER)` and `orders (pk TEXT
PRIMARY KEY, user TEXT, user_name TEXT, amt INTEGER)`, in a file in WAL mode, analysed (ANALYZE)
after the load: it finds a user through its primary-key index, and for the join of two fields (no
index on them) builds a transient one. Both sides are loaded untimed before the jobs; each figure is the best of three runs, and every
answer is checked against sqlite3's. Beside our figures, how far one run of the job raised the
process's peak resident memory: each job is run once for it, untimed, before any timed run.

    PYTHONPATH=build/python python3.12 bench/join_bench.py [--users 100000] [--orders 500000]

A ratio is sqlite3's time over ours (above 1: quenlordb is faster). Not a test: run by hand.
"""

import argparse
import json
import os
import random
import shutil
import sqlite3
import tempfile

from quenlordb import PyDatabase
from sql_bench import REPEATS, best_of, end_with_the_check, peak_growth, sql_literal

CITIES = 20


def make_data(users, orders, seed):
    rng = random.Random(seed)
    names = ["name%07d" % i for i in range(users)]
    rng.shuffle(names)
    user_rows = [("u%07d" % i, "c%d" % rng.randrange(CITIES), names[i], rng.randrange(1000)) for i in range(users)]
    order_rows = []
    for j in range(orders):
        if rng.random() < 0.01:
            user, name = "u%07d" % (users + rng.randrange(users)), "name-gone"
        else:
            i = rng.randrange(users)
            user, name = user_rows[i][0], user_rows[i][2]
        order_rows.append(("o%07d" % j, user, name, rng.randrange(1, 500)))
    return user_rows, order_rows


def doc(**fields):
    return json.dumps(fields, sort_keys=True, separators=(",", ":"))


def load_ours(db, user_rows, order_rows):
    for table, rows in (("users", [(pk, doc(city=c, name=n, score=s)) for pk, c, n, s in user_rows]),
                        ("orders", [(pk, doc(amt=a, user=u, user_name=n)) for pk, u, n, a in order_rows])):
        db.sql("CREATE TABLE %s (pk TEXT PRIMARY KEY)" % table)
        for start in range(0, len(rows), 50_000):
            parts = ["BEGIN;"]
            for pk, text in rows[start:start + 50_000]:
                parts.append("INSERT INTO %s (pk, doc) VALUES (%s, %s);" % (table, sql_literal(pk), sql_literal(text)))
            parts.append("COMMIT;")
            db.sql("\n".join(parts))


def load_sqlite(conn, user_rows, order_rows):
    conn.execute("PRAGMA journal_mode=WAL")
    conn.execute("CREATE TABLE users (pk TEXT PRIMARY KEY, city TEXT, name TEXT, score INTEGER)")
    conn.execute("CREATE TABLE orders (pk TEXT PRIMARY KEY, user TEXT, user_name TEXT, amt INTEGER)")
    conn.execute("BEGIN")
    conn.executemany("INSERT INTO users VALUES (?, ?, ?, ?)", user_rows)
    conn.executemany("INSERT INTO orders VALUES (?, ?, ?, ?)", order_rows)
    conn.execute("COMMIT")
    conn.execute("ANALYZE")


def number(value):
    """A count or sum as both sides give it: our bare count text or our grouped row's one member."""
    if isinstance(value, dict):
        (value,) = value.values()
    return float(value) if value is not None else None


# (name, our query, sqlite3's query); each answers one number.
JOBS = [
    ("foreign-key join count",
     "SELECT count(*) FROM orders JOIN users ON orders.user = users.pk",
     "SELECT count(*) FROM orders JOIN users ON orders.user = users.pk"),
    ("the same, WHERE users.city = 'c7', sum(amt)",
     "SELECT sum(orders.amt) FROM orders JOIN users ON orders.user = users.pk WHERE users.city = 'c7'",
     "SELECT sum(orders.amt) FROM orders JOIN users ON orders.user = users.pk WHERE users.city = 'c7'"),
    ("join of two fields, count",
     "SELECT count(*) FROM orders JOIN users ON orders.user_name = users.name",
     "SELECT count(*) FROM orders JOIN users ON orders.user_name = users.name"),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--users", type=int, default=100_000)
    parser.add_argument("--orders", type=int, default=500_000)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--dir", default=None, help="directory for the databases (default: a temporary one)")
    args = parser.parse_args()

    user_rows, order_rows = make_data(args.users, args.orders, args.seed)
    root = tempfile.mkdtemp(prefix="join_bench_", dir=args.dir)
    results, mismatches = [], []
    try:
        db = PyDatabase.open(os.path.join(root, "ours"))
        load_ours(db, user_rows, order_rows)
        conn = sqlite3.connect(os.path.join(root, "lite.db"), isolation_level=None)
        load_sqlite(conn, user_rows, order_rows)
        # Each job once, untimed, for the memory it takes: what later runs free may stay with the
        # process and hide a peak. The timed runs follow, every job's after these.
        growths = [peak_growth(lambda: db.sql(ours))[1] for _, ours, _ in JOBS]
        for (name, ours, theirs), growth in zip(JOBS, growths):
            our_s, got = best_of(lambda: db.sql(ours))
            peer_s, want = best_of(lambda: conn.execute(theirs).fetchall())
            got, want = number(got[0]), number(want[0][0])
            if got != want:
                mismatches.append(name)
                print("MISMATCH in %s: ours %r, sqlite3 %r" % (name, got, want))
            results.append((name, our_s, peer_s, growth))
        conn.close()
        db = None
    finally:
        shutil.rmtree(root, ignore_errors=True)

    print("quenlordb joins vs sqlite3 %s: %d users, %d orders, best of %d" % (
        sqlite3.sqlite_version, args.users, args.orders, REPEATS))
    print("%-46s %13s %13s %8s %16s" % ("", "quenlordb", "sqlite3", "ratio", "our peak growth"))
    for name, our_s, peer_s, growth in results:
        memory = "-" if growth is None else "%.1f MiB" % (growth / 2**20)
        print("%-46s %10.2f ms %10.2f ms %7.2fx %16s" % (name, our_s * 1e3, peer_s * 1e3, peer_s / our_s, memory))
    end_with_the_check(mismatches)


if __name__ == "__main__":
    main()
