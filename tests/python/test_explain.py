"""EXPLAIN, EXPLAIN ANALYZE and ANALYZE through PyDatabase.sql: explanations come back as str."""

import json
import re
import unittest

from quenlordb import PyDatabase
from support import TempDirTestCase


class ExplainTest(TempDirTestCase):
    def setUp(self):
        super().setUp()
        self.db = PyDatabase.open(self.path(), 2)

    def test_explain_returns_the_plan_text(self):
        text = self.db.sql("EXPLAIN SELECT a, b FROM t WHERE a > 1 ORDER BY a LIMIT 5")
        self.assertIsInstance(text, str)
        self.assertEqual(text, "\n".join([
            "Query Plan:",
            "  Project cols=2",
            "    Limit n=5",
            "      Sort keys=1 cost=20931.6",
            '        Filter sel=0.33 pred=[BinOp { left: Column("a"), op: Gt, right: NumberLit(1.0) }]',
            "          FullScan table=t est_rows=1000 cost=1000.0",
            "Estimated cost: 20931.6",
        ]))
        self.assertEqual(self.db.sql("EXPLAIN COMMIT"), "No plan available for: Commit")

    def test_explain_analyze_returns_its_account(self):
        text = self.db.sql("EXPLAIN ANALYZE EXPLAIN SELECT * FROM t")
        self.assertIsInstance(text, str)
        self.assertRegex(text, re.compile(
            r"^execution_time_us=\d+ rows_returned=0 explain=Query Plan:\n.*\nEstimated cost: 1000\.0\n"
            r"operations: reads=\d+ writes=\d+ bloom_negatives=\d+$", re.S))

    def test_analyze_writes_the_statistics_record(self):
        schema = b'{"pk":"pk","doc":"json","schema_mode":"legacy"}'
        self.db.put(b"__meta/table/docs", schema, 0, 2**64 - 1)
        self.db.put(b"table/docs/a", b'{"n":1}', 0, 2**64 - 1)
        result = self.db.sql("ANALYZE docs")
        self.assertEqual(result["rows"], 1)
        self.assertEqual(result["message"], "ANALYZE docs: 1 rows, ~7 bytes")
        record = json.loads(bytes(self.db.get(b"__meta/stats/docs")))
        self.assertEqual(list(record), ["row_count", "approx_byte_size", "avg_row_bytes", "last_updated_ms", "columns"])
        self.assertEqual(record["avg_row_bytes"], 7)


if __name__ == "__main__":
    unittest.main()
