// What each protocol of the endpoint table is, and what each application a
// session can carry is: one row each, so that a protocol is added in one
// place rather than in every module that names it.
#pragma once

// The endpoint table's protocols, by their index in the configuration and
// the "Analysis settings" combo. appType is what the endpoint's sessions
// carry (an application below, or 99, 6, 17 for the transports alone);
// netType the transport it takes (99 both).
struct ProtocolT {
    const char* name;
    int port;  // default port, 0 any
    int appType;
    int netType;
};
constexpr int NUM_PROTO = 9;
extern const ProtocolT protocols[NUM_PROTO];

// Session types, the applications a connection is read as.
constexpr int APP_HTTP = 1;
constexpr int APP_ORACLE = 2;
constexpr int APP_MYSQL = 3;
constexpr int APP_SQLSERVER = 4;
constexpr int APP_TLS = 7;  // a connection that began with a TLS handshake
constexpr int APP_POSTGRESQL = 8;
constexpr int APP_REDIS = 9;

struct ApplicationT {
    const char* name;  // the list's Protocol cell
    int jsonType;      // "type" of its transaction records
    bool database;     // read as statements and results
};
// The row of a session type; nullptr for none (0, or a transport's 99, 6, 17).
const ApplicationT* applicationOf(int type);
// Whether an endpoint's sessions are read as an application by their
// endpoint alone (a TLS connection is recognised by its bytes instead).
inline bool isEndpointApp(int type)
{
    return (type >= APP_HTTP && type <= APP_SQLSERVER) || type == APP_POSTGRESQL || type == APP_REDIS;
}
// Whether a session type's requests may be answered out of step with them
// (pipelined, or a prepared statement run later): its statements wait in
// slots of their own (analysis/statements.h) until answered.
inline bool isPipelinedApp(int type) { return type == APP_POSTGRESQL || type == APP_REDIS; }
