"""Python-level benchmark: quenlordb next to the standard library's sqlite3 on one workload.

N puts of ~110-byte JSON documents under 16-byte random keys, then G random point gets, first on
quenlordb (default settings, four shards, group commit on), then on sqlite3 (WAL journal,
synchronous=NORMAL, one committed INSERT per document, SELECT by primary key). Both run in this
process on the same data; the figures are operations per second of the Python calls.

    PYTHONPATH=build/python python3.12 bench/python_put_get.py [-n 100000] [--gets N] [--seed 1]

The goals (puts at least 10x and gets at least 3x sqlite3's) are set at -n 1000000.

Not a test: nothing is checked beyond a sample of reads.
"""

import argparse
import json
import os
import random
import shutil
import sqlite3
import sys
import tempfile
import time

from quenlordb import PyDatabase

FOREVER = 2**64 - 1


def make_workload(count, gets, seed):
    rng = random.Random(seed)
    keys = list({rng.randbytes(16) for _ in range(count)})
    while len(keys) < count:
        keys.append(rng.randbytes(16))
    docs = []
    for i in range(count):
        doc = {"id": i, "user": "user%07d" % rng.randrange(10**7), "score": rng.randrange(1000),
               "tags": ["alpha", "beta"][: 1 + i % 2], "note": "x" * rng.randrange(30, 40)}
        docs.append(json.dumps(doc, separators=(",", ":")).encode())
    lookups = [rng.randrange(count) for _ in range(gets)]
    return keys, docs, lookups


def disk_bytes(path):
    total = 0
    for root, _, files in os.walk(path):
        total += sum(os.path.getsize(os.path.join(root, f)) for f in files)
    return total


def rate(count, seconds):
    return count / seconds if seconds > 0 else float("inf")


def bench_quenlordb(path, keys, docs, lookups):
    db = PyDatabase.open(path)
    put = db.put
    start = time.perf_counter()
    for key, doc in zip(keys, docs):
        put(key, doc, 0, FOREVER)
    put_seconds = time.perf_counter() - start

    get = db.get
    start = time.perf_counter()
    for i in lookups:
        get(keys[i])
    get_seconds = time.perf_counter() - start

    for i in lookups[:1000]:
        assert bytes(get(keys[i])) == docs[i]
    start = time.perf_counter()
    del db, put, get  # shutdown: queued log frames written and synced
    close_seconds = time.perf_counter() - start
    return put_seconds, get_seconds, close_seconds


def bench_sqlite(path, keys, docs, lookups):
    conn = sqlite3.connect(path, isolation_level=None)  # autocommit: every INSERT is its own transaction
    conn.execute("PRAGMA journal_mode=WAL")
    conn.execute("PRAGMA synchronous=NORMAL")
    conn.execute("CREATE TABLE docs (k BLOB PRIMARY KEY, v BLOB NOT NULL)")
    execute = conn.execute
    start = time.perf_counter()
    for key, doc in zip(keys, docs):
        execute("INSERT INTO docs (k, v) VALUES (?, ?)", (key, doc))
    put_seconds = time.perf_counter() - start

    start = time.perf_counter()
    for i in lookups:
        execute("SELECT v FROM docs WHERE k = ?", (keys[i],)).fetchone()
    get_seconds = time.perf_counter() - start

    for i in lookups[:1000]:
        assert execute("SELECT v FROM docs WHERE k = ?", (keys[i],)).fetchone()[0] == docs[i]
    start = time.perf_counter()
    conn.close()
    close_seconds = time.perf_counter() - start
    return put_seconds, get_seconds, close_seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-n", "--count", type=int, default=100_000, help="documents to put")
    parser.add_argument("--gets", type=int, help="random gets (default: as many as puts)")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    gets = args.count if args.gets is None else args.gets

    keys, docs, lookups = make_workload(args.count, gets, args.seed)
    mean_doc = sum(map(len, docs)) / len(docs)
    print(f"Python {sys.version.split()[0]}, SQLite {sqlite3.sqlite_version}: "
          f"{args.count} puts of {mean_doc:.0f}-byte JSON documents under 16-byte keys, {gets} random gets")

    root = tempfile.mkdtemp(prefix="quenlordb-bench-")
    try:
        q_path, s_path = os.path.join(root, "quenlordb"), os.path.join(root, "sqlite.db")
        q = bench_quenlordb(q_path, keys, docs, lookups)
        q_disk = disk_bytes(q_path)
        s = bench_sqlite(s_path, keys, docs, lookups)
        s_disk = sum(os.path.getsize(p) for p in (s_path, s_path + "-wal") if os.path.exists(p))
    finally:
        shutil.rmtree(root, ignore_errors=True)

    print(f"{'':14}{'puts/s':>12}{'gets/s':>12}{'close s':>10}{'disk MB':>10}")
    for name, (put_s, get_s, close_s), disk in (("quenlordb", q, q_disk), ("sqlite3", s, s_disk)):
        print(f"{name:14}{rate(args.count, put_s):12,.0f}{rate(gets, get_s):12,.0f}{close_s:10.3f}{disk / 1e6:10.1f}")
    put_ratio = rate(args.count, q[0]) / rate(args.count, s[0])
    get_ratio = rate(gets, q[1]) / rate(gets, s[1])
    print(f"ratio quenlordb/sqlite3: puts {put_ratio:.2f}x (goal >= 10x), gets {get_ratio:.2f}x (goal >= 3x)")


if __name__ == "__main__":
    main()
