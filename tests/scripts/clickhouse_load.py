#!/usr/bin/env python3
"""clickhouse_load.py HTTP_URL DATABASE HOST RECORDS.json: inserts the records as the probe's sink sends them, one
JSONEachRow INSERT a table: each key's text as it is but for begintime and endtime in milliseconds, a three-place
"0.00" as -0, a negative counter (a 32-bit count past 2^31, printed signed) as its unsigned value and an escaped
byte that is not UTF-8 (\\u0080 to \\u00ff) as that byte; then a host column."""
import json
import re
import sys
import urllib.parse
import urllib.request

from clickhouse_rebuild import TABLES, TWO_PLACES, query

url, database, host, records = sys.argv[1:5]
rows = {table: [] for table in TABLES}
kinds = dict(line.split("\t") for line in query(url, database, "SELECT DISTINCT name, type FROM system.columns "
                                                "WHERE database = currentDatabase() FORMAT TabSeparated").split("\n")[:-1])
for line in open(records, encoding="ascii", errors="surrogateescape"):
    # A lone low surrogate after decoding, the raw byte after encoding.
    record = json.loads(re.sub(r'(?<!\\)((?:\\\\)*)\\u00([89a-f][0-9a-f])', r"\1\\udc\2", line))
    table = next((t for t, types in TABLES.items() if record["type"] in types), None)
    if table is None:
        continue
    for key, value in record.items():
        if key in ("begintime", "endtime"):
            record[key] = value.replace(".", "")
        elif value == "0.00" and kinds[key] == "Float64" and key not in TWO_PLACES:
            record[key] = "-0"
        elif value.startswith("-") and kinds[key] == "UInt32":
            record[key] = str((1 << 32) + int(value))
    record["host"] = host
    rows[table].append(json.dumps(record, ensure_ascii=False).encode("utf-8", "surrogateescape"))
for table, lines in rows.items():
    sql = urllib.parse.urlencode({"database": database, "query": f"INSERT INTO {table} FORMAT JSONEachRow"})
    urllib.request.urlopen(urllib.request.Request(f"{url}?{sql}", data=b"\n".join(lines) + b"\n")).read()
