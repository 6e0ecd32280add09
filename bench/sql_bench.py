"""SQL benchmark: quenlordb's SQL layer next to the standard library's sqlite3 on the same documents.

N user documents of about 110 bytes ({"bio", "city", "id", "name", "score", "status"}; the city one
of 20, the score 0-999, the bio a few words of a fixed 200-word vocabulary) go into a table `users`,
and N/2 order documents into `orders`, half of them under the primary key of a user. quenlordb
loads them with its own statements: COPY FROM of an NDJSON file per table, then CREATE FULLTEXT
INDEX over the users' bios; the queries run on those tables. sqlite3 stores each document as JSON
text in `users(pk TEXT PRIMARY KEY, doc TEXT)` in WAL mode, loaded in one transaction, then builds
an FTS5 table of the bios, and queries with json_extract (FTS5 for the full-text query). With
--insert-load the load by one script of INSERTs in a transaction is timed too, against sqlite3's
load without FTS5. Every figure is the best of three runs, both sides in this process on the same
machine, and every query's answer is checked against sqlite3's. A load is timed from the fresh
database's CREATE TABLE to its last statement; opening it, and closing the one before, are not.

    PYTHONPATH=build/python python3.12 bench/sql_bench.py [-n 100000] [--lookups 10000] [--seed 25]

The ratio is the speed of quenlordb over that of sqlite3 (above 1: quenlordb is faster); the last
line is their geometric mean. Not a test: run by hand.
"""

import argparse
import json
import math
import os
import random
import shutil
import sqlite3
import sys
import tempfile
import time

from quenlordb import PyDatabase

CITIES = ["Amsterdam", "Berlin", "Cairo", "Delhi", "Edinburgh", "Florence", "Geneva", "Hanoi", "Istanbul",
          "Jakarta", "Kyoto", "Lima", "Madrid", "Nairobi", "Oslo", "Prague", "Quito", "Rome", "Seoul", "Tunis"]
STATUSES = ["active", "idle", "away"]
REPEATS = 3


def vocabulary(rng):
    """200 distinct made-up words of consonant-vowel syllables, ending in a vowel (nothing a stemmer
    strips), so that a word matches the same rows with and without stemming."""
    consonants, vowels = "bdfgklmnprtvz", "aiou"
    words = set()
    while len(words) < 200:
        words.add("".join(rng.choice(consonants) + rng.choice(vowels) for _ in range(rng.randint(2, 3))))
    return sorted(words)


def make_data(n, seed):
    rng = random.Random(seed)
    words = vocabulary(rng)
    users = []
    for i in range(n):
        pk = "u%06d" % i
        doc = {"bio": " ".join(rng.choice(words) for _ in range(rng.randint(3, 5))), "city": rng.choice(CITIES),
               "id": pk, "name": "user%06d" % rng.randrange(10**6), "score": rng.randrange(1000),
               "status": rng.choice(STATUSES)}
        users.append((pk, json.dumps(doc, sort_keys=True, separators=(",", ":"))))
    shared = rng.sample(range(n), n // 4)
    orders = []
    for j in range(n // 2):
        pk = "u%06d" % shared[j] if j < n // 4 else "o%06d" % j
        doc = {"amount": rng.randrange(1, 500), "id": pk, "item": rng.choice(words)}
        orders.append((pk, json.dumps(doc, sort_keys=True, separators=(",", ":"))))
    orders.sort()
    return users, orders, words


def sql_literal(text):
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"


def best_of(fn, repeats=REPEATS, setup=None):
    """The shortest of `repeats` runs of fn and the answer of the last; setup, when given, runs
    untimed before each run and its result is fn's argument."""
    best, answer = float("inf"), None
    for _ in range(repeats):
        arg = setup() if setup else None
        start = time.perf_counter()
        answer = fn(arg) if setup else fn()
        best = min(best, time.perf_counter() - start)
    return best, answer


USERS_DDL = "CREATE TABLE users (id TEXT PRIMARY KEY, bio TEXT, city TEXT, name TEXT, score INTEGER, status TEXT)"
ORDERS_DDL = "CREATE TABLE orders (id TEXT PRIMARY KEY, amount INTEGER, item TEXT)"


class Ours:
    def __init__(self, root):
        self.root = root
        self.db = None
        self.count = 0

    def fresh(self):
        self.db = None
        self.count += 1
        path = os.path.join(self.root, "q%d" % self.count)
        self.db = PyDatabase.open(path)
        return self.db

    @staticmethod
    def insert_script(table, rows):
        parts = ["BEGIN;"]
        for pk, doc in rows:
            parts.append("INSERT INTO %s (pk, doc) VALUES (%s, %s);" % (table, sql_literal(pk), sql_literal(doc)))
        parts.append("COMMIT;")
        return "\n".join(parts)

    def load_insert(self, users, orders):
        scripts = (self.insert_script("users", users), self.insert_script("orders", orders))

        def run(db):
            db.sql(USERS_DDL)
            db.sql(ORDERS_DDL)
            db.sql(scripts[0])
            db.sql(scripts[1])
        # Closing the database of the run before (which writes out its tables) is not timed.
        return best_of(run, setup=self.fresh)[0]

    def load_copy(self, users, orders):
        files = []
        for name, rows in (("users", users), ("orders", orders)):
            path = os.path.join(self.root, name + ".ndjson")
            with open(path, "w") as f:
                for _, doc in rows:
                    f.write(doc + "\n")
            files.append(path)

        def run(db):
            db.sql(USERS_DDL)
            db.sql(ORDERS_DDL)
            db.sql("COPY users FROM %s FORMAT NDJSON" % sql_literal(files[0]))
            db.sql("COPY orders FROM %s FORMAT NDJSON" % sql_literal(files[1]))
            db.sql("CREATE FULLTEXT INDEX users_bio ON users (bio)")
        return best_of(run, setup=self.fresh)[0]


class Peer:
    def __init__(self, root):
        self.root = root
        self.conn = None
        self.count = 0

    def fresh(self):
        if self.conn is not None:
            self.conn.close()
        self.count += 1
        self.conn = sqlite3.connect(os.path.join(self.root, "s%d.db" % self.count), isolation_level=None)
        self.conn.execute("PRAGMA journal_mode=WAL")
        return self.conn

    def load(self, users, orders, fts=True):
        def run(conn):
            conn.execute("CREATE TABLE users (pk TEXT PRIMARY KEY, doc TEXT)")
            conn.execute("CREATE TABLE orders (pk TEXT PRIMARY KEY, doc TEXT)")
            conn.execute("BEGIN")
            conn.executemany("INSERT INTO users VALUES (?, ?)", users)
            conn.executemany("INSERT INTO orders VALUES (?, ?)", orders)
            conn.execute("COMMIT")
            if fts:
                conn.execute("CREATE VIRTUAL TABLE users_fts USING fts5(pk UNINDEXED, bio)")
                conn.execute("INSERT INTO users_fts SELECT pk, json_extract(doc, '$.bio') FROM users")
        # Closing the connection of the run before is not timed.
        return best_of(run, setup=self.fresh)[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-n", type=int, default=100_000, help="user documents (orders: half as many)")
    parser.add_argument("--lookups", type=int, default=10_000)
    parser.add_argument("--seed", type=int, default=25)
    parser.add_argument("--dir", default=None, help="directory for the databases (default: a temporary one)")
    parser.add_argument("--insert-load", action="store_true", help="also time the load by a script of INSERTs")
    args = parser.parse_args()

    users, orders, words = make_data(args.n, args.seed)
    rng = random.Random(args.seed + 1)
    lookups = [users[rng.randrange(args.n)][0] for _ in range(args.lookups)]
    # A vocabulary word of middling frequency for the full-text query.
    word = words[len(words) // 2]
    root = tempfile.mkdtemp(prefix="sql_bench_", dir=args.dir)
    ours, peer = Ours(root), Peer(root)
    results = []  # (name, our seconds, peer seconds, unit count or None)
    mismatches = []

    def record(name, our_s, peer_s, count=None):
        results.append((name, our_s, peer_s, count))

    def check(name, ours_answer, peer_answer):
        if ours_answer != peer_answer:
            mismatches.append(name)
            print("MISMATCH in %s:\n  ours: %r\n  sqlite3: %r" % (name, str(ours_answer)[:300], str(peer_answer)[:300]))

    try:
        rows = args.n + len(orders)
        if args.insert_load:
            insert_s = ours.load_insert(users, orders)
            peer_s = peer.load(users, orders, fts=False)
            record("load: INSERT script (rows/s)", insert_s, peer_s, rows)
        # The queries run on the tables of the last load.
        copy_s = ours.load_copy(users, orders)
        peer_s = peer.load(users, orders)
        record("load: COPY FROM NDJSON, then the index", copy_s, peer_s)
        db, conn = ours.db, peer.conn
        check("load", db.sql("SELECT count(*) FROM users"), [conn.execute("SELECT count(*) FROM users").fetchone()[0]])

        # Point lookups, one call each.
        sql = db.sql
        stmts = ["SELECT doc FROM users WHERE pk = %s" % sql_literal(pk) for pk in lookups]
        our_s, got = best_of(lambda: [sql(s) for s in stmts])
        execute = conn.execute
        peer_s, want = best_of(lambda: [execute("SELECT doc FROM users WHERE pk = ?", (pk,)).fetchall() for pk in lookups])
        record("%d point lookups by pk" % len(lookups), our_s, peer_s)
        check("point lookups", got, [[json.loads(t[0]) for t in rows] for rows in want])

        our_s, got = best_of(lambda: sql("SELECT count(*) FROM users WHERE score > 500"))
        peer_s, want = best_of(lambda: execute(
            "SELECT count(*) FROM users WHERE json_extract(doc, '$.score') > 500").fetchall())
        record("count where score > 500", our_s, peer_s)
        check("count where", got, [want[0][0]])

        our_s, got = best_of(lambda: sql("SELECT city, count(*), avg(score) FROM users GROUP BY city"))
        peer_s, want = best_of(lambda: execute(
            "SELECT json_extract(doc, '$.city') AS c, count(*), avg(json_extract(doc, '$.score')) FROM users "
            "GROUP BY c ORDER BY c").fetchall())
        record("count, avg(score) by city", our_s, peer_s)
        check("group by city", got, [{"avg_score": a, "city": c, "count": float(k)} for c, k, a in want])

        our_s, got = best_of(lambda: sql("SELECT name, score FROM users ORDER BY score DESC, pk LIMIT 10"))
        peer_s, want = best_of(lambda: execute(
            "SELECT json_extract(doc, '$.name'), json_extract(doc, '$.score') FROM users "
            "ORDER BY json_extract(doc, '$.score') DESC, pk LIMIT 10").fetchall())
        record("top 10 scores with names", our_s, peer_s)
        check("top 10", got, [{"name": n, "score": float(s)} for n, s in want])

        our_s, got = best_of(lambda: sql("SELECT count(*) FROM users JOIN orders ON users.pk = orders.pk"))
        peer_s, want = best_of(lambda: execute(
            "SELECT count(*) FROM users JOIN orders ON users.pk = orders.pk").fetchall())
        record("count of users joined with orders", our_s, peer_s)
        check("join count", got, [want[0][0]])

        def our_update():
            sql("UPDATE users SET status = 'seven' WHERE score = 7")
            return sql("SELECT pk, status FROM users WHERE score = 7")

        def peer_update():
            execute("UPDATE users SET doc = json_set(doc, '$.status', 'seven') WHERE json_extract(doc, '$.score') = 7")
            return execute("SELECT pk, json_extract(doc, '$.status') FROM users "
                           "WHERE json_extract(doc, '$.score') = 7 ORDER BY pk").fetchall()
        our_s, got = best_of(our_update)
        peer_s, want = best_of(peer_update)
        record("UPDATE where score = 7, read back", our_s, peer_s)
        check("update", got, [{"pk": p, "status": s} for p, s in want])

        our_s, got = best_of(lambda: sql("SELECT pk FROM users WHERE MATCH(bio, %s)" % sql_literal(word)))
        peer_s, want = best_of(lambda: execute("SELECT pk FROM users_fts WHERE users_fts MATCH ?", (word,)).fetchall())
        record("full-text match of one word", our_s, peer_s)
        check("full-text match", sorted(r["pk"] for r in got), sorted(r[0] for r in want))
    finally:
        conn = peer.conn
        if conn is not None:
            conn.close()
        ours.db = None
        shutil.rmtree(root, ignore_errors=True)

    print("quenlordb SQL vs sqlite3: %d users, %d orders, best of %d" % (
        args.n, len(orders), REPEATS))
    print("%-38s %14s %14s %8s" % ("", "quenlordb", "sqlite3", "ratio"))
    log_sum = 0.0
    for name, our_s, peer_s, count in results:
        ratio = peer_s / our_s
        log_sum += math.log(ratio)
        if count:
            print("%-38s %14.0f %14.0f %7.2fx" % (name, count / our_s, count / peer_s, ratio))
        else:
            print("%-38s %12.2f ms %11.2f ms %7.2fx" % (name, our_s * 1e3, peer_s * 1e3, ratio))
    print("%-38s %14s %14s %7.2fx" % ("geometric mean of the ratios", "", "", math.exp(log_sum / len(results))))
    if mismatches:
        print("answers differ: " + ", ".join(mismatches))
        sys.exit(1)
    print("all answers agree")


if __name__ == "__main__":
    main()
