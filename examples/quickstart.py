"""A first look at quenlordb: documents with validity intervals, reads as of an earlier commit and
at a point of valid time, data that survives a reopen, and SQL over a table in the same database.

Run with `make demo` (or PYTHONPATH=build/python python3.12 examples/quickstart.py).
"""

import json
import os
import tempfile

from quenlordb import PyDatabase

FOREVER = 2**64 - 1  # the end of an open validity interval

# Valid time is whatever integer scale the application picks; here a date written as YYYYMMDD.
USERS = [
    (b"user/ada", {"name": "Ada", "plan": "free", "city": "London"}, 20240101, 20240701),
    (b"user/bob", {"name": "Bob", "plan": "team", "city": "Oslo"}, 20240301, FOREVER),
    (b"user/cyd", {"name": "Cyd", "plan": "free", "city": "Lima"}, 20240415, FOREVER),
]


def encode(doc):
    return json.dumps(doc, sort_keys=True).encode()


def show(label, doc):
    """get returns the stored bytes as a list of ints (None when nothing is visible)."""
    text = "(nothing visible)" if doc is None else bytes(doc).decode()
    print(f"  {label:<34} {text}")


def main():
    with tempfile.TemporaryDirectory(prefix="quenlordb-demo-") as root:
        path = os.path.join(root, "db")
        db = PyDatabase.open(path)
        print(f"Opened a new database in {path}: {sorted(os.listdir(path))}")

        print("\nWriting three users, each valid from a date (commit timestamps count per shard):")
        commits = {}
        for key, doc, valid_from, valid_to in USERS:
            commits[key] = db.put(key, encode(doc), valid_from, valid_to)
            until = "on" if valid_to == FOREVER else f"to {valid_to}"
            print(f"  {key.decode():<10} commit {commits[key]:<3} valid {valid_from} {until}")

        first_commit = commits[b"user/ada"]
        upgraded = {"name": "Ada", "plan": "pro", "city": "London"}
        upgrade_commit = db.put(b"user/ada", encode(upgraded), 20240701, FOREVER)
        print(f"\nAda moves to the pro plan from 20240701 (commit {upgrade_commit}).")

        print("\nReading user/ada:")
        show("now", db.get(b"user/ada"))
        show(f"as of commit {first_commit} (before the move)", db.get(b"user/ada", as_of=first_commit))
        show("valid at 20240315", db.get(b"user/ada", valid_at=20240315))
        show("valid at 20241001", db.get(b"user/ada", valid_at=20241001))
        show("valid at 20231231 (before any)", db.get(b"user/ada", valid_at=20231231))
        show("user/eve (never written)", db.get(b"user/eve"))

        del db  # the last reference: the database shuts down and everything is on disk
        print("\nClosed and reopened:")
        db = PyDatabase.open(path)
        for key, _, _, _ in USERS:
            show(key.decode(), db.get(key))
        show(f"user/ada as of commit {first_commit}", db.get(b"user/ada", as_of=first_commit))

        sql_tour(db)
        del db


def sql_tour(db):
    print("\nSQL: a typed table, rows inserted in one transaction:")
    db.sql("CREATE TABLE players (id TEXT PRIMARY KEY, name TEXT, city TEXT, score INTEGER)")
    result = db.sql(
        "BEGIN;"
        " INSERT INTO players (id, name, city, score) VALUES ('ada', 'Ada', 'London', 90);"
        " INSERT INTO players (id, name, city, score) VALUES ('bob', 'Bob', 'Oslo', 72);"
        " INSERT INTO players (id, name, city, score) VALUES ('cyd', 'Cyd', 'Lima', 85);"
        " COMMIT"
    )
    print(f"  {result}")
    query = "SELECT name, score FROM players WHERE score > 80 ORDER BY score DESC"
    print(f"  {query}")
    for row in db.sql(query):
        print(f"    {row}")

    update = db.sql("UPDATE players SET score = 99 WHERE pk = 'cyd'")
    print(f"  UPDATE players SET score = 99 WHERE pk = 'cyd' -> {update}")
    before = update["commit_ts"] - 1  # commit timestamps count per shard; the row's shard wrote it
    for label, sql in [
        ("now", "SELECT name, score FROM players WHERE pk = 'cyd'"),
        ("before the update", f"SELECT name, score FROM players WHERE pk = 'cyd' AS OF {before}"),
    ]:
        print(f"  {label:<18} {db.sql(sql)}")


if __name__ == "__main__":
    main()
