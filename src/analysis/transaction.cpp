#include "analysis/transaction.h"

#include <cstring>

#include "analysis/db.h"
#include "analysis/http.h"
#include "analysis/session.h"
#include "analysis/tls.h"

namespace {

// The databases whose statements db.cpp reads.
bool isDb(int type) { return type >= APP_ORACLE && type <= APP_SQLSERVER; }

}  // namespace

void processBusiness(NetSessionT* session, u32 seq, int type, int direction, const timeval& ts,
                     const u8* payload, int payloadLen, NetSessionT* oneSession, int prev)
{
    oneSession->valid = 0;
    if (type == APP_TLS) {
        // The handshake's record goes out once, when it completes.
        if (session->tlsReported == 0 && tlsFeed(&session->busi.tls, direction, seq, ts, payload, payloadLen)) {
            std::memcpy(static_cast<void*>(oneSession), session, sizeof *session);
            oneSession->valid = 1;
            session->tlsReported = 1;
        }
        session->lastDirection = direction;
        return;
    }
    if (direction == 1) {
        if (type == APP_HTTP)
            processHttpReq(session, ts, payload, payloadLen, oneSession, prev);
        else if (isDb(type))
            processDbReq(session, seq, type, ts, payload, payloadLen, oneSession);
        session->lastReqTime = ts;
    } else if (direction == 2) {
        // Only the first response frame after the statement carries its
        // result: once the server has answered, a later answer (to a request
        // without a statement) is not the statement's.
        if (prev == 1 && session->resp == 0) {
            DbSessionT& db = session->busi.db;
            if (type == APP_ORACLE) {
                getOracleCode(&db.retcode, db.errMess, payload, payloadLen);
            } else if (type == APP_MYSQL) {
                getMysqlCode(&db.retcode, db.errMess, payload, payloadLen);
            } else if (type == APP_SQLSERVER) {
                getSqlserverCode(&db.retcode, db.errMess, payload, payloadLen);
            }
        }
        // A change of database answers any request, a statement or not.
        if (prev == 1 && isDb(type)) processDbRes(session, type, payload, payloadLen);
        if (type == APP_HTTP) {
            HttpSessionT& http = session->busi.http;
            const int usec = timevalDiffUsec(ts, session->lastReqTime);
            if (prev == 1) http.response = usec;
            http.pageload = usec;
            // An interim status (1xx) gives way to the next status line.
            if (http.retcode > 599 || http.retcode < 200) isResStart(payload, payloadLen, &http.retcode);
        }
        if (type == APP_HTTP || isDb(type)) session->resp = 1;
    }
    if (type == APP_HTTP)
        session->busi.http.endTime = ts;
    else if (isDb(type))
        session->busi.db.endTime = ts;
    session->lastDirection = direction;
}
