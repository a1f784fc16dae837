// Arbitrary text through the parsers of user and system text: endpoint
// forms, the adapter report, the string helpers, and what the stores give
// back: query filters, times and stored record lines.
#include <cstdint>
#include <cstring>

#include "capture/engine.h"
#include "core/util.h"
#include "retrieval/json_query.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    char text[9000];
    std::size_t n = size < sizeof text - 1 ? size : sizeof text - 1;
    std::memcpy(text, data, n);
    text[n] = 0;

    HostInfoT h;
    makeHostInfo(&h, text, static_cast<int>(size % NUM_PROTO), text);
    u32 low = 0, high = 0;
    char copy[9000];
    std::memcpy(copy, text, n + 1);
    getSubnet(copy, &low, &high);
    checkPortStr(text);
    getPortFromStr(text);

    CardInfoT cards[MAX_CARD];
    parseAdapterReport(reinterpret_cast<const char*>(data), static_cast<int>(size), cards, MAX_CARD);

    std::memcpy(copy, text, n + 1);
    trim(copy);
    std::memcpy(copy, text, n + 1);
    isNumber(copy);
    char out[256];
    std::memcpy(copy, text, n + 1);
    getDomainFromUrl(copy, out, sizeof out);
    getJsonValue(text, out, sizeof out);

    EndpointFilterT filter;
    parseFilter(text, &filter);
    long long seconds;
    parseTimeArg(text, &seconds);
    static JsonFieldT fields[80];
    static char values[9000];
    int fieldCount = parseJsonStr(reinterpret_cast<const char*>(data), size, fields, 80, values, sizeof values);
    if (fieldCount >= 0) {
        CommMsgT rec;
        fillCommFromJson(&rec, fields, fieldCount);
    }
    JsonQueryT q;
    q.end = 1LL << 40;
    q.filter = filter;
    filterJson(q, reinterpret_cast<const char*>(data), size);
    return 0;
}
