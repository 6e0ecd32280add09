"""SQL benchmark: quenlordb's SQL layer next to the standard library's sqlite3 on the same documents.

N user documents of about 110 bytes ({"bio", "city", "id", "name", "score", "status"}; the city one
of 20, the score 0-999, the bio a few words of a fixed 200-word vocabulary) go into a table `users`,
and N/2 order documents into `orders`, half of them under the primary key of a user. quenlordb
loads them with its own statements: one script of INSERTs in a transaction, and COPY FROM of an
NDJSON file (both are timed; the queries run on the INSERT-loaded tables). sqlite3 stores each
document as JSON text in `users(pk TEXT PRIMARY KEY, doc TEXT)` in WAL mode, loaded in one
transaction, and queries it with json_extract (FTS5 for the full-text query). Every figure is the
best of three runs, both sides in this process on the same machine, and every query's answer is
checked against sqlite3's. A load is timed from the fresh database's CREATE TABLE to its last
statement; opening it, and closing the one before, are not.

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
        self.db = PyDatabase.open(self.db_path())
        return self.db

    def db_path(self):
        return os.path.join(self.root, "q%d" % self.count)

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

    def load(self, users, orders):
        def run(conn):
            conn.execute("CREATE TABLE users (pk TEXT PRIMARY KEY, doc TEXT)")
            conn.execute("CREATE TABLE orders (pk TEXT PRIMARY KEY, doc TEXT)")
            conn.execute("BEGIN")
            conn.executemany("INSERT INTO users VALUES (?, ?)", users)
            conn.executemany("INSERT INTO orders VALUES (?, ?)", orders)
            conn.execute("COMMIT")
        # Closing the connection of the run before is not timed.
        return best_of(run, setup=self.fresh)[0]


def peak_growth(fn):
    """fn's answer and how far the process's peak resident memory rose above its resident memory
    at the start, in bytes (the peak is reset first; None where the kernel does not allow it)."""
    def status(field):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        return fn(), None
    start = status("VmRSS")
    answer = fn()
    return answer, status("VmHWM") - start


def run_join_jobs(root, record, check, notes):
    """Joins on tables of their own: a CROSS JOIN cut by LIMIT over wide documents, the count of a
    CROSS JOIN just under the join bound (with the memory it takes), and nested loops pairing two
    tables on document fields."""
    rng = random.Random(31)
    root = os.path.join(root, "joins")
    os.mkdir(root)
    ours, peer = Ours(root), Peer(root)
    db, conn = ours.fresh(), peer.fresh()
    filler = "".join(rng.choice("abcdefghij") for _ in range(10_000))

    def load(name, rows):
        db.sql("CREATE TABLE %s (pk TEXT PRIMARY KEY)" % name)
        db.sql(Ours.insert_script(name, rows))
        conn.execute("CREATE TABLE %s (pk TEXT PRIMARY KEY, doc TEXT)" % name)
        conn.executemany("INSERT INTO %s VALUES (?, ?)" % name, rows)

    def doc(**fields):
        return json.dumps(fields, sort_keys=True, separators=(",", ":"))

    load("wide_a", [("a%03d" % i, doc(n=i, text=filler)) for i in range(300)])
    load("wide_b", [("b%03d" % i, doc(n=i, text=filler)) for i in range(300)])
    load("small_a", [("a%04d" % i, doc(n=i)) for i in range(3000)])
    load("small_b", [("b%04d" % i, doc(n=i)) for i in range(3000)])
    load("customers", [("c%04d" % i, doc(id="id%04d" % i, name="name%d" % rng.randrange(10**6)))
                       for i in range(2000)])
    load("purchases", [("p%04d" % i, doc(cust="id%04d" % rng.randrange(2500), amount=rng.randrange(1, 500)))
                       for i in range(2000)])
    sql, execute = db.sql, conn.execute

    our_s, got = best_of(lambda: sql("SELECT pk FROM wide_a CROSS JOIN wide_b LIMIT 1"))
    peer_s, want = best_of(lambda: execute(
        "SELECT a.pk || '_' || b.pk FROM wide_a a CROSS JOIN wide_b b ORDER BY a.pk, b.pk LIMIT 1").fetchall())
    record("CROSS JOIN LIMIT 1, 300 x 300 of 10 KB", our_s, peer_s)
    check("cross join limit", got, [{"pk": k} for (k,) in want])

    # The memory first: what earlier runs freed may stay with the process and hide a later peak.
    _, our_growth = peak_growth(lambda: sql("SELECT count(*) FROM small_a CROSS JOIN small_b"))
    _, peer_growth = peak_growth(lambda: execute("SELECT count(*) FROM small_a CROSS JOIN small_b").fetchall())
    if our_growth is not None:
        notes.append("count of CROSS JOIN, 3000 x 3000: peak memory growth %.1f MiB (sqlite3 %.1f MiB)" % (
            our_growth / 2**20, peer_growth / 2**20))
    our_s, got = best_of(lambda: sql("SELECT count(*) FROM small_a CROSS JOIN small_b"))
    peer_s, want = best_of(lambda: execute("SELECT count(*) FROM small_a CROSS JOIN small_b").fetchall())
    record("count of CROSS JOIN, 3000 x 3000", our_s, peer_s)
    check("cross join count", got, [want[0][0]])

    our_s, got = best_of(lambda: sql("SELECT count(*) FROM purchases JOIN customers ON purchases.cust = customers.id"))
    peer_s, want = best_of(lambda: execute(
        "SELECT count(*) FROM purchases p JOIN customers c "
        "ON json_extract(p.doc, '$.cust') = json_extract(c.doc, '$.id')").fetchall())
    record("count, nested loop on fields 2000 x 2000", our_s, peer_s)
    check("nested loop count", got, [want[0][0]])

    our_s, got = best_of(lambda: sql(
        "SELECT purchases.pk AS p, customers.name AS n FROM purchases JOIN customers "
        "ON purchases.cust = customers.id WHERE purchases.amount > 250"))
    peer_s, want = best_of(lambda: execute(
        "SELECT p.pk, json_extract(c.doc, '$.name') FROM purchases p JOIN customers c "
        "ON json_extract(p.doc, '$.cust') = json_extract(c.doc, '$.id') "
        "WHERE json_extract(p.doc, '$.amount') > 250 ORDER BY p.pk").fetchall())
    record("rows, nested loop on fields 2000 x 2000", our_s, peer_s)
    check("nested loop rows", got, [{"n": n, "p": p} for p, n in want])
    ours.db = None
    conn.close()


def batched(rows, size):
    return [rows[i:i + size] for i in range(0, len(rows), size)]


def dir_bytes(path):
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(path) for f in files)


def fts_upkeep_load(root, users, batch=1000):
    """Rows arriving into a table that already has a full-text index, `batch` INSERTs per sql call,
    with and without BEGIN ... COMMIT around each call; sqlite3 keeps an FTS5 table up to date in
    the same load, one transaction per batch. Returns [(name, our s, sqlite3 s, rows)]."""
    calls = [[Ours.insert_script("users", chunk)[len("BEGIN;\n"):-len("\nCOMMIT;")] for chunk in batched(users, batch)]]
    calls.append(["BEGIN;\n" + c + "\nCOMMIT;" for c in calls[0]])
    ours, peer = Ours(os.path.join(root, "fts_upkeep")), Peer(os.path.join(root, "fts_upkeep"))
    os.makedirs(ours.root, exist_ok=True)

    def ours_run(scripts):
        def run(db):
            db.sql(USERS_DDL)
            db.sql("CREATE FULLTEXT INDEX users_bio ON users (bio)")
            for script in scripts:
                db.sql(script)
        return best_of(run, setup=ours.fresh)[0]

    bios = [(pk, json.loads(doc)["bio"]) for pk, doc in users]

    def peer_run(conn):
        conn.execute("CREATE TABLE users (pk TEXT PRIMARY KEY, doc TEXT)")
        conn.execute("CREATE VIRTUAL TABLE users_fts USING fts5(pk UNINDEXED, bio)")
        for rows, texts in zip(batched(users, batch), batched(bios, batch)):
            conn.execute("BEGIN")
            conn.executemany("INSERT INTO users VALUES (?, ?)", rows)
            conn.executemany("INSERT INTO users_fts VALUES (?, ?)", texts)
            conn.execute("COMMIT")
    peer_s = best_of(peer_run, setup=peer.fresh)[0]
    out = [("indexed load, %d INSERTs per call (rows/s)" % batch, ours_run(calls[0]), peer_s, len(users)),
           ("  the same, BEGIN/COMMIT per call (rows/s)", ours_run(calls[1]), peer_s, len(users))]
    # The answers agree: one word's rows.
    word = bios[0][1].split()[0]
    got = sorted(r["pk"] for r in ours.db.sql("SELECT pk FROM users WHERE MATCH(bio, %s)" % sql_literal(word)))
    want = sorted(r[0] for r in peer.conn.execute("SELECT pk FROM users_fts WHERE users_fts MATCH ?", (word,)))
    peer.conn.close()
    ours.db = None
    return out, got == want


def timeseries_load(root, n, batch=1000, seed=35):
    """n rows of one value column, timestamps one second apart, `batch` typed INSERTs per sql call,
    into a time-series table with 1-hour buckets and into the same typed table without time-series
    metadata, with and without BEGIN ... COMMIT around each call. Returns the rows [(name,
    time-series s, plain s, rows)] and the disk bytes of both databases after the plain loads."""
    rng = random.Random(seed)
    t0 = 1_700_000_000
    inserts = ["INSERT INTO %%s (id, ts, v) VALUES ('r%07d', %d, %.2f);" % (i, t0 + i, rng.uniform(-20, 40))
               for i in range(n)]
    ddl = {"m": "CREATE TIMESERIES TABLE m (id TEXT PRIMARY KEY, ts INTEGER, v REAL) WITH (bucket_size = '1h')",
           "p": "CREATE TABLE p (id TEXT PRIMARY KEY, ts INTEGER, v REAL)"}
    ours = Ours(os.path.join(root, "timeseries"))
    os.makedirs(ours.root, exist_ok=True)
    disk = {}

    def load(table, transaction):
        scripts = []
        for chunk in batched(inserts, batch):
            body = "\n".join(chunk) % ((table,) * len(chunk))
            scripts.append("BEGIN;\n" + body + "\nCOMMIT;" if transaction else body)

        def run(db):
            db.sql(ddl[table])
            for script in scripts:
                db.sql(script)
        seconds = best_of(run, setup=ours.fresh)[0]
        assert ours.db.sql("SELECT count(*) FROM %s" % table) == [n]
        path = ours.db_path()
        ours.db = None  # closed: its files are what stays on disk
        if not transaction:
            disk[table] = dir_bytes(path)
        return seconds

    out = []
    for transaction in (False, True):
        name = "time-series load, %d INSERTs per call" % batch + (", BEGIN/COMMIT" if transaction else "")
        out.append((name + " (rows/s)", load("m", transaction), load("p", transaction), n))
    return out, disk


def upkeep_jobs(root, users, n):
    """The loads whose full-text or time-series upkeep a script gathers, each beside its peer:
    results in the form of main's records, and lines to print after the table."""
    fts, agree = fts_upkeep_load(root, users)
    ts, disk = timeseries_load(root, n)
    lines = ["disk after the time-series load: %.1f MB with buckets, %.1f MB plain (%.2fx)" % (
        disk["m"] / 1e6, disk["p"] / 1e6, disk["m"] / disk["p"])]
    if not agree:
        lines.append("MISMATCH in the indexed load's full-text answer")
    return fts + ts, lines, agree


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-n", type=int, default=100_000, help="user documents (orders: half as many)")
    parser.add_argument("--lookups", type=int, default=10_000)
    parser.add_argument("--seed", type=int, default=25)
    parser.add_argument("--dir", default=None, help="directory for the databases (default: a temporary one)")
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
    notes = []  # lines printed after the table

    def record(name, our_s, peer_s, count=None):
        results.append((name, our_s, peer_s, count))

    def check(name, ours_answer, peer_answer):
        if ours_answer != peer_answer:
            mismatches.append(name)
            print("MISMATCH in %s:\n  ours: %r\n  sqlite3: %r" % (name, str(ours_answer)[:300], str(peer_answer)[:300]))

    try:
        rows = args.n + len(orders)
        copy_s = ours.load_copy(users, orders)
        insert_s = ours.load_insert(users, orders)
        peer_s = peer.load(users, orders)
        record("load: INSERT script (rows/s)", insert_s, peer_s, rows)
        record("load: COPY FROM NDJSON (rows/s)", copy_s, peer_s, rows)
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

        our_s, _ = best_of(lambda: sql("CREATE FULLTEXT INDEX users_bio ON users (bio)"), repeats=1)

        def peer_index():
            execute("CREATE VIRTUAL TABLE users_fts USING fts5(pk UNINDEXED, bio)")
            execute("INSERT INTO users_fts SELECT pk, json_extract(doc, '$.bio') FROM users")
        peer_s, _ = best_of(peer_index, repeats=1)
        record("CREATE FULLTEXT INDEX (once)", our_s, peer_s)

        our_s, got = best_of(lambda: sql("SELECT pk FROM users WHERE MATCH(bio, %s)" % sql_literal(word)))
        peer_s, want = best_of(lambda: execute("SELECT pk FROM users_fts WHERE users_fts MATCH ?", (word,)).fetchall())
        record("full-text match of one word", our_s, peer_s)
        check("full-text match", sorted(r["pk"] for r in got), sorted(r[0] for r in want))

        run_join_jobs(root, record, check, notes)
        upkeep_rows, upkeep_lines, agree = upkeep_jobs(root, users, args.n)
        if not agree:
            mismatches.append("indexed load")
    finally:
        conn = peer.conn
        if conn is not None:
            conn.close()
        ours.db = None
        shutil.rmtree(root, ignore_errors=True)

    print("quenlordb SQL vs sqlite3: %d users, %d orders, best of %d (the index build: once)" % (
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
    for line in notes:
        print(line)
    print()
    print("%-52s %12s %12s %8s" % ("loads with full-text or time-series upkeep", "quenlordb", "beside", "ratio"))
    for name, our_s, other_s, count in upkeep_rows:
        beside = "sqlite3" if name.startswith("indexed") or name.startswith("  ") else "plain"
        print("%-52s %12.0f %12.0f %7.2fx  (beside: %s)" % (name, count / our_s, count / other_s, other_s / our_s, beside))
    for line in upkeep_lines:
        print(line)
    if mismatches:
        print("answers differ: " + ", ".join(mismatches))
        sys.exit(1)
    print("all answers agree")


if __name__ == "__main__":
    main()
