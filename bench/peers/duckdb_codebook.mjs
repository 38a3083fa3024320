// DuckDB beside the codebook program, through the npm package @duckdb/node-api
// (installed by bench/compare.sh into bench/out/npm, never by the tests).
//
//   node bench/peers/duckdb_codebook.mjs summarize FILE.csv   SUMMARIZE of the whole file
//   node bench/peers/duckdb_codebook.mjs counts FILE.csv      count(column) of every column
//
// Both read the CSV with read_csv (types sniffed), on every core, and print
// the result to standard output.
import { DuckDBInstance } from '@duckdb/node-api';
import { closeSync, openSync, readSync } from 'node:fs';

const [mode, csv] = process.argv.slice(2);
if (!['summarize', 'counts'].includes(mode) || !csv) {
  console.error('usage: duckdb_codebook.mjs summarize|counts FILE.csv');
  process.exit(2);
}
const quote = (s) => "'" + s.replaceAll("'", "''") + "'";
const instance = await DuckDBInstance.create(':memory:');
const connection = await instance.connect();
const source = `read_csv(${quote(csv)})`;
let sql;
if (mode === 'summarize') {
  sql = `SUMMARIZE SELECT * FROM ${source}`;
} else {
  const buffer = Buffer.alloc(65536);
  const fd = openSync(csv, 'r');
  const length = readSync(fd, buffer, 0, buffer.length, 0);
  closeSync(fd);
  const header = buffer.subarray(0, length).toString('utf8').split('\n')[0].replace(/\r$/, '').split(',');
  sql = 'SELECT ' + header.map((c) => `count("${c.replaceAll('"', '""')}")`).join(', ') + ` FROM ${source}`;
}
const reader = await connection.runAndReadAll(sql);
for (const row of reader.getRows()) console.log(row.map(String).join('\t'));
