// Transaction analysis of payloads (HTTP and the database protocols).
#pragma once

#include <sys/time.h>

#include "core/global_define.h"

// Analyses one payload packet of a session (its bucket locked). prev is the
// direction of the previous payload packet. When a transaction finishes, a
// copy of the session is left in oneSession with valid 1, for export once the
// bucket is released.
void processBusiness(NetSessionT* session, u32 seq, int type, int direction, const timeval& ts,
                     const u8* payload, int payloadLen, NetSessionT* oneSession, int prev);
