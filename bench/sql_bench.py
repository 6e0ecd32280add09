"""SQL benchmark: quenlordb's SQL layer next to sqlite3 and DuckDB on the same documents.

N user documents of about 110 bytes ({"bio", "city", "id", "name", "score", "status"}; the city one
of 20, the score 0-999, the bio a few words of a fixed 200-word vocabulary) go into a table `users`,
and N/2 order documents into `orders`, half of them under the primary key of a user. quenlordb
loads them with its own statements: one script of INSERTs in a transaction, and COPY FROM of an
NDJSON file (both are timed; the queries run on the INSERT-loaded tables, and the full-text index is
built after the UPDATEs, so that they cost us what they cost sqlite3, whose FTS5 table is apart).
With --index-first the load is COPY FROM, then CREATE FULLTEXT INDEX (sqlite3: its load, then the
FTS5 table), and every job runs on those tables, the index in place: how a table with an index
behaves, and the way to run it at a million documents (-n 1000000).

Beside the table, jobs compared with sqlite3 alone run on tables of their own: joins (a CROSS JOIN
cut by LIMIT, the count of a large CROSS JOIN with its peak memory, joins on an equality of
document fields) and loads into a table with a full-text index or a time-series table, 1,000
INSERTs per call, beside sqlite3 with FTS5 and the plain typed table.

The peers hold each document as JSON text beside its primary key, `(pk TEXT PRIMARY KEY, doc ...)`:
- sqlite3 (the standard library's, in this process): a file in WAL mode, loaded in one transaction,
  queried with json_extract (FTS5 for the full-text jobs); point calls bind their key.
- DuckDB (its Node.js package, `@duckdb/node-api`, in a Node process of its own on all cores,
  driven by bench/duckdb_side.cjs): a database file, loaded from the NDJSON files, the documents in a
  JSON column queried with `->>`; its full-text extension cannot be had here, so the text job is a
  scan of the tokenised bios; point calls run one prepared statement. The benchmark installs the
  package on first use into a folder of its own (--duckdb-dir, default bench/.duckdb, git-ignored);
  it is used by nothing but this benchmark. --no-duckdb leaves the side out.

Every figure is the best of three runs (a job may say otherwise), all sides on this machine in one
run, and every answer is checked against sqlite3's and DuckDB's. A load is timed from the fresh
database's CREATE TABLE to its last statement; opening it, and closing the one before, are not.

    PYTHONPATH=build/python python3.12 bench/sql_bench.py [-n 100000] [--index-first] [--no-duckdb]

A ratio is the speed of quenlordb over that of a peer (above 1: quenlordb is faster); the last lines
are their geometric means. Not a test: run by hand.

Adding a job: append a Job to the list `jobs` builds, in the order the jobs should run (a job sees
what the jobs before it wrote). A job gives each side's run as a function returning its answer, and
for DuckDB a request (DuckDB.query and DuckDB.calls make them); the answers are put in one form by
`ours_answer` and `peer_answer` (sqlite3's and DuckDB's rows alike, as lists of tuples) and compared.
"""

import argparse
import json
import math
import os
import random
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from typing import Any, Callable, Optional

from quenlordb import PyDatabase

CITIES = ["Amsterdam", "Berlin", "Cairo", "Delhi", "Edinburgh", "Florence", "Geneva", "Hanoi", "Istanbul",
          "Jakarta", "Kyoto", "Lima", "Madrid", "Nairobi", "Oslo", "Prague", "Quito", "Rome", "Seoul", "Tunis"]
STATUSES = ["active", "idle", "away"]
REPEATS = 3
SIDE_ROWS = 100_000  # the most rows the loads with upkeep take
DUCKDB_PACKAGE = "@duckdb/node-api"
DUCKDB_VERSION = "1.5.6-r.1"
HERE = os.path.dirname(os.path.abspath(__file__))


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
        answer = None  # the last run's answer is freed before the clock starts, not on it
        start = time.perf_counter()
        answer = fn(arg) if setup else fn()
        best = min(best, time.perf_counter() - start)
    return best, answer


def end_with_the_check(mismatches):
    """Prints the answers that differ and exits with 1, or says that all agree."""
    if mismatches:
        print("answers differ:\n  " + "\n  ".join(mismatches))
        sys.exit(1)
    print("all answers agree")


def same(x):
    return x


@dataclass
class Job:
    name: str
    ours: Callable[..., Any]                   # one run of our side; returns our answer
    sqlite: Optional[Callable[..., Any]] = None  # one run of sqlite3's; returns its answer (None: not run)
    duckdb: Optional[dict] = None              # a request for duckdb_side.cjs (None: DuckDB does not run it)
    ours_answer: Callable[[Any], Any] = same   # our answer in the form the sides are compared in
    peer_answer: Callable[[Any], Any] = same   # a peer's answer (rows as lists of tuples) in that form
    sqlite_answer: Optional[Callable[[Any], Any]] = None  # in place of peer_answer for sqlite3
    duckdb_answer: Optional[Callable[[Any], Any]] = None  # in place of peer_answer for DuckDB
    rate: Optional[int] = None                 # a count of rows: the figures are printed as rows per second
    repeats: int = REPEATS
    ours_setup: Optional[Callable[[], Any]] = None    # untimed before each of our runs; its result is the argument
    sqlite_setup: Optional[Callable[[], Any]] = None  # the same for sqlite3's runs
    peers_of: Optional[str] = None             # the peers' figures are those of this earlier job, not run again
    check: bool = True                         # whether the answers are compared
    timed: bool = True                         # whether the job has a line in the table (else only checked)


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
        return run

    def load_copy(self, files, index=False):
        def run(db):
            db.sql(USERS_DDL)
            db.sql(ORDERS_DDL)
            db.sql("COPY users FROM %s FORMAT NDJSON" % sql_literal(files[0]))
            db.sql("COPY orders FROM %s FORMAT NDJSON" % sql_literal(files[1]))
            if index:
                db.sql("CREATE FULLTEXT INDEX users_bio ON users (bio)")
        return run


class Sqlite:
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

    @staticmethod
    def load(users, orders, index=False):
        def run(conn):
            conn.execute("CREATE TABLE users (pk TEXT PRIMARY KEY, doc TEXT)")
            conn.execute("CREATE TABLE orders (pk TEXT PRIMARY KEY, doc TEXT)")
            conn.execute("BEGIN")
            conn.executemany("INSERT INTO users VALUES (?, ?)", users)
            conn.executemany("INSERT INTO orders VALUES (?, ?)", orders)
            conn.execute("COMMIT")
            if index:
                conn.execute("CREATE VIRTUAL TABLE users_fts USING fts5(pk UNINDEXED, bio)")
                conn.execute("INSERT INTO users_fts SELECT pk, json_extract(doc, '$.bio') FROM users")
        # Closing the connection of the run before is not timed.
        return run


class DuckDB:
    """The DuckDB side: a Node process running bench/duckdb_side.cjs over one database file."""

    def __init__(self, folder, db_path):
        install_duckdb(folder)
        self.proc = subprocess.Popen(["node", os.path.join(HERE, "duckdb_side.cjs"), folder, db_path],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        hello = self._reply()
        self.version, self.threads = hello["version"], hello["threads"]

    def _reply(self):
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError("the DuckDB side ended (exit status %s)" % self.proc.wait())
        reply = json.loads(line)
        if "error" in reply:
            raise RuntimeError("DuckDB: " + reply["error"])
        return reply

    @staticmethod
    def query(*run, setup=(), repeats=REPEATS):
        """A request: the statements of run, timed together; the answer is the last one's rows."""
        return {"run": list(run), "setup": list(setup), "repeats": repeats}

    @staticmethod
    def calls(sql, params, setup=(), repeats=REPEATS):
        """A request: one prepared statement run once per parameter list, timed together; the
        answer is each call's rows."""
        return {"prepared": sql, "params": [list(p) for p in params], "setup": list(setup), "repeats": repeats}

    def run(self, request):
        """The best time of the request and the answer of its last run, rows as lists of tuples."""
        self.proc.stdin.write(json.dumps(request) + "\n")
        reply = self._reply()
        rows = reply["rows"]
        if "prepared" in request:
            return reply["seconds"], [[tuple(r) for r in call] for call in rows]
        return reply["seconds"], [tuple(r) for r in rows]

    def close(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            self.proc.wait()


def install_duckdb(folder):
    """DuckDB's Node.js package at the pinned version in folder/node_modules, installed there with npm
    when it is missing."""
    package = os.path.join(folder, "node_modules", *DUCKDB_PACKAGE.split("/"), "package.json")
    try:
        with open(package) as f:
            if json.load(f).get("version") == DUCKDB_VERSION:
                return
    except (OSError, ValueError):
        pass
    os.makedirs(folder, exist_ok=True)
    print("installing %s@%s into %s" % (DUCKDB_PACKAGE, DUCKDB_VERSION, folder), file=sys.stderr)
    subprocess.run(["npm", "install", "--prefix", folder, "--no-save", "--no-package-lock", "--no-audit",
                    "--no-fund", "%s@%s" % (DUCKDB_PACKAGE, DUCKDB_VERSION)], check=True,
                   stdout=subprocess.DEVNULL)


def jobs(args, users, orders, words, ours, lite, duck, root):
    """The jobs in the order they run."""
    rng = random.Random(args.seed + 1)
    lookups = [users[rng.randrange(args.n)][0] for _ in range(args.lookups)]
    updates = [users[rng.randrange(args.n)][0] for _ in range(args.updates)]
    # A vocabulary word of middling frequency for the full-text query.
    word = words[len(words) // 2]
    files = []
    for name, rows in (("users", users), ("orders", orders)):
        path = os.path.join(root, name + ".ndjson")
        with open(path, "w") as f:
            for _, doc in rows:
                f.write(doc + "\n")
        files.append(path)

    def sql(s):
        return ours.db.sql(s)

    def execute(s, params=()):
        return lite.conn.execute(s, params)

    rows = len(users) + len(orders)
    duck_load = DuckDB.query(
        "CREATE TABLE users (pk VARCHAR PRIMARY KEY, doc JSON)",
        "CREATE TABLE orders (pk VARCHAR PRIMARY KEY, doc JSON)",
        "INSERT INTO users SELECT json->>'id', json FROM read_ndjson_objects(%s)" % sql_literal(files[0]),
        "INSERT INTO orders SELECT json->>'id', json FROM read_ndjson_objects(%s)" % sql_literal(files[1]),
        setup=["DROP TABLE IF EXISTS users", "DROP TABLE IF EXISTS orders"])
    out = []
    if args.index_first:
        # The tables every later job reads, the full-text index among them (DuckDB has none).
        out.append(Job("load: COPY, then the full-text index (rows/s)", ours=ours.load_copy(files, index=True),
                       ours_setup=ours.fresh, sqlite=Sqlite.load(users, orders, index=True),
                       sqlite_setup=lite.fresh, duckdb=duck_load, rate=rows, check=False))
    else:
        out.append(Job("load: COPY FROM NDJSON (rows/s)", ours=ours.load_copy(files), ours_setup=ours.fresh,
                       sqlite=Sqlite.load(users, orders), sqlite_setup=lite.fresh, duckdb=duck_load, rate=rows,
                       check=False))
        # The INSERT-loaded database is the one the later jobs read; the peers' loads are those above.
        out.append(Job("load: INSERT script (rows/s)", ours=ours.load_insert(users, orders),
                       ours_setup=ours.fresh, peers_of=out[-1].name, rate=rows, check=False))
    out.append(Job("rows loaded", ours=lambda: sql("SELECT count(*) FROM users"),
                   sqlite=lambda: execute("SELECT count(*) FROM users").fetchall(),
                   duckdb=DuckDB.query("SELECT count(*) FROM users", repeats=1), repeats=1,
                   peer_answer=lambda r: [r[0][0]], timed=False))

    lookup_stmts = ["SELECT doc FROM users WHERE pk = %s" % sql_literal(pk) for pk in lookups]
    out.append(Job("%d point lookups by pk" % len(lookups),
                   ours=lambda: [sql(s) for s in lookup_stmts],
                   sqlite=lambda: [execute("SELECT doc FROM users WHERE pk = ?", (pk,)).fetchall() for pk in lookups],
                   duckdb=DuckDB.calls("SELECT doc FROM users WHERE pk = $1", [(pk,) for pk in lookups], repeats=1),
                   peer_answer=lambda calls: [[json.loads(t[0]) for t in r] for r in calls]))

    out.append(Job("count where score > 500",
                   ours=lambda: sql("SELECT count(*) FROM users WHERE score > 500"),
                   sqlite=lambda: execute("SELECT count(*) FROM users WHERE json_extract(doc, '$.score') > 500").fetchall(),
                   duckdb=DuckDB.query("SELECT count(*) FROM users WHERE (doc->>'score')::INTEGER > 500"),
                   peer_answer=lambda r: [r[0][0]]))

    out.append(Job("count, avg(score) by city",
                   ours=lambda: sql("SELECT city, count(*), avg(score) FROM users GROUP BY city"),
                   sqlite=lambda: execute(
                       "SELECT json_extract(doc, '$.city') AS c, count(*), avg(json_extract(doc, '$.score')) "
                       "FROM users GROUP BY c ORDER BY c").fetchall(),
                   duckdb=DuckDB.query("SELECT doc->>'city' AS c, count(*), avg((doc->>'score')::INTEGER) "
                                       "FROM users GROUP BY c ORDER BY c"),
                   peer_answer=lambda r: [{"avg_score": a, "city": c, "count": float(k)} for c, k, a in r]))

    out.append(Job("top 10 scores with names",
                   ours=lambda: sql("SELECT name, score FROM users ORDER BY score DESC, pk LIMIT 10"),
                   sqlite=lambda: execute(
                       "SELECT json_extract(doc, '$.name'), json_extract(doc, '$.score') FROM users "
                       "ORDER BY json_extract(doc, '$.score') DESC, pk LIMIT 10").fetchall(),
                   duckdb=DuckDB.query("SELECT doc->>'name', (doc->>'score')::INTEGER FROM users "
                                       "ORDER BY (doc->>'score')::INTEGER DESC, pk LIMIT 10"),
                   peer_answer=lambda r: [{"name": n, "score": float(s)} for n, s in r]))

    out.append(Job("count of users joined with orders",
                   ours=lambda: sql("SELECT count(*) FROM users JOIN orders ON users.pk = orders.pk"),
                   sqlite=lambda: execute("SELECT count(*) FROM users JOIN orders ON users.pk = orders.pk").fetchall(),
                   duckdb=DuckDB.query("SELECT count(*) FROM users JOIN orders ON users.pk = orders.pk"),
                   peer_answer=lambda r: [r[0][0]]))

    def our_update():
        sql("UPDATE users SET status = 'seven' WHERE score = 7")
        return sql("SELECT pk, status FROM users WHERE score = 7")

    def lite_update():
        execute("UPDATE users SET doc = json_set(doc, '$.status', 'seven') WHERE json_extract(doc, '$.score') = 7")
        return execute("SELECT pk, json_extract(doc, '$.status') FROM users "
                       "WHERE json_extract(doc, '$.score') = 7 ORDER BY pk").fetchall()
    out.append(Job("UPDATE where score = 7, read back", ours=our_update, sqlite=lite_update,
                   duckdb=DuckDB.query(
                       "UPDATE users SET doc = json_merge_patch(doc, '{\"status\":\"seven\"}') "
                       "WHERE (doc->>'score')::INTEGER = 7",
                       "SELECT pk, doc->>'status' FROM users WHERE (doc->>'score')::INTEGER = 7 ORDER BY pk"),
                   peer_answer=lambda r: [{"pk": p, "status": s} for p, s in r]))

    update_stmts = ["UPDATE users SET status = 'x' WHERE pk = %s" % sql_literal(pk) for pk in updates]
    # The answer is the count of rows the calls updated, and then, read back untimed, the number
    # of rows holding the new status.
    out.append(Job("%d point UPDATEs by pk" % len(updates),
                   ours=lambda: [sql(s) for s in update_stmts],
                   sqlite=lambda: [execute("UPDATE users SET doc = json_set(doc, '$.status', 'x') WHERE pk = ?",
                                           (pk,)).rowcount for pk in updates],
                   duckdb=DuckDB.calls("UPDATE users SET doc = json_merge_patch(doc, '{\"status\":\"x\"}') "
                                       "WHERE pk = $1", [(pk,) for pk in updates], repeats=1),
                   ours_answer=lambda got: (sum(r["rows"] for r in got),
                                            int(sql("SELECT count(*) FROM users WHERE status = 'x'")[0])),
                   sqlite_answer=lambda counts: (sum(counts), execute(
                       "SELECT count(*) FROM users WHERE json_extract(doc, '$.status') = 'x'").fetchone()[0]),
                   duckdb_answer=lambda calls: (sum(c[0][0] for c in calls), duck.run(DuckDB.query(
                       "SELECT count(*) FROM users WHERE doc->>'status' = 'x'", repeats=1))[1][0][0])))

    def lite_index():
        execute("CREATE VIRTUAL TABLE users_fts USING fts5(pk UNINDEXED, bio)")
        execute("INSERT INTO users_fts SELECT pk, json_extract(doc, '$.bio') FROM users")
    if not args.index_first:
        out.append(Job("CREATE FULLTEXT INDEX (once)",
                       ours=lambda: sql("CREATE FULLTEXT INDEX users_bio ON users (bio)"),
                       sqlite=lite_index, repeats=1, check=False))

    out.append(Job("full-text match of one word",
                   ours=lambda: sql("SELECT pk FROM users WHERE MATCH(bio, %s)" % sql_literal(word)),
                   sqlite=lambda: execute("SELECT pk FROM users_fts WHERE users_fts MATCH ?", (word,)).fetchall(),
                   duckdb=DuckDB.query("SELECT pk FROM users WHERE list_contains(string_split(doc->>'bio', ' '), %s)"
                                       % sql_literal(word)),
                   ours_answer=lambda got: sorted(r["pk"] for r in got),
                   peer_answer=lambda r: sorted(t[0] for t in r)))
    return out


def run_job(job, duck, done):
    """Runs the job on every side; its figures (seconds or None per side) and the names of the sides
    whose answers differ from ours. done maps the names of the jobs run before to their figures."""
    our_s, got = best_of(job.ours, repeats=job.repeats, setup=job.ours_setup)
    lite_s = lite_got = duck_s = duck_got = None
    if job.peers_of:
        _, lite_s, duck_s = done[job.peers_of]
    else:
        if job.sqlite is not None:
            lite_s, lite_got = best_of(job.sqlite, repeats=job.repeats, setup=job.sqlite_setup)
        if duck is not None and job.duckdb is not None:
            duck_s, duck_got = duck.run(job.duckdb)
    differ = []
    if job.check:
        want = job.ours_answer(got)
        for side, answer, form in (("sqlite3", lite_got, job.sqlite_answer or job.peer_answer),
                                   ("DuckDB", duck_got, job.duckdb_answer or job.peer_answer)):
            if answer is None:
                continue
            theirs = form(answer)
            if theirs != want:
                differ.append(side)
                print("MISMATCH in %s:\n  quenlordb: %r\n  %s: %r" % (job.name, str(want)[:300], side, str(theirs)[:300]))
    return (our_s, lite_s, duck_s), differ


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
    CROSS JOIN just under the join bound (with the memory it takes), and two tables paired on an
    equality of document fields (sqlite3 pairs them by json_extract, without an index)."""
    rng = random.Random(31)
    root = os.path.join(root, "joins")
    os.mkdir(root)
    ours, peer = Ours(root), Sqlite(root)
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
    record("count, join of document fields 2000 x 2000", our_s, peer_s)
    check("join of fields count", got, [want[0][0]])

    our_s, got = best_of(lambda: sql(
        "SELECT purchases.pk AS p, customers.name AS n FROM purchases JOIN customers "
        "ON purchases.cust = customers.id WHERE purchases.amount > 250"))
    peer_s, want = best_of(lambda: execute(
        "SELECT p.pk, json_extract(c.doc, '$.name') FROM purchases p JOIN customers c "
        "ON json_extract(p.doc, '$.cust') = json_extract(c.doc, '$.id') "
        "WHERE json_extract(p.doc, '$.amount') > 250 ORDER BY p.pk").fetchall())
    record("rows, join of document fields 2000 x 2000", our_s, peer_s)
    check("join of fields rows", got, [{"n": n, "p": p} for p, n in want])
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
    ours, peer = Ours(os.path.join(root, "fts_upkeep")), Sqlite(os.path.join(root, "fts_upkeep"))
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
    parser.add_argument("--updates", type=int, default=10_000, help="point UPDATEs, one call each")
    parser.add_argument("--seed", type=int, default=25)
    parser.add_argument("--dir", default=None, help="directory for the databases (default: a temporary one)")
    parser.add_argument("--duckdb-dir", default=os.path.join(HERE, ".duckdb"),
                        help="folder DuckDB's Node.js package is installed into (default: bench/.duckdb)")
    parser.add_argument("--no-duckdb", action="store_true", help="leave the DuckDB side out")
    parser.add_argument("--index-first", action="store_true",
                        help="load by COPY, then build the full-text index, so that every job (the UPDATEs "
                             "among them) runs with it; no INSERT-script load")
    args = parser.parse_args()

    users, orders, words = make_data(args.n, args.seed)
    root = tempfile.mkdtemp(prefix="sql_bench_", dir=args.dir)
    ours, lite = Ours(root), Sqlite(root)
    duck = None
    results = []  # (job, our seconds, sqlite3's seconds or None, DuckDB's seconds or None)
    mismatches = []
    extra = []  # (name, our seconds, sqlite3's seconds, rows or None)
    notes = []  # lines printed after the joins' table
    upkeep_rows, upkeep_lines = [], []
    try:
        if not args.no_duckdb:
            duck = DuckDB(os.path.abspath(args.duckdb_dir), os.path.join(root, "duck.db"))
        done = {}
        for job in jobs(args, users, orders, words, ours, lite, duck, root):
            done[job.name], differ = run_job(job, duck, done)
            mismatches += ["%s (%s)" % (job.name, side) for side in differ]
            if job.timed:
                results.append((job,) + done[job.name])

        # Jobs beside sqlite3 alone, on tables of their own: joins, and loads with full-text or
        # time-series upkeep. They stay out of the geometric mean above.
        def record(name, our_s, peer_s, count=None):
            extra.append((name, our_s, peer_s, count))

        def check(name, ours_answer, peer_answer):
            if ours_answer != peer_answer:
                mismatches.append(name)
                print("MISMATCH in %s:\n  ours: %r\n  sqlite3: %r" % (name, str(ours_answer)[:300], str(peer_answer)[:300]))

        run_join_jobs(root, record, check, notes)
        # These loads run at 100,000 rows at most: their cost per call grows with the lists and buckets.
        side_n = min(args.n, SIDE_ROWS)
        upkeep_rows, upkeep_lines, agree = upkeep_jobs(root, users[:side_n], side_n)
        if not agree:
            mismatches.append("indexed load")
    finally:
        if duck is not None:
            duck.close()
        if lite.conn is not None:
            lite.conn.close()
        ours.db = None
        shutil.rmtree(root, ignore_errors=True)

    print("quenlordb SQL vs sqlite3 %s%s: %d users, %d orders, best of %d (the index build: once)" % (
        sqlite3.sqlite_version, "" if duck is None else " and DuckDB %s on %d threads" % (duck.version, duck.threads),
        args.n, len(orders), REPEATS))
    print("%-46s %13s %13s %13s %10s %10s" % ("", "quenlordb", "sqlite3", "DuckDB", "vs sqlite3", "vs DuckDB"))
    logs = {"sqlite3": [], "DuckDB": []}

    def figure(job, seconds):
        if seconds is None:
            return "%13s" % "-"
        if job.rate:
            return "%13.0f" % (job.rate / seconds)
        return "%10.2f ms" % (seconds * 1e3)

    def ratio(side, our_s, seconds):
        if seconds is None:
            return "%10s" % "-"
        logs[side].append(math.log(seconds / our_s))
        return "%9.2fx" % (seconds / our_s)

    for job, our_s, lite_s, duck_s in results:
        print("%-46s %s %s %s %s %s" % (job.name, figure(job, our_s), figure(job, lite_s), figure(job, duck_s),
                                        ratio("sqlite3", our_s, lite_s), ratio("DuckDB", our_s, duck_s)))
    means = ["%9.2fx" % math.exp(sum(v) / len(v)) if v else "%10s" % "-" for v in logs.values()]
    print("%-46s %13s %13s %13s %s %s" % ("geometric mean of the ratios", "", "", "", means[0], means[1]))
    print()
    print("%-44s %14s %14s %8s" % ("joins, beside sqlite3", "quenlordb", "sqlite3", "ratio"))
    for name, our_s, peer_s, count in extra:
        print("%-44s %11.2f ms %11.2f ms %7.2fx" % (name, our_s * 1e3, peer_s * 1e3, peer_s / our_s))
    for line in notes:
        print(line)
    print()
    print("%-52s %12s %12s %8s" % ("loads with full-text or time-series upkeep", "quenlordb", "beside", "ratio"))
    for name, our_s, other_s, count in upkeep_rows:
        beside = "sqlite3" if name.startswith("indexed") or name.startswith("  ") else "plain"
        print("%-52s %12.0f %12.0f %7.2fx  (beside: %s)" % (name, count / our_s, count / other_s, other_s / our_s, beside))
    for line in upkeep_lines:
        print(line)
    end_with_the_check(mismatches)


if __name__ == "__main__":
    main()
