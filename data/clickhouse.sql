-- Tables of the probe's records in ClickHouse, one a record family. Applied with
--   clickhouse-client --database DB --multiquery < clickhouse.sql
-- or statement by statement by the probe itself (each statement ends with ";" at
-- the end of a line).
--
-- Each column is the record key of the same name: a row rebuilds the record's
-- JSON line exactly. Counters are UInt32, as the probe counts them (sum() widens
-- them to UInt64). Values the probe keeps signed (response times, which a capture
-- out of order can make negative, status and result codes) are Int32. Averages
-- and ratios are Float64 (-0 stands for "0.00", nothing to divide by). "time" is
-- the record's second, "begintime" and "endtime" milliseconds since 1970.
-- Addresses are text, so that IPv4 and IPv6 share a column, and "mem" keeps
-- the record's "N KB". "host" is the probe's host name.
--
-- Partitions are days, so that old days are dropped whole. Rows are ordered by
-- hour, then server, then second: every query carries a time range, which the
-- hour narrows, and within it the rows of one server lie together.

-- Pair records (type 1): a scan's traffic between two addresses and a port.
CREATE TABLE IF NOT EXISTS pairs (
    `type`            UInt8,
    `time`            DateTime,
    `strTime`         String,
    `process`         String,
    `cpu`             Float64,
    `mem`             String,
    `urlsql`          String,
    `src`             String,
    `dst`             String,
    `proto`           UInt8,
    `did`             UInt32,
    `lid`             UInt32,
    `vid`             UInt32,
    `deviceId`        String,
    `busiId`          String,
    `sport`           UInt16,
    `dport`           UInt16,
    `srcBytes`        UInt32,
    `dstBytes`        UInt32,
    `srcPkts`         UInt32,
    `dstPkts`         UInt32,
    `avgPktLen`       Float64,
    `srcRetransPkts`  UInt32,
    `srcLossRatio`    Float64,
    `dstRetransPkts`  UInt32,
    `dstLossRatio`    Float64,
    `srcZeroWinPkts`  UInt32,
    `dstZeroWinPkts`  UInt32,
    `srcSynPkts`      UInt32,
    `dstSynPkts`      UInt32,
    `largePkts`       UInt32,
    `srcSynAckPkts`   UInt32,
    `dstSynAckPkts`   UInt32,
    `srcRstPkts`      UInt32,
    `dstRstPkts`      UInt32,
    `srcFinPkts`      UInt32,
    `dstFinPkts`      UInt32,
    `srcTinyPkts`     UInt32,
    `dstTinyPkts`     UInt32,
    `srcNetDelay`     Float64,
    `dstNetDelay`     Float64,
    `srcHandDelay`    Float64,
    `dstHandDelay`    Float64,
    `responseDelay`   Float64,
    `loadTransDelay`  Float64,
    `srcRetransDelay` Float64,
    `dstRetransDelay` Float64,
    `host`            String
) ENGINE = MergeTree() PARTITION BY toYYYYMMDD(time) ORDER BY (toStartOfHour(time), dst, time);

-- HTTP transactions (type 2).
CREATE TABLE IF NOT EXISTS http (
    `type`            UInt8,
    `time`            DateTime,
    `process`         String,
    `cpu`             Float64,
    `mem`             String,
    `strBegintime`    String,
    `src`             String,
    `dst`             String,
    `did`             UInt32,
    `lid`             UInt32,
    `vid`             UInt32,
    `deviceId`        String,
    `busiId`          String,
    `sport`           UInt16,
    `dport`           UInt16,
    `srcConDelayUsec` UInt32,
    `dstConDelayUsec` UInt32,
    `begintime`       UInt64,
    `endtime`         UInt64,
    `bytes`           UInt32,
    `response`        Int32,
    `pageload`        Int32,
    `retcode`         Int32,
    `method`          String,
    `url`             String,
    `domain`          String,
    `contentType`     String,
    `agent`           String,
    `forward`         String,
    `host`            String
) ENGINE = MergeTree() PARTITION BY toYYYYMMDD(time) ORDER BY (toStartOfHour(time), dst, time);

-- Database statements (types 4 Oracle, 5 MySQL, 6 SQL Server, 8 PostgreSQL, 9 Redis).
CREATE TABLE IF NOT EXISTS db (
    `type`            UInt8,
    `time`            DateTime,
    `process`         String,
    `cpu`             Float64,
    `mem`             String,
    `strBegintime`    String,
    `src`             String,
    `dst`             String,
    `did`             UInt32,
    `lid`             UInt32,
    `vid`             UInt32,
    `deviceId`        String,
    `busiId`          String,
    `sport`           UInt16,
    `dport`           UInt16,
    `srcConDelayUsec` UInt32,
    `dstConDelayUsec` UInt32,
    `begintime`       UInt64,
    `endtime`         UInt64,
    `bytes`           UInt32,
    `response`        Int32,
    `sql`             String,
    `resp`            Int32,
    `err`             String,
    `dbname`          String,
    `user`            String,
    `srcDelayUsec`    Float64,
    `dstDelayUsec`    Float64,
    `host`            String
) ENGINE = MergeTree() PARTITION BY toYYYYMMDD(time) ORDER BY (toStartOfHour(time), dst, time);

-- TLS handshakes (type 7).
CREATE TABLE IF NOT EXISTS tls (
    `type`            UInt8,
    `time`            DateTime,
    `process`         String,
    `cpu`             Float64,
    `mem`             String,
    `strBegintime`    String,
    `src`             String,
    `dst`             String,
    `did`             UInt32,
    `lid`             UInt32,
    `vid`             UInt32,
    `deviceId`        String,
    `busiId`          String,
    `sport`           UInt16,
    `dport`           UInt16,
    `srcConDelayUsec` UInt32,
    `dstConDelayUsec` UInt32,
    `begintime`       UInt64,
    `endtime`         UInt64,
    `bytes`           UInt32,
    `response`        Int32,
    `sni`             String,
    `version`         String,
    `cipher`          String,
    `alpn`            String,
    `ja3`             String,
    `ja3s`            String,
    `certSubject`     String,
    `certIssuer`      String,
    `certNotAfter`    String,
    `alert`           String,
    `setup`           Int32,
    `host`            String
) ENGINE = MergeTree() PARTITION BY toYYYYMMDD(time) ORDER BY (toStartOfHour(time), dst, time);

-- Distributed tables over a cluster: one more table a family on every server,
-- reading the tables above on all the cluster's shards and spreading inserts
-- over them. The cluster must first be in each server's remote_servers, named
-- wirelane here (see README.md). To create them, run these lines without their
-- leading "-- " through clickhouse-client on each server:
--
-- CREATE TABLE IF NOT EXISTS pairs_all AS pairs ENGINE = Distributed(wirelane, currentDatabase(), pairs, rand())
-- CREATE TABLE IF NOT EXISTS http_all AS http ENGINE = Distributed(wirelane, currentDatabase(), http, rand())
-- CREATE TABLE IF NOT EXISTS db_all AS db ENGINE = Distributed(wirelane, currentDatabase(), db, rand())
-- CREATE TABLE IF NOT EXISTS tls_all AS tls ENGINE = Distributed(wirelane, currentDatabase(), tls, rand())
