// HTTP transaction analysis. The parsers are pure functions of the payload
// bytes; processHttpReq drives a session's transaction.
#pragma once

#include <sys/time.h>

#include "core/global_define.h"

void processHttpReq(NetSessionT* session, const timeval& ts, const u8* payload, int payloadLen,
                    NetSessionT* oneSession, int prev);
// 1 when the payload starts a request; fills url (256), method (8), domain
// (32), contentType (64) and agent (64).
int isReqStart(const u8* str, int strLen, char* url, char* method, char* domain, char* contentType, char* agent);
// 1 GET, 2 POST, 3 HEAD at the start of str (strLen bytes), with the name in
// method (8 bytes); else 0.
int getMethod(const u8* str, int strLen, char* method);
// Host, Content-Type and User-Agent from the header block at str (a
// NUL-terminated text).
void getHttpFeature(const char* str, char* domain, char* contentType, char* agent);
// 1 when an "X-Forwarded-For: " line ended by CRLF was found; forward is set
// when its last hop is an IPv4 or IPv6 address.
int getForward(const u8* str, int strLen, IpAddrT* forward);
// 1 and the status code when the payload begins with an HTTP status line.
int isResStart(const u8* str, int strLen, int* code);
