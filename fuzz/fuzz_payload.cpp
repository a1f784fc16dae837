// Arbitrary TCP payloads through the transaction parsers, and through one
// session's transaction as a sequence of frames. The first input byte gives
// the number of frames, the second their directions; each frame is copied
// into a block of exactly its length, so that a read past it is caught.
#include <cstdint>
#include <cstring>
#include <vector>

#include "analysis/db.h"
#include "analysis/http.h"
#include "analysis/transaction.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const int len = static_cast<int>(size);
    char url[256], method[8], domain[32], contentType[64], agent[64];
    isReqStart(data, len, url, method, domain, contentType, agent);
    u32 forward = 0;
    getForward(data, len, &forward);
    int code = 0;
    isResStart(data, len, &code);

    char sql[1024] = "";
    char errMess[128] = "";
    char user[32] = "";
    int real = 0;
    getStrSql(sql, data, len, &real);
    getSqlserverSql(sql, data, len, &real);
    getOracleCode(&code, errMess, data, len);
    getMysqlCode(&code, errMess, data, len);
    getSqlserverCode(&code, errMess, data, len);
    getOracleUser(user, data, len);

    if (size < 2) return 0;
    const int frames = data[0] % 8 + 1;
    const unsigned directions = data[1];
    const std::uint8_t* rest = data + 2;
    const std::size_t restLen = size - 2;

    NetSessionT session;
    std::memset(static_cast<void*>(&session), 0, sizeof session);
    session.valid = 1;
    session.type = 1;
    // The same frames through a database session: Oracle, MySQL or SQL Server.
    NetSessionT db = session;
    db.type = 2 + data[0] / 8 % 3;
    NetSessionT one;
    for (int k = 0; k < frames; ++k) {
        const std::size_t from = restLen * k / frames, to = restLen * (k + 1) / frames;
        std::vector<std::uint8_t> frame(rest + from, rest + to);
        const int direction = (directions >> k & 1) != 0 ? 2 : 1;
        const int prev = session.lastDirection;
        session.lastDirection = direction;
        const timeval ts = {1700000000 + k, 0};
        processBusiness(&session, 0, 1, direction, ts, frame.empty() ? nullptr : frame.data(),
                        static_cast<int>(frame.size()), &one, prev);
        const int dbPrev = db.lastDirection;
        db.lastDirection = direction;
        processBusiness(&db, 0, db.type, direction, ts, frame.empty() ? nullptr : frame.data(),
                        static_cast<int>(frame.size()), &one, dbPrev);
    }
    return 0;
}
