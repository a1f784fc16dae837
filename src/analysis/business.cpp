#include "analysis/business.h"

// The HTTP and database parsers plug in here; until then a payload starts
// and finishes no transaction.
void processBusiness(NetSessionT*, u32, int, int, const timeval&, const u8*, int, NetSessionT*, int) {}
