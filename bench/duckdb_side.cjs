// The DuckDB side of bench/sql_bench.py: one database file, driven over standard input and output,
// one JSON request per line and one JSON reply per line. Not a test and not part of the build: the
// benchmark installs DuckDB's Node.js package into a folder of its own and starts this script.
//
//     node bench/duckdb_side.cjs <folder holding node_modules> <database file>
//
// It prints {"ready": true, "version": ..., "threads": ...} once the database is open (on all
// cores), then answers each request:
//   {"setup": [sql, ...], "run": [sql, ...], "repeats": n}
//       runs the setup statements untimed, then the run statements one after another, timed; the
//       answer is the rows of the last run statement.
//   {"setup": [...], "prepared": sql, "params": [[value, ...], ...], "repeats": n}
//       prepares sql once, untimed; then, timed, binds each parameter list (texts and numbers) and
//       runs the statement; the answer is the list of each call's rows.
// Each repetition runs its setup again; the reply is {"seconds": the shortest run, "rows": the
// answer of the last run} or {"error": message}. Big integers are sent as numbers.
'use strict';

const { createRequire } = require('module');
const readline = require('readline');
const os = require('os');

const [folder, dbPath] = process.argv.slice(2);
const { DuckDBInstance } = createRequire(folder.replace(/\/?$/, '/'))('@duckdb/node-api');

function send(message) {
  process.stdout.write(JSON.stringify(message, (_, v) => (typeof v === 'bigint' ? Number(v) : v)) + '\n');
}

function bind(prepared, values) {
  values.forEach((v, i) => {
    if (typeof v === 'number') prepared.bindDouble(i + 1, v);
    else prepared.bindVarchar(i + 1, String(v));
  });
}

async function once(connection, request) {
  for (const sql of request.setup || []) await connection.run(sql);
  if (request.prepared !== undefined) {
    const prepared = await connection.prepare(request.prepared);
    const answers = [];
    const start = performance.now();
    for (const values of request.params) {
      bind(prepared, values);
      answers.push((await prepared.runAndReadAll()).getRows());
    }
    return [(performance.now() - start) / 1e3, answers];
  }
  let rows = [];
  const start = performance.now();
  for (const sql of request.run) rows = (await connection.runAndReadAll(sql)).getRows();
  return [(performance.now() - start) / 1e3, rows];
}

async function main() {
  const threads = os.cpus().length;
  const instance = await DuckDBInstance.create(dbPath, { threads: String(threads) });
  const connection = await instance.connect();
  const version = (await connection.runAndReadAll('SELECT version()')).getRows()[0][0];
  send({ ready: true, version, threads });
  const lines = readline.createInterface({ input: process.stdin, crlfDelay: Infinity });
  for await (const line of lines) {
    if (!line.trim()) continue;
    try {
      const request = JSON.parse(line);
      let best = Infinity;
      let rows = null;
      for (let i = 0; i < (request.repeats || 1); i++) {
        const [seconds, answer] = await once(connection, request);
        best = Math.min(best, seconds);
        rows = answer;
      }
      send({ seconds: best, rows });
    } catch (e) {
      send({ error: String((e && e.message) || e) });
    }
  }
  if (connection.closeSync) connection.closeSync();
  if (instance.closeSync) instance.closeSync();
}

main().catch((e) => {
  send({ error: String((e && e.message) || e) });
  process.exit(1);
});
