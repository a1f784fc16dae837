// Arbitrary frames through the early filter, the ring and the decoder, with endpoints set
// so that their lookups run too; and through the playback's frame test.
#include <cstdint>
#include <vector>

#include "capture/pipeline.h"
#include "capture/ring.h"
#include "core/util.h"
#include "decode/decode.h"
#include "retrieval/pkt_play.h"

static bool setUp()
{
    connectStages();
    init_packet();
    globalValue.hashTable = new HashTableT();
    readOnlyGlobal.runFlag = readOnlyGlobal.checkHttp = 1;
    const char* endpoints[] = {"10.0.0.0/8", "192.168.1.12:80", "172.16.0.1-172.16.0.9", "2001:db8::/32",
                               "[2001:db8::1-2001:db8::ff]:80"};
    for (int i = 0; i < 5; i++) {
        HostInfoT h;
        if (makeHostInfo(&h, endpoints[i], i * 2 % 7, "00000001") == 0) addNewHostInfo(&h);
    }
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static bool ready = setUp();
    if (!ready || size > 65536) return 0;
    const auto n = static_cast<bpf_u_int32>(size);
    pcap_pkthdr h {{1000 + (size > 1 ? data[1] % 4 : 0), 0}, n, n};
    // Whole, in a buffer of exactly its size and the zero byte that follows.
    std::vector<std::uint8_t> copy(data, data + size);
    copy.push_back(0);
    processPacket(&h, copy.data());
    readOnlyGlobal.maxLength = size > 0 ? data[0] * 16 : 0;
    if (packet_write(&h, data) == 0) {
        while (PacketBuffer* slot = packet_peek()) {
            if (slot->hdr.caplen > SLOT_DATA) __builtin_trap();
            processPacket(&slot->hdr, slot->udata);
            packet_release();
        }
    }
    // The playback's test of a stored frame, on every filter form, exactly sized.
    static const char* const filters[] = {"10.0.0.1", "80", "10.0.0.1:80", "10.0.0.0-10.255.255.255", "1.1.1.1,10.0.0.2",
                                          "2001:db8::1", "[2001:db8::1]:80", "2001:db8::-2001:db8::ffff", "::1,10.0.0.2"};
    PlayQueryT q;
    q.end = 2000;
    parseFilter(filters[size % 9], &q.filter);
    const std::vector<std::uint8_t> exact(data, data + size);
    checkPkt(q, {1000, 0, n, n}, exact.data());
    return 0;
}
