#include "retrieval/pkt_play.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "core/util.h"
#include "decode/frame_view.h"

namespace {

constexpr std::size_t READ_BLOCK = 1 << 20;   // bytes read from a store file at once
constexpr std::size_t WRITE_BLOCK = 1 << 20;  // bytes of the output file buffered
constexpr u8 VXLAN_HEADER[8] = {0x08, 0, 0, 0, 0x00, 0x00, 0xC8, 0};

u32 le32(const u8* p) { return u32(p[0]) | u32(p[1]) << 8 | u32(p[2]) << 16 | u32(p[3]) << 24; }

void putLe32(u8* p, u32 v)
{
    for (int i = 0; i < 4; i++) p[i] = static_cast<u8>(v >> (8 * i));
}

// Reads the records of a pcap store file in big blocks: each whole record
// (header and frame bytes) in turn, none longer than PLAY_FRAME_MAX.
class RecordReader {
public:
    explicit RecordReader(const char* path) : path_(path)
    {
        fd_ = open(path, O_RDONLY | O_CLOEXEC);
        if (fd_ >= 0) posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    ~RecordReader()
    {
        if (fd_ >= 0) close(fd_);
    }
    RecordReader(const RecordReader&) = delete;
    RecordReader& operator=(const RecordReader&) = delete;
    bool opened() const { return fd_ >= 0; }

    // The next record; false at the end of the file, at a short record, or
    // at a header of zeros (the unwritten rest of a store file).
    bool next(ptcs_pkthdr& h, const u8*& data)
    {
        for (;;) {
            if (!fill(sizeof h)) return false;
            const u8* p = buf_.get() + at_;
            h = {le32(p), le32(p + 4), le32(p + 8), le32(p + 12)};
            if (h.tv_sec == 0 && h.caplen == 0) return false;
            if (h.caplen > static_cast<u32>(PLAY_FRAME_MAX)) {
                // Not a frame the store writes: passed over, never copied.
                writeLog(2, "pcap file %s: a record of %u bytes is skipped", path_.c_str(), h.caplen);
                if (!skip(sizeof h + static_cast<std::size_t>(h.caplen))) return false;
                continue;
            }
            if (!fill(sizeof h + h.caplen)) return false;
            data = buf_.get() + at_ + sizeof h;
            at_ += sizeof h + h.caplen;
            return true;
        }
    }
    // Skips n bytes from the current position; false when the file ends first.
    bool skip(std::size_t n)
    {
        while (n > 0) {
            if (!fill(1)) return false;
            std::size_t step = std::min(n, have_ - at_);
            at_ += step;
            n -= step;
        }
        return true;
    }

private:
    // At least n bytes from at_ in the buffer; false when the file ends first.
    bool fill(std::size_t n)
    {
        if (have_ - at_ >= n) return true;
        std::memmove(buf_.get(), buf_.get() + at_, have_ - at_);
        have_ -= at_;
        at_ = 0;
        while (have_ < n) {
            ssize_t got = read(fd_, buf_.get() + have_, READ_BLOCK - have_);
            if (got <= 0) return false;
            have_ += static_cast<std::size_t>(got);
        }
        return true;
    }

    const std::string path_;  // a copy: a replay thread outlives its caller's text
    int fd_ = -1;
    std::unique_ptr<u8[]> buf_ {new u8[READ_BLOCK]};
    std::size_t at_ = 0, have_ = 0;
};

// One IP layer of a frame: the two ends (ports -1 when there are none)
// and where its payload lies.
struct LayerT {
    EndpointT src, dst;
    int proto;
    long payload;  // offset in the view, -1 when it carries none
};

// Ports, and the payload of UDP and GRE, from the transport header at th;
// none unless first (an unfragmented packet or a first fragment).
void transport(const FrameView& f, long th, bool first, LayerT& l)
{
    l.src.port = l.dst.port = -1;
    l.payload = -1;
    if (!first) return;
    if ((l.proto == 6 || l.proto == 17) && f.has(th, 4)) {
        l.src.port = f.be16(th);
        l.dst.port = f.be16(th + 2);
    }
    if (l.proto == 17 && f.has(th, 8)) l.payload = th + 8;
    if (l.proto == 47) l.payload = th;
}

// The IPv4 header at ip, or false.
bool ipv4Layer(const FrameView& f, long ip, LayerT& l)
{
    if (!f.has(ip, 20) || (f.u8(ip) >> 4) != 4) return false;
    int ihl = (f.u8(ip) & 0x0F) * 4;
    if (ihl < 20) return false;
    l.proto = f.u8(ip + 9);
    l.src.addr = ipFromV4(f.be32(ip + 12));
    l.dst.addr = ipFromV4(f.be32(ip + 16));
    transport(f, ip + ihl, (f.be16(ip + 6) & 0x1FFF) == 0, l);
    return true;
}

// The IPv6 header at ip and its extension headers, walked as the decoder
// walks them, or false. A chain cut short or too long leaves the layer its
// addresses and no ports.
bool ipv6Layer(const FrameView& f, long ip, LayerT& l)
{
    if (!f.has(ip, 40) || (f.u8(ip) >> 4) != 6) return false;
    f.copy(ip + 8, l.src.addr.b, sizeof l.src.addr.b);
    f.copy(ip + 24, l.dst.addr.b, sizeof l.dst.addr.b);
    Ipv6ChainT c;
    const bool whole = walkIpv6(f, ip, c);
    l.proto = whole ? c.proto : -1;
    transport(f, c.th, whole && !c.later, l);
    return true;
}

// The IP header of an Ethernet frame behind up to two 802.1Q tags, or -1;
// v6 tells the family. The frame inside VXLAN may instead carry it behind
// one or two MPLS labels (two unless the first is the bottom of the stack),
// as the decoder reads it; there the version tells the family.
long ethernetIp(const FrameView& f, bool mpls, bool& v6)
{
    long off = 12;
    for (int tags = 0; tags < 2 && f.be16(off) == 0x8100; tags++) off += 4;
    if (mpls && f.be16(off) == 0x8847) {
        long ip = off + 2 + ((f.u8(off + 4) & 0x01) ? 4 : 8);
        v6 = (f.u8(ip) >> 4) == 6;
        return ip;
    }
    v6 = f.be16(off) == 0x86DD;
    return v6 || f.be16(off) == 0x0800 ? off + 2 : -1;
}

bool ipLayer(const FrameView& f, long ip, bool v6, LayerT& l) { return v6 ? ipv6Layer(f, ip, l) : ipv4Layer(f, ip, l); }

bool layerPasses(const EndpointFilterT& filter, const LayerT& l) { return filterPasses(filter, l.src, l.dst); }

template <std::size_t N>
bool writeAll(FILE* out, const u8 (&buf)[N])
{
    return std::fwrite(buf, 1, N, out) == N;
}

}  // namespace

long long getPktFileStime(const char* path)
{
    // Only the file header and the first record header are read: the store
    // is listed file by file each time the playback dialog opens.
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        writeLog(3, "Open pcap file %s error", path);
        return 0;
    }
    u8 head[PCAP_FILE_HEADER_SIZE + sizeof(ptcs_pkthdr)];
    ssize_t got = pread(fd, head, sizeof head, 0);
    close(fd);
    if (got != static_cast<ssize_t>(sizeof head)) {
        writeLog(3, "Read pcap file %s error %d", path, 0);
        return 0;
    }
    return le32(head + PCAP_FILE_HEADER_SIZE);
}

bool checkPkt(const PlayQueryT& q, const ptcs_pkthdr& h, const u8* data)
{
    if (h.tv_sec < q.start || h.tv_sec > q.end) return false;
    if (q.filter.mode == WX_QUERY_NONE) return true;
    FrameView f(data, h.caplen);
    LayerT l;
    bool v6 = false;
    long ip = ethernetIp(f, false, v6);
    if (!ipLayer(f, ip, v6, l)) return false;
    if (layerPasses(q.filter, l)) return true;
    // A tunnel: the conversation the records show is the inner one. VXLAN
    // is known by its flags, whatever the ports.
    if (l.proto == 17 && f.has(l.payload, 2) && f.u8(l.payload) == 0x08 && f.u8(l.payload + 1) == 0x00) {
        FrameView eth = f.from(l.payload + 8);
        ip = ethernetIp(eth, true, v6);
        return ipLayer(eth, ip, v6, l) && layerPasses(q.filter, l);
    }
    // GRE, unwrapped like the decoder does: one more level when the inner
    // packet is GRE again, no further.
    for (int level = 0; level < 2 && l.proto == 47 && l.payload >= 0; level++) {
        ip = skipGreHeaders(f, l.payload, &v6);
        if (!ipLayer(f, ip, v6, l)) return false;
        if (layerPasses(q.filter, l)) return true;
    }
    return false;
}

long readPktFile(const char* path, const PlayQueryT& q, FILE* out)
{
    RecordReader r(path);
    if (!r.opened()) {
        writeLog(3, "Open pcap file %s error", path);
        return 0;
    }
    if (!r.skip(PCAP_FILE_HEADER_SIZE)) return 0;
    long count = 0;
    ptcs_pkthdr h;
    const u8* data;
    while (r.next(h, data)) {
        if (!checkPkt(q, h, data)) continue;
        if (q.trunLen != 0 && h.caplen > q.trunLen) h.caplen = h.len = q.trunLen;
        u8 head[sizeof h];
        putLe32(head, h.tv_sec);
        putLe32(head + 4, h.tv_usec);
        putLe32(head + 8, h.caplen);
        putLe32(head + 12, h.len);
        if (!writeAll(out, head) || std::fwrite(data, 1, h.caplen, out) != h.caplen) return -1;
        count++;
    }
    return count;
}

long playStore(const std::vector<StoreFileT>& files, const PlayQueryT& q, const char* outPath,
               void (*progress)(int done, int total, void* ctx), void* ctx)
{
    // Written beside and renamed: a replay still sending the previous file
    // keeps reading its own.
    const std::string tmp = std::string(outPath) + ".part";
    FILE* out = std::fopen(tmp.c_str(), "wb");
    if (out == nullptr) {
        writeLog(3, "Open pcap file %s error", outPath);
        return -1;
    }
    std::unique_ptr<char[]> outBuffer(new char[WRITE_BLOCK]);  // outlives out, closed below
    std::setvbuf(out, outBuffer.get(), _IOFBF, WRITE_BLOCK);
    u8 header[PCAP_FILE_HEADER_SIZE];
    makeHeaderBuf(header);
    long total = writeAll(out, header) ? 0 : -1;
    if (total < 0) writeLog(3, "Write pcap hdr to %s error", outPath);
    int done = 0, count = static_cast<int>(files.size());
    for (const StoreFileT& f : files) {
        if (total < 0) break;
        if (periodMeets(f, q.start, q.end, true)) {
            long n = readPktFile(f.path.c_str(), q, out);
            if (n < 0) {
                writeLog(3, "Write pcap file %s error: %s", outPath, std::strerror(errno));
                total = -1;
                break;
            }
            total += n;
            writeLog(1, "Read %s packet %ld", f.name.c_str(), n);
        }
        if (progress != nullptr) progress(++done, count, ctx);
    }
    if (std::fclose(out) != 0 && total >= 0) {
        writeLog(3, "Write pcap file %s error: %s", outPath, std::strerror(errno));
        total = -1;
    }
    if (total >= 0 && std::rename(tmp.c_str(), outPath) != 0) {
        writeLog(3, "Rename pcap file %s to %s error: %s", tmp.c_str(), outPath, std::strerror(errno));
        total = -1;
    }
    if (total < 0) unlink(tmp.c_str());
    return total;
}

int resolveVxlanTarget(const char* text, sockaddr_storage* addr)
{
    char host[1024];
    const char* portText = nullptr;
    if (splitHostPort(text, host, sizeof host, &portText) != 0 || portText == nullptr) return -1;
    int port = getPortFromStr(portText);
    return port >= 1 && getDomainAddr(host, port, addr) == 0 ? 0 : -1;
}

std::thread startVxlanReplay(const char* path, const sockaddr_storage& target)
{
    auto reader = std::make_shared<RecordReader>(path);
    if (!reader->opened() || !reader->skip(PCAP_FILE_HEADER_SIZE)) {
        writeLog(3, "Open pcap file %s error", path);
        return {};
    }
    int sock = socket(target.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        writeLog(3, "Create play sock error");
        return {};
    }
    if (connect(sock, reinterpret_cast<const sockaddr*>(&target), sockAddrLen(target)) != 0) {
        writeLog(3, "Connect play sock error");
        close(sock);
        return {};
    }
    return std::thread([reader, sock] {
        u8 datagram[sizeof VXLAN_HEADER + PLAY_FRAME_MAX];
        std::memcpy(datagram, VXLAN_HEADER, sizeof VXLAN_HEADER);
        ptcs_pkthdr h;
        const u8* data;
        while (reader->next(h, data)) {
            std::memcpy(datagram + sizeof VXLAN_HEADER, data, h.caplen);
            // Back to back; a full socket buffer makes send wait, not drop.
            while (send(sock, datagram, sizeof VXLAN_HEADER + h.caplen, 0) < 0 && errno == EINTR) {
            }
        }
        close(sock);
    });
}

long scanPkt(const std::vector<StoreFileT>& files, const PlayQueryT& q, const char* vxlanTarget, const char* outPath,
             PlayQuestionsT& ask, std::thread* replay, void (*progress)(int done, int total, void* ctx), void* ctx)
{
    long total = playStore(files, q, outPath, progress, ctx);
    if (total < 0) return -1;
    const std::string out = outPath;
    const std::size_t slash = out.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : out.substr(0, slash);
    char text[2048];
    if (vxlanTarget == nullptr || vxlanTarget[0] == '\0') {
        std::snprintf(text, sizeof text, "Filter %lu packet save to %s, do you want open dir?",
                      static_cast<unsigned long>(total), outPath);
        if (ask.askYesNo(text)) ask.openFolder(dir.c_str());
        return total;
    }
    sockaddr_storage addr;
    if (total == 0 || resolveVxlanTarget(vxlanTarget, &addr) != 0) {
        ask.notice("Vxlan addr error");
        return total;
    }
    std::snprintf(text, sizeof text, "Filter %lu packet and save to %s, send to %s with vxlan ?",
                  static_cast<unsigned long>(total), outPath, vxlanTarget);
    if (!ask.askYesNo(text)) return total;
    std::thread t = startVxlanReplay(outPath, addr);
    if (t.joinable()) {
        if (replay != nullptr) {
            *replay = std::move(t);
        } else {
            t.detach();
        }
    }
    ask.openFolder(dir.c_str());
    return total;
}
