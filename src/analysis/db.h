// Database transaction analysis (Oracle, MySQL, SQL Server). The parsers are
// pure functions of the payload bytes into fixed buffers.
#pragma once

#include <sys/time.h>

#include "core/global_define.h"

void processDbReq(NetSessionT* session, u32 seq, int type, const timeval& ts, const u8* payload, int payloadLen,
                  NetSessionT* oneSession);
// Statement text into sql (1024 bytes); sets *real to 1 when the leading
// keyword's partner is present, never clears it.
void getStrSql(char* sql, const u8* payload, int payloadLen, int* real);
void getSqlserverSql(char* sql, const u8* payload, int payloadLen, int* real);
// Error code and text (errMess, 128 bytes) of a response frame; both stay as
// they are when the frame carries no error.
void getOracleCode(int* code, char* errMess, const u8* payload, int payloadLen);
void getMysqlCode(int* code, char* errMess, const u8* payload, int payloadLen);
void getSqlserverCode(int* code, char* errMess, const u8* payload, int payloadLen);
// 1 when the frame is an Oracle connect request with "USER=" (user, 32 bytes,
// may then be set), else 0.
int getOracleUser(char* user, const u8* payload, int payloadLen);
// The first response frame after request data: the database changes that the
// server confirms (SQL Server ENVCHANGE, the OK to a MySQL schema request).
void processDbRes(NetSessionT* session, int type, const u8* payload, int payloadLen);
