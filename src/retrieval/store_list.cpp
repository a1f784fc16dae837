#include "retrieval/store_list.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

int listStore(const char* dir, const char* ext, long long blankSize, const char* skipName,
              long long (*firstTime)(const char* path), std::vector<StoreFileT>& out)
{
    namespace fs = std::filesystem;
    out.clear();
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) return -1;
    const std::string suffix = std::string(".") + ext;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) return -1;
        const std::string name = it->path().filename().string();
        if (name.find("Wirelane") == std::string::npos || name.size() <= suffix.size() ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0 || name == skipName) {
            continue;
        }
        const std::string path = it->path().string();
        struct stat st;
        if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == blankSize) continue;
        long long first = firstTime(path.c_str());
        if (first <= 0) continue;
        out.push_back({path, name, first, static_cast<long long>(st.st_mtime)});
    }
    std::sort(out.begin(), out.end(), [](const StoreFileT& a, const StoreFileT& b) {
        return a.etime != b.etime ? a.etime < b.etime : a.name < b.name;
    });
    return 0;
}

bool periodMeets(const StoreFileT& f, long long start, long long end, bool endIncluded)
{
    return (endIncluded ? f.stime <= end : f.stime < end) && f.etime >= start;
}
