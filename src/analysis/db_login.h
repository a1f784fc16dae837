// Who works on a database session and in which database: read from the
// client's login and from the requests and answers that change the database.
// Pure parsers of the payload bytes; the names (user and dbname, 32 bytes
// each) come out as UTF-8, cut to the field at a character boundary, and are
// left as they are when the frame does not hold them whole. No password field
// is ever read.
#pragma once

#include "core/global_define.h"

// A MySQL HandshakeResponse, the 4.1 form or the older one: the user, and the
// schema when the client names one. 1 when the frame is such a login, else 0.
int getMysqlLogin(char* user, char* dbname, const u8* payload, int payloadLen);
// The schema a COM_INIT_DB or a "USE name" query asks for (into name, 32
// bytes): 1 when the frame is one of them, else 0.
int getMysqlSchemaRequest(char* name, const u8* payload, int payloadLen);
// 1 when the frame begins with a MySQL OK packet.
int isMysqlOk(const u8* payload, int payloadLen);
// A SQL Server Login7 message: the user and the database it names. 1 when the
// frame is a Login7, else 0.
int getSqlServerUser(char* user, char* dbname, const u8* payload, int payloadLen);
// The database named by the last database ENVCHANGE token of a server
// response: 1 when there is one, else 0.
int getSqlServerDbChange(char* dbname, const u8* payload, int payloadLen);
// SERVICE_NAME= or SID= of an Oracle connect descriptor, searched from offset
// 58 as the user: 1 when dbname was set, else 0.
int getOracleDb(char* dbname, const u8* payload, int payloadLen);
