// Arbitrary TCP payloads through the transaction parsers, and as frames (count from the
// first byte, directions from the second, each in a block of its size) through a session,
// the TLS handshake reader, and PostgreSQL and Redis sessions with their statements.
#include <cstdint>
#include <cstring>
#include <vector>

#include "analysis/db.h"
#include "analysis/db_login.h"
#include "analysis/http.h"
#include "analysis/statements.h"
#include "analysis/tls.h"
#include "analysis/transaction.h"
#include "core/protocols.h"

namespace {

// Every record's texts read whole, so that one left unended or past its
// buffer shows.
std::size_t touched;
void touchRecord(NetSessionT* r)
{
    const DbSessionT& d = r->busi.db;
    touched += std::strlen(d.sql) + std::strlen(d.errMess) + std::strlen(d.user) + std::strlen(d.dbname);
}
volatile std::size_t lastTouched;  // kept, so that the reads are not optimised away

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const int len = static_cast<int>(size);
    char url[256], method[8], domain[32], contentType[64], agent[64], sql[1024] = "", errMess[128] = "", user[32] = "";
    isReqStart(data, len, url, method, domain, contentType, agent);
    IpAddrT forward {};
    getForward(data, len, &forward);
    int code = 0, real = 0;
    isResStart(data, len, &code);
    getStrSql(sql, data, len, &real);
    getSqlserverSql(sql, data, len, &real);
    getOracleCode(&code, errMess, data, len);
    getMysqlCode(&code, errMess, data, len);
    getSqlserverCode(&code, errMess, data, len);
    getOracleUser(user, data, len);
    char dbname[32] = "";
    getOracleDb(dbname, data, len);
    getMysqlLogin(user, dbname, data, len);
    getMysqlSchemaRequest(dbname, data, len);
    isMysqlOk(data, len);
    getSqlServerUser(user, dbname, data, len);
    getSqlServerDbChange(dbname, data, len);
    if (size < 2) return 0;

    // An HTTP session and a database one (Oracle, MySQL or SQL Server) take the same frames.
    NetSessionT sessions[2], one;
    std::memset(static_cast<void*>(sessions), 0, sizeof sessions);
    sessions[0].valid = sessions[1].valid = sessions[0].type = 1;
    sessions[1].type = 2 + data[0] / 8 % 3;
    const int frames = data[0] % 8 + 1;
    const std::size_t restLen = size - 2;
    TlsStateT tls;
    std::memset(&tls, 0, sizeof tls);
    tlsInit(&tls);
    // A PostgreSQL and a Redis session, readers and statements, each record read.
    NetSessionT statements[2];
    std::memset(static_cast<void*>(statements), 0, sizeof statements);
    statements[0].type = APP_POSTGRESQL;
    statements[1].type = APP_REDIS;
    u32 seq[3] = {0, 1, 7};
    for (int k = 0; k < frames; ++k) {
        std::vector<std::uint8_t> frame(data + 2 + restLen * k / frames, data + 2 + restLen * (k + 1) / frames);
        const int direction = (data[1] >> k & 1) != 0 ? 2 : 1;
        const int len = static_cast<int>(frame.size());
        tlsStarts(frame.empty() ? nullptr : frame.data(), len);
        // In order, but for a frame the top bit of the first byte sends a little ahead.
        const u32 at = seq[direction] + (k == 3 && (data[0] & 0x80) != 0 ? 5 : 0);
        tlsFeed(&tls, direction, at, {k, 0}, frame.empty() ? nullptr : frame.data(), len);
        // The second frame, for bit 6, as cut short by the capture: 100 bytes more on the wire.
        const int wireLen = len + (k == 1 && (data[0] & 0x40) != 0 ? 100 : 0);
        for (NetSessionT& s : statements) {
            statementStep(&s, direction, at, {k, 0}, frame.empty() ? nullptr : frame.data(), len, wireLen, len);
            sendAnswered(touchRecord);
        }
        seq[direction] = at + static_cast<u32>(wireLen);
        for (NetSessionT& s : sessions) {
            const int prev = s.lastDirection;
            s.lastDirection = direction;
            processBusiness(&s, 0, s.type, direction, {1700000000 + k, 0}, frame.empty() ? nullptr : frame.data(),
                            static_cast<int>(frame.size()), &one, prev);
        }
    }
    for (NetSessionT& s : statements) endStatements(&s, touchRecord);
    lastTouched = touched;
    return 0;
}
