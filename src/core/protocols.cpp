#include "core/protocols.h"

const ProtocolT protocols[NUM_PROTO] = {
    {"TCP & UDP", 0, 99, 99},        {"TCP", 0, 6, 6},
    {"UDP", 0, 17, 17},              {"HTTP", 80, APP_HTTP, 6},
    {"ORACLE", 1521, APP_ORACLE, 6}, {"MYSQL", 3306, APP_MYSQL, 6},
    {"SQLSERVER", 1433, APP_SQLSERVER, 6}, {"POSTGRESQL", 5432, APP_POSTGRESQL, 6},
    {"REDIS", 6379, APP_REDIS, 6},
};

namespace {

struct ApplicationRowT {
    int type;
    ApplicationT app;
};
constexpr ApplicationRowT applications[] = {
    {APP_HTTP, {"HTTP", 2, false}},           {APP_ORACLE, {"ORACLE", 4, true}}, {APP_MYSQL, {"MYSQL", 5, true}},
    {APP_SQLSERVER, {"SQLSERVER", 6, true}}, {APP_TLS, {"TLS", 7, false}},
    {APP_POSTGRESQL, {"POSTGRESQL", 8, true}}, {APP_REDIS, {"REDIS", 9, true}},
};

}  // namespace

const ApplicationT* applicationOf(int type)
{
    for (const ApplicationRowT& row : applications)
        if (row.type == type) return &row.app;
    return nullptr;
}
