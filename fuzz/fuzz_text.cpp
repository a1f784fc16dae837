// Arbitrary text through endpoint forms, the adapter report, string helpers, query filters, times and stored records.
#include <cstdint>
#include <cstring>

#include "capture/engine.h"
#include "core/util.h"
#include "retrieval/json_query.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const char* raw = reinterpret_cast<const char*>(data);
    char text[9000], copy[9000], out[256];
    const std::size_t n = size < sizeof text - 1 ? size : sizeof text - 1;
    std::memcpy(text, data, n);
    text[n] = 0;
    // A fresh copy for each helper that writes into its argument.
    auto fresh = [&] { return static_cast<char*>(std::memcpy(copy, text, n + 1)); };

    HostInfoT h;
    makeHostInfo(&h, text, static_cast<int>(size % NUM_PROTO), text);
    u32 low = 0, high = 0;
    getSubnet(fresh(), &low, &high);
    checkPortStr(text);
    getPortFromStr(text);
    CardInfoT cards[MAX_CARD];
    parseAdapterReport(raw, static_cast<int>(size), cards, MAX_CARD);
    trim(fresh());
    isNumber(fresh());
    getDomainFromUrl(fresh(), out, sizeof out);
    getJsonValue(text, out, sizeof out);

    JsonQueryT q;
    q.end = 1LL << 40;
    parseFilter(text, &q.filter);
    filterJson(q, raw, size);
    long long seconds;
    parseTimeArg(text, &seconds);
    static JsonFieldT fields[80];
    static char values[9000];
    CommMsgT rec;
    const int fieldCount = parseJsonStr(raw, size, fields, 80, values, sizeof values);
    if (fieldCount >= 0) fillCommFromJson(&rec, fields, fieldCount);
    return 0;
}
