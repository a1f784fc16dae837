// The endpoint filter of a query or a playback, typed as one of five forms:
// an address, address:port ([address]:port for IPv6), a port, low-high or a
// comma-separated list of addresses; IPv4 and IPv6 alike. Each address form
// is tested on the source and the destination address, the port on the
// source and destination port, and address:port on the pair of one side.
#pragma once

#include <cstddef>

#include "core/global_define.h"
#include "core/ipaddr.h"

enum WX_QUERY_MODE {
    WX_QUERY_NONE = 0,
    WX_QUERY_IP = 1,
    WX_QUERY_PORT = 2,
    WX_QUERY_IP_PORT = 3,
    WX_QUERY_IP_PERIOD = 4,
    WX_QUERY_IP_LIST = 5,
};

constexpr int FILTER_MAX_ADDR = 64;

struct EndpointFilterT {
    int mode = WX_QUERY_NONE;
    int addrLen = 0;
    IpAddrT addr[FILTER_MAX_ADDR] = {};
    int port = 0;
    // The range, inclusive, as 128-bit numbers: both ends of one family, and
    // only addresses of that family pass.
    IpAddrT low {}, high {};
};

// What parseFilter finds wrong.
// A character other than digits and . : , -, where hexadecimal letters and
// brackets count only inside an IPv6 form: letters in an address that holds a
// colon, brackets as "[address]" at the start.
constexpr int FILTER_BAD_CHAR = -1;
constexpr int FILTER_BAD_FORM = -2;  // not one of the five forms, or a bad address or port

// Reads text (empty: no filter) into out; 0, FILTER_BAD_CHAR or FILTER_BAD_FORM.
int parseFilter(const char* text, EndpointFilterT* out);
// What is wrong with a text parseFilter refused with rc, as the end of a
// sentence that starts with the text: "holds ...", "is not ...".
const char* filterFault(int rc);

// One side of a conversation; port -1 when the packet has none to show.
struct EndpointT {
    IpAddrT addr;
    int port;
};
bool filterPasses(const EndpointFilterT& f, EndpointT src, EndpointT dst);

// "YYYY-MM-DD HH:MM:SS" as local time, or whole seconds since 1970, into
// seconds; false when it is neither.
bool parseTimeArg(const char* text, long long* seconds);
