"""Search benchmark: substring search and IN lists in quenlordb's SQL next to the standard library's sqlite3.

Text jobs, on texts built inside the statement (so that neither side parses a huge literal):
- POSITION of a 30,000,000-character needle (29,999,999 'a' and 'b') in a 60,000,000-character text
  (59,999,999 'a' and 'b'); sqlite3: instr;
- REPLACE and SPLIT_PART of a 200,000-character needle of the same shape in a 400,000-character
  text; sqlite3: replace, and substr after instr for SPLIT_PART's second piece;
- a 400,000-character text of 'a' LIKE '%' followed by 200,000 'a' and 'y%'.
IN jobs, over a table of N rows {"x": i} under keys "k000000"...: count(*) WHERE x IN (N numbers),
WHERE pk IN (N texts) and WHERE x NOT IN (N numbers), each list a random half of it matching;
sqlite3 stores the documents as JSON text and reads x with json_extract.

sqlite3's text jobs run in a child process stopped after --peer-limit seconds (its searches are
single calls that no progress handler interrupts); such a job prints "> limit". Every figure is the
best of three runs, and every answer is checked against sqlite3's where sqlite3 gives one.

    PYTHONPATH=build/python python3.12 bench/search_bench.py [-n 100000] [--peer-limit 10] [--seed 32]

The ratio is the speed of quenlordb over that of sqlite3 (above 1: quenlordb is faster). Not a
test: run by hand.
"""

import argparse
import json
import os
import random
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

from quenlordb import PyDatabase
from sql_bench import best_of, end_with_the_check

REPEATS = 3

# name, quenlordb's statement, sqlite3's statement; each returns one value.
TEXT_JOBS = [
    ("POSITION, 30M-char needle in 60M chars",
     "SELECT POSITION(LPAD('b', 60000000, 'a'), LPAD('b', 30000000, 'a')) AS v FROM one",
     "SELECT instr(printf('%.*c', 59999999, 'a') || 'b', printf('%.*c', 29999999, 'a') || 'b')"),
    ("REPLACE, 200k-char needle in 400k chars",
     "SELECT LENGTH(REPLACE(LPAD('b', 400000, 'a'), LPAD('b', 200000, 'a'), 'x')) AS v FROM one",
     "SELECT length(replace(printf('%.*c', 399999, 'a') || 'b', printf('%.*c', 199999, 'a') || 'b', 'x'))"),
    ("SPLIT_PART, 200k-char delimiter, 400k",
     "SELECT LENGTH(SPLIT_PART(LPAD('b', 400000, 'a'), LPAD('b', 200000, 'a'), 1)) AS v FROM one",
     "SELECT instr(printf('%.*c', 399999, 'a') || 'b', printf('%.*c', 199999, 'a') || 'b') - 1"),
    ("LIKE '%' 200k 'a' 'y%' over 400k chars",
     "SELECT LPAD('', 400000, 'a') LIKE CONCAT('%', LPAD('', 200000, 'a'), 'y%') AS v FROM one",
     "SELECT printf('%.*c', 400000, 'a') LIKE '%' || printf('%.*c', 200000, 'a') || 'y%'"),
]

PEER_CHILD = """
import sqlite3, sys, time
conn = sqlite3.connect(":memory:")
best, value = float("inf"), None
for _ in range(%d):
    start = time.perf_counter()
    try:
        value = conn.execute(sys.argv[1]).fetchone()[0]
    except sqlite3.Error as e:
        print("error", e)
        sys.exit(0)
    best = min(best, time.perf_counter() - start)
print("ok", best, value)
""" % REPEATS


def peer_text_job(statement, limit):
    """(seconds, value) of sqlite3's best run, or (None, why) when it was stopped or refused."""
    try:
        out = subprocess.run([sys.executable, "-c", PEER_CHILD, statement], capture_output=True, text=True,
                             timeout=limit * REPEATS, check=True).stdout.split(maxsplit=2)
    except subprocess.TimeoutExpired:
        return None, "> %g s" % limit
    if out[0] == "error":
        return None, "refused (%s)" % " ".join(out[1:]).strip()
    return float(out[1]), int(out[2])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-n", type=int, default=100_000, help="rows of the IN jobs, and items of each list")
    parser.add_argument("--peer-limit", type=float, default=10.0, help="seconds before a sqlite3 text job is stopped")
    parser.add_argument("--seed", type=int, default=32)
    args = parser.parse_args()

    rng = random.Random(args.seed)
    root = tempfile.mkdtemp(prefix="search_bench_")
    results = []  # (name, our seconds, peer seconds or None, peer note)
    mismatches = []

    def check(name, ours, peer):
        if ours != peer:
            mismatches.append(name)
            print("MISMATCH in %s: ours %r, sqlite3 %r" % (name, ours, peer))

    db = PyDatabase.open(os.path.join(root, "q"))
    conn = sqlite3.connect(os.path.join(root, "s.db"), isolation_level=None)
    try:
        db.sql("CREATE TABLE one (pk TEXT PRIMARY KEY); INSERT INTO one (pk, doc) VALUES ('1', '{}')")
        for name, ours_sql, peer_sql in TEXT_JOBS:
            our_s, got = best_of(lambda: db.sql(ours_sql))
            value = got[0]["v"]
            peer_s, peer_value = peer_text_job(peer_sql, args.peer_limit)
            if peer_s is not None:
                check(name, value, peer_value)
            results.append((name, our_s, peer_s, None if peer_s is not None else peer_value))

        n = args.n
        keys = ["k%06d" % i for i in range(n)]
        docs = [json.dumps({"x": i}) for i in range(n)]
        db.sql("CREATE TABLE t (pk TEXT PRIMARY KEY); BEGIN;\n" + "\n".join(
            "INSERT INTO t (pk, doc) VALUES ('%s', '%s');" % (k, d) for k, d in zip(keys, docs)) + "\nCOMMIT;")
        conn.execute("CREATE TABLE t (pk TEXT PRIMARY KEY, doc TEXT)")
        conn.execute("BEGIN")
        conn.executemany("INSERT INTO t VALUES (?, ?)", zip(keys, docs))
        conn.execute("COMMIT")

        numbers = ", ".join(str(v) for v in rng.sample(range(2 * n), n))
        texts = ", ".join("'k%06d'" % v for v in rng.sample(range(2 * n), n))
        in_jobs = [
            ("x IN (%d numbers)" % n, "x IN (%s)" % numbers, "json_extract(doc, '$.x') IN (%s)" % numbers),
            ("pk IN (%d texts)" % n, "pk IN (%s)" % texts, "pk IN (%s)" % texts),
            ("x NOT IN (%d numbers)" % n, "x NOT IN (%s)" % numbers, "json_extract(doc, '$.x') NOT IN (%s)" % numbers),
        ]
        for name, ours_where, peer_where in in_jobs:
            our_s, got = best_of(lambda: db.sql("SELECT count(*) FROM t WHERE " + ours_where))
            peer_s, want = best_of(lambda: conn.execute("SELECT count(*) FROM t WHERE " + peer_where).fetchone()[0])
            check(name, got, [want])
            results.append(("count(*) WHERE " + name, our_s, peer_s, None))
    finally:
        conn.close()
        db = None
        shutil.rmtree(root, ignore_errors=True)

    print("quenlordb vs sqlite3: substring search and IN lists, best of %d" % REPEATS)
    print("%-44s %12s %16s %8s" % ("", "quenlordb", "sqlite3", "ratio"))
    for name, our_s, peer_s, note in results:
        if peer_s is None:
            print("%-44s %9.1f ms %16s" % (name, our_s * 1e3, note))
        else:
            print("%-44s %9.1f ms %13.1f ms %7.2fx" % (name, our_s * 1e3, peer_s * 1e3, peer_s / our_s))
    end_with_the_check(mismatches)


if __name__ == "__main__":
    main()
