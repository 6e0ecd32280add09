"""MATCH benchmark: full-text queries over real prose, beside sqlite3's FTS5 and our own LIKE scan.

The corpus is text shipped on this machine, read in a fixed order and cut the same way every run:
the entries of every /usr/share/doc/*/changelog.Debian.gz (each entry's lines between its header and
its trailer), then, until there are N documents (default 40,000), paragraphs of the upstream change
logs and news files beside them (/usr/share/doc/*/changelog.gz and NEWS.gz, blank-line separated,
run together up to at least 300 bytes), taken at even steps through their list. Texts of fewer
than 100 or more than 4,000 bytes, and texts met before, are left out. Each document is
{"pk": "e000000", "package", "source", "body"}, the body the text with its lines trimmed; the corpus
shifts only when the packages installed on the machine change.

quenlordb loads them by COPY FROM NDJSON into a typed table with a full-text index over `body`;
sqlite3 (the standard library's) holds the same documents as JSON text beside their primary keys,
`docs(pk TEXT PRIMARY KEY, doc TEXT)`, and an FTS5 table of the bodies keyed by the rows' rowids,
queried joined to its content rows. For each word, from a few hundred to tens of thousands of rows:

  ours   SELECT pk FROM t WHERE MATCH(body, 'word')          and  SELECT count(*) ...
  FTS5   SELECT d.pk FROM docs_fts f JOIN docs d ON d.rowid = f.rowid WHERE docs_fts MATCH 'word'
                                                             and  SELECT count(*) ...
  LIKE   SELECT count(*) FROM t WHERE body LIKE '%word%'     (ours: a scan of the whole table)

Each query runs once untimed, then three times: the best of the three counts (a table file's
block enters the block cache on its second miss, as sqlite3's pages enter its page cache on their
first). The two engines tokenise differently (ours stems, FTS5 here does not), so their
row counts differ and are shown side by side; our answers are checked against our own scan of the
table filtered by the same terms (the rows whose HIGHLIGHT of the body marks a word), and each
side's count(*) against its own list.

    PYTHONPATH=build/python python3.12 bench/match_bench.py [-n 40000] [--words w1,w2,...] [--keep DIR]

--keep DIR makes the databases in DIR (a new directory) and leaves them there: DIR/q is ours, which
build/bench/query_bench runs a query on again and again for a profile of the query alone, e.g.
`perf record -g build/bench/query_bench DIR/q "SELECT count(*) FROM t WHERE MATCH(body, 'fix')"`.

A ratio is the speed of quenlordb's MATCH over that of the other query (above 1: MATCH is faster).
Not a test: run by hand.
"""

import argparse
import glob
import gzip
import json
import os
import re
import shutil
import sqlite3
import tempfile
import time

from quenlordb import PyDatabase
from sql_bench import best_of, end_with_the_check

REPEATS = 3
# From a few hundred rows to tens of thousands on the default corpus.
WORDS = ["security", "crash", "memory", "error", "support", "patch", "upstream", "fix", "to"]
MIN_BYTES, MAX_BYTES = 100, 4000
PARAGRAPH_BYTES = 300
ENTRY_HEADER = re.compile(r"^(\S+) \(([^)]*)\) [^;]*;")


def trimmed(lines):
    return "\n".join(line.strip() for line in lines if line.strip())


def read_gzip(path):
    try:
        with gzip.open(path, "rt", encoding="utf-8", errors="replace") as f:
            return f.read()
    except (OSError, EOFError):
        return None


def changelog_entries():
    """(package, version, body) of every entry of the Debian change logs, in path order."""
    out = []
    for path in sorted(glob.glob("/usr/share/doc/*/changelog.Debian.gz")):
        text = read_gzip(path)
        if text is None:
            continue
        package = path.split("/")[-2]
        entry = None
        for line in text.splitlines():
            header = ENTRY_HEADER.match(line)
            if header:
                entry = (header.group(2), [])
            elif entry is not None and line.startswith(" -- "):
                out.append((package, entry[0], trimmed(entry[1])))
                entry = None
            elif entry is not None:
                entry[1].append(line)
    return out


def paragraphs():
    """(package, file name, text) of the paragraphs of the upstream change logs and news files, run
    together up to PARAGRAPH_BYTES, in path order."""
    out = []
    paths = sorted(glob.glob("/usr/share/doc/*/changelog.gz") + glob.glob("/usr/share/doc/*/NEWS.gz"))
    for path in paths:
        text = read_gzip(path)
        if text is None:
            continue
        package, name = path.split("/")[-2], os.path.basename(path)
        run = []
        for paragraph in re.split(r"\n\s*\n", text):
            paragraph = trimmed(paragraph.splitlines())
            if not paragraph:
                continue
            run.append(paragraph)
            joined = "\n".join(run)
            if len(joined.encode()) >= PARAGRAPH_BYTES:
                out.append((package, name, joined))
                run = []
    return out


def corpus(n):
    seen = set()

    def fresh(items):
        kept = []
        for item in items:
            size = len(item[2].encode())
            if MIN_BYTES <= size <= MAX_BYTES and item[2] not in seen:
                seen.add(item[2])
                kept.append(item)
        return kept

    docs = fresh(changelog_entries())[:n]
    if len(docs) < n:
        more = fresh(paragraphs())
        need = min(n - len(docs), len(more))
        docs += [more[i * len(more) // need] for i in range(need)]
    return [{"pk": "e%06d" % i, "package": package, "source": source, "body": body}
            for i, (package, source, body) in enumerate(docs)]


def sql_literal(text):
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"


def best_of_warm(fn):
    """The shortest of REPEATS timed runs of fn, after one run untimed, and the answer of the last."""
    fn()
    return best_of(fn)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("-n", type=int, default=40_000, help="documents (default 40000)")
    parser.add_argument("--words", default=",".join(WORDS), help="comma-separated words to look for")
    parser.add_argument("--keep", metavar="DIR", help="make the databases in DIR, a new directory, and keep them")
    args = parser.parse_args()
    words = [w for w in args.words.split(",") if w]

    docs = corpus(args.n)
    total = sum(len(d["body"].encode()) for d in docs)
    if args.keep:
        os.makedirs(args.keep)
    root = args.keep or tempfile.mkdtemp(prefix="match_bench_")
    mismatches = []
    rows = []
    try:
        ndjson = os.path.join(root, "docs.ndjson")
        with open(ndjson, "w", encoding="utf-8") as f:
            for d in docs:
                f.write(json.dumps(d, ensure_ascii=False) + "\n")

        db = PyDatabase.open(os.path.join(root, "q"))
        start = time.perf_counter()
        db.sql("CREATE TABLE t (pk TEXT PRIMARY KEY, package TEXT, source TEXT, body TEXT)")
        db.sql("COPY t FROM %s FORMAT NDJSON" % sql_literal(ndjson))
        db.sql("CREATE FULLTEXT INDEX t_body ON t (body)")
        our_load = time.perf_counter() - start

        conn = sqlite3.connect(os.path.join(root, "s.db"), isolation_level=None)
        conn.execute("PRAGMA journal_mode=WAL")
        start = time.perf_counter()
        conn.execute("BEGIN")
        conn.execute("CREATE TABLE docs (pk TEXT PRIMARY KEY, doc TEXT)")
        conn.executemany("INSERT INTO docs VALUES (?, ?)",
                         ((d["pk"], json.dumps(d, ensure_ascii=False)) for d in docs))
        conn.execute("CREATE VIRTUAL TABLE docs_fts USING fts5(body, content='')")
        conn.execute("INSERT INTO docs_fts (rowid, body) SELECT rowid, json_extract(doc, '$.body') FROM docs")
        conn.execute("COMMIT")
        lite_load = time.perf_counter() - start

        fts_join = "FROM docs_fts f JOIN docs d ON d.rowid = f.rowid WHERE docs_fts MATCH ?"
        for word in words:
            lit = sql_literal(word)
            match_s, listed = best_of_warm(lambda: db.sql("SELECT pk FROM t WHERE MATCH(body, %s)" % lit))
            count_s, counted = best_of_warm(lambda: db.sql("SELECT count(*) FROM t WHERE MATCH(body, %s)" % lit))
            like_s, liked = best_of_warm(lambda: db.sql("SELECT count(*) FROM t WHERE body LIKE %s" % sql_literal(
                "%" + word + "%")))
            fts_s, fts_listed = best_of_warm(lambda: conn.execute("SELECT d.pk " + fts_join, (word,)).fetchall())
            fts_count_s, fts_counted = best_of_warm(lambda: conn.execute("SELECT count(*) " + fts_join, (word,)).fetchall())

            ours = sorted(r["pk"] for r in listed)
            scanned = sorted(r["pk"] for r in db.sql(
                "SELECT pk FROM t WHERE HIGHLIGHT(body, %s) <> HIGHLIGHT(body, '')" % lit))
            if ours != scanned:
                mismatches.append("%s: MATCH lists %d rows, the scan %d" % (word, len(ours), len(scanned)))
            if counted != [len(ours)]:
                mismatches.append("%s: count(*) of MATCH is %r, its rows %d" % (word, counted, len(ours)))
            if fts_counted[0][0] != len(fts_listed):
                mismatches.append("%s: FTS5's count(*) is %d, its rows %d" % (word, fts_counted[0][0], len(fts_listed)))
            rows.append((word, len(ours), len(fts_listed), int(liked[0]), match_s, fts_s, count_s, fts_count_s, like_s))
    finally:
        if not args.keep:
            shutil.rmtree(root, ignore_errors=True)

    print("quenlordb MATCH vs sqlite3 %s FTS5 (joined to its content rows): %d documents, %.1f MB of text "
          "(mean %d bytes), best of %d after one run" % (
              sqlite3.sqlite_version, len(docs), total / 1e6, total // len(docs), REPEATS))
    print("load: quenlordb %.2f s (COPY, then the index), sqlite3 %.2f s (INSERTs, then FTS5)" % (our_load, lite_load))
    print("%-10s %7s %7s %7s | %10s %10s %7s | %10s %10s %7s | %10s %7s" % (
        "word", "rows", "FTS5", "LIKE", "SELECT pk", "FTS5", "ratio", "count(*)", "FTS5", "ratio", "LIKE cnt", "ratio"))
    for word, n, fts_n, like_n, match_s, fts_s, count_s, fts_count_s, like_s in rows:
        print("%-10s %7d %7d %7d | %7.2f ms %7.2f ms %6.2fx | %7.2f ms %7.2f ms %6.2fx | %7.2f ms %6.2fx" % (
            word, n, fts_n, like_n, match_s * 1e3, fts_s * 1e3, fts_s / match_s, count_s * 1e3,
            fts_count_s * 1e3, fts_count_s / count_s, like_s * 1e3, like_s / match_s))
    end_with_the_check(mismatches)


if __name__ == "__main__":
    main()
