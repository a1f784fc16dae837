#include "app/probe_verbs.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/util.h"
#include "output/clickhouse.h"
#include "platform/platform.h"
#include "retrieval/clickhouse_query.h"
#include "retrieval/filter.h"
#include "retrieval/json_query.h"
#include "retrieval/pkt_play.h"
#include "ui/list_text.h"

const char* const verbsUsageText =
    "       wirelane-probe query [--home DIR] [--conf FILE] [--store DIR] --from TIME --to TIME [--filter TEXT]\n"
    "                            [--keyword TEXT] [--page N] [--csv FILE]\n"
    "       wirelane-probe query --clickhouse URL [--device ID] [--table NAME] --from TIME --to TIME\n"
    "                            [--filter TEXT] [--keyword TEXT] [--page N] [--csv FILE]\n"
    "       wirelane-probe play  [--home DIR] [--conf FILE] [--store DIR] --from TIME --to TIME [--filter TEXT]\n"
    "                            [--trunc N] [--out FILE] [--vxlan HOST:PORT]\n"
    "\n"
    "query prints the stored pair records of the period (from included, to\n"
    "excluded) that pass the filter and hold the keyword, one JSON line each,\n"
    "oldest file first; --page N gives page N (from 0) of 15 records only, --csv\n"
    "also writes them as CSV. With --clickhouse the same records come from the\n"
    "pairs_all table of URL's database (every shard), or pairs when it has none\n"
    "(or NAME), oldest second first; --device ID keeps one probe's records.\n"
    "play writes the stored frames of the period (both\n"
    "ends included) that pass the filter to FILE (default playout.pcap in\n"
    "the program's folder), cut to N bytes, and sends them to HOST:PORT\n"
    "over VXLAN. DIR defaults to exportPath (query) or dumpPath (play) of the\n"
    "configuration. TIME is local \"YYYY-MM-DD HH:MM:SS\" or seconds since 1970;\n"
    "TEXT is an address, address:port ([IPv6 address]:port), a port, low-high\n"
    "or a comma-separated list of addresses, IPv4 or IPv6.\n";

namespace {

struct VerbArgsT {
    const char* verb;
    std::vector<std::pair<const char*, const char*>> values;  // option, value

    const char* get(const char* name) const
    {
        for (const auto& [k, v] : values) {
            if (std::strcmp(k, name) == 0) return v;
        }
        return nullptr;
    }
};

int fail(const char* verb, const std::string& message)
{
    std::fprintf(stderr, "wirelane-probe %s: %s\n", verb, message.c_str());
    return 2;
}

// Reads --name VALUE or --name=VALUE pairs of the allowed names; "" when all
// is well, else the message.
std::string readArgs(int argc, char** argv, const std::vector<const char*>& allowed, VerbArgsT& out)
{
    out.verb = argv[0];
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        std::string name = arg.substr(0, arg.find('='));
        const char* known = nullptr;
        for (const char* a : allowed) {
            if (name == a) known = a;
        }
        if (known == nullptr) return "unknown option '" + arg + "'";
        const char* value = arg.size() > name.size() ? argv[i] + name.size() + 1 : i + 1 < argc ? argv[++i] : nullptr;
        if (value == nullptr || value[0] == '\0') return "option " + name + " needs a value";
        if (out.get(known) != nullptr) return "option " + name + " given twice";
        out.values.emplace_back(known, value);
    }
    return "";
}

// The value of key in the configuration file ("" when it is not there);
// false when the file cannot be read.
bool confValue(const char* home, const char* confPath, const char* key, std::string& value)
{
    std::string path;
    if (confPath != nullptr) {
        path = confPath;
    } else {
        char dir[4096];
        bool aside;
        if (platform::programFolder(home, dir, sizeof dir, &aside) != 0) return false;
        path = std::string(dir) + "/Wirelane.conf";
    }
    FILE* fp = std::fopen(path.c_str(), "r");
    if (fp == nullptr) return false;
    char line[1024];
    const std::string prefix = std::string(key) + "=";
    value.clear();
    while (std::fgets(line, sizeof line, fp) != nullptr) {
        std::string l = line;
        while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
        if (l.compare(0, prefix.size(), prefix) == 0) value = l.substr(prefix.size());
    }
    std::fclose(fp);
    return true;
}

bool wholeNumber(const char* text, long* out)
{
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0) return false;
    *out = v;
    return true;
}

// The period and the filter; "" when all is well, else the message.
std::string periodFilter(const VerbArgsT& a, long long* start, long long* end, EndpointFilterT* filter,
                         const char* badCharMessage, const char* badFilterMessage)
{
    const char* from = a.get("--from");
    const char* to = a.get("--to");
    if (from == nullptr || to == nullptr) return "--from and --to are required";
    for (auto [text, out] : {std::pair{from, start}, {to, end}}) {
        if (!parseTimeArg(text, out)) {
            return std::string("bad time '") + text + "' (YYYY-MM-DD HH:MM:SS or seconds since 1970)";
        }
    }
    if (*start >= *end) return "the start of the period must be before its end";
    if (const char* f = a.get("--filter")) {
        int rc = parseFilter(f, filter);
        if (rc != 0) {
            return std::string(rc == FILTER_BAD_CHAR ? badCharMessage : badFilterMessage) + ": '" + f + "' " +
                   filterFault(rc);
        }
    }
    return "";
}

// What query and play share: the period, the filter and the store's files.
// "" when all is well, else the message.
std::string periodFilterStore(const VerbArgsT& a, const char* confKey, const char* ext, long long blankSize,
                              long long (*firstTime)(const char* path), long long* start, long long* end,
                              EndpointFilterT* filter, std::vector<StoreFileT>& files, const char* badCharMessage,
                              const char* badFilterMessage)
{
    std::string err = periodFilter(a, start, end, filter, badCharMessage, badFilterMessage);
    if (!err.empty()) return err;
    std::string dir;
    if (const char* s = a.get("--store")) {
        dir = s;
    } else if (!confValue(a.get("--home"), a.get("--conf"), confKey, dir)) {
        return std::string("cannot read the configuration ") + (a.get("--conf") ? a.get("--conf") : "file");
    }
    if (dir.empty()) return std::string("no store: give --store DIR or set ") + confKey + " in the configuration";
    if (listStore(dir.c_str(), ext, blankSize, "", firstTime, files) != 0) {
        return "cannot list the store " + dir + ": " + std::strerror(errno);
    }
    return "";
}

// The verb's answers to the playback's questions: no folder to open, the
// replay when a target was given; a notice is the verb's error.
class VerbAnswersT : public PlayQuestionsT {
public:
    bool askYesNo(const char*) override { return true; }
    void notice(const char* text) override { noticed = text; }
    void openFolder(const char*) override {}
    std::string noticed;
};

}  // namespace

int runQueryVerb(int argc, char** argv)
{
    setLogConsole(stderr);  // standard output is for the records
    VerbArgsT a;
    std::string err = readArgs(argc, argv,
                               {"--home", "--conf", "--store", "--from", "--to", "--filter", "--keyword", "--page",
                                "--csv", "--clickhouse", "--device", "--table"},
                               a);
    const char* url = a.get("--clickhouse");
    ClickhouseQueryT cq;
    JsonQueryT& q = cq.q;
    std::vector<StoreFileT> files;
    char urlErr[512];
    if (!err.empty()) {
        // said below
    } else if (url != nullptr && (a.get("--store") != nullptr || a.get("--conf") != nullptr || a.get("--home") != nullptr)) {
        err = "--store, --conf and --home name a local store: they cannot be used with --clickhouse";
    } else if (url == nullptr && (a.get("--device") != nullptr || a.get("--table") != nullptr)) {
        err = std::string(a.get("--device") != nullptr ? "--device" : "--table") + " needs --clickhouse URL";
    } else if (url != nullptr && clickhouseCheckUrl(url, urlErr, sizeof urlErr) != 0) {
        err = urlErr;
    } else if (a.get("--device") != nullptr && !deviceIdValid(a.get("--device"))) {
        err = std::string("bad device id '") + a.get("--device") + "' (12 upper-case hexadecimal digits, as in the "
              "records' deviceId)";
    } else if (a.get("--table") != nullptr && !tableNameValid(a.get("--table"))) {
        err = std::string("bad table name '") + a.get("--table") + "' (letters, digits and _)";
    } else if (url != nullptr) {
        err = periodFilter(a, &q.start, &q.end, &q.filter, "Query filter error", "Query filter error");
    } else {
        err = periodFilterStore(a, "exportPath", "json", JSON_BLANK_FILE_SIZE, getJsonFileStime, &q.start, &q.end,
                                &q.filter, files, "Query filter error", "Query filter error");
    }
    long page = -1;
    if (err.empty() && a.get("--page") != nullptr && !wholeNumber(a.get("--page"), &page)) {
        err = std::string("bad page '") + a.get("--page") + "'";
    }
    if (!err.empty()) return fail(a.verb, err);
    if (a.get("--keyword") != nullptr) q.keyword = a.get("--keyword");
    if (a.get("--device") != nullptr) cq.device = a.get("--device");
    if (a.get("--table") != nullptr) cq.table = a.get("--table");

    FILE* csv = nullptr;
    if (const char* path = a.get("--csv")) {
        csv = std::fopen(path, "w");
        if (csv == nullptr || !writeCsvHeader(csv)) return fail(a.verb, std::string("cannot write ") + path);
    }
    // Records go out in large blocks: a query may print a hundred megabytes.
    static char outBlock[1 << 20];
    std::setvbuf(stdout, outBlock, _IOFBF, sizeof outBlock);
    bool csvOk = true;
    static thread_local JsonFieldT fields[80];
    static thread_local std::vector<char> text;
    auto print = [&](const char* line, std::size_t len) {
        fwrite_unlocked(line, 1, len, stdout);
        fputc_unlocked('\n', stdout);
        if (csv == nullptr) return;
        text.resize(len + 1);
        int n = parseJsonStr(line, len, fields, 80, text.data(), text.size());
        CommMsgT rec;
        fillCommFromJson(&rec, fields, n);
        csvOk = csvOk && writeCsvRecord(csv, rec);
    };
    const long skip = page < 0 ? 0 : page * QUERY_PAGE_RECORDS, limit = page < 0 ? -1 : QUERY_PAGE_RECORDS;
    if (url != nullptr) {
        if (queryClickhouse(url, cq, skip, limit, print, &err) < 0) {
            if (csv != nullptr) std::fclose(csv);
            std::fflush(stdout);
            std::fprintf(stderr, "wirelane-probe %s: %s\n", a.verb, err.c_str());
            return 1;
        }
    } else {
        queryStore(files, q, skip, limit, print);
    }
    if (csv != nullptr && (std::fclose(csv) != 0 || !csvOk)) return fail(a.verb, "cannot write the CSV file");
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int runPlayVerb(int argc, char** argv)
{
    setLogConsole(stderr);
    VerbArgsT a;
    std::string err = readArgs(argc, argv,
                               {"--home", "--conf", "--store", "--from", "--to", "--filter", "--trunc", "--out",
                                "--vxlan"},
                               a);
    PlayQueryT q;
    std::vector<StoreFileT> files;
    if (err.empty()) {
        err = periodFilterStore(a, "dumpPath", "pcap", PKT_BLANK_FILE_SIZE, getPktFileStime, &q.start, &q.end,
                                &q.filter, files, "Play filter error", "Playback filter error");
    }
    long trunc = 0;
    if (err.empty() && a.get("--trunc") != nullptr && (!wholeNumber(a.get("--trunc"), &trunc) || trunc > 65535)) {
        err = std::string("bad truncation length '") + a.get("--trunc") + "'";
    }
    const char* target = a.get("--vxlan");
    if (err.empty() && target != nullptr) {
        sockaddr_storage addr;
        if (resolveVxlanTarget(target, &addr) != 0) err = "Vxlan addr error";
    }
    if (!err.empty()) return fail(a.verb, err);
    q.trunLen = static_cast<u32>(trunc);

    std::string out;
    if (const char* o = a.get("--out")) {
        out = o;
    } else {
        char dir[4096];
        bool aside;
        if (platform::programFolder(a.get("--home"), dir, sizeof dir, &aside) != 0) {
            return fail(a.verb, std::string("cannot make the program's folder ") + dir);
        }
        out = std::string(dir) + "/playout.pcap";
    }
    VerbAnswersT answers;
    std::thread replay;
    long n = scanPkt(files, q, target != nullptr ? target : "", out.c_str(), answers, &replay);
    if (replay.joinable()) replay.join();
    if (n < 0) return fail(a.verb, "cannot write " + out);
    // With no frame there is nothing to send: done, not an error.
    if (n > 0 && !answers.noticed.empty()) return fail(a.verb, answers.noticed);
    std::printf("%ld frames written to %s%s\n", n, out.c_str(), target != nullptr && n > 0 ? ", sent over VXLAN" : "");
    return 0;
}
