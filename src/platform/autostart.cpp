// Start with the desktop session: an XDG autostart entry for the program.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"

namespace platform {

namespace {

// The autostart folder; "" when there is no home to put it in.
std::string autostartDir()
{
    // Relative values are to be ignored, as the base directory rules say.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') return std::string(config) + "/autostart";
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') {
        const passwd* pw = getpwuid(getuid());
        home = pw != nullptr ? pw->pw_dir : nullptr;
    }
    if (home == nullptr || home[0] == '\0') return {};
    return std::string(home) + "/.config/autostart";
}

std::string entryPath(const std::string& dir) { return dir + "/Wirelane.desktop"; }

// The Exec= value that runs exe: quoted, with the characters the entry format
// reserves escaped (once for the quoting, once more for the string value).
// "" for a path that cannot be written in one line.
std::string execValue(const char* exe)
{
    std::string v = "\"";
    for (const char* p = exe; *p != '\0'; ++p) {
        switch (*p) {
        case '"': case '`': case '$': v += "\\\\"; v += *p; break;
        case '\\': v += "\\\\\\\\"; break;
        case '%': v += "%%"; break;
        case '\n': case '\r': return {};
        default: v += *p;
        }
    }
    return v + "\"";
}

// mkdir -p; 0 or the errno of the first folder that cannot be made.
int makeDirs(const std::string& dir)
{
    for (std::size_t at = 1; at <= dir.size(); ++at) {
        if (at < dir.size() && dir[at] != '/') continue;
        std::string part = dir.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    }
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

}  // namespace

bool autostartExists()
{
    std::string dir = autostartDir();
    return !dir.empty() && access(entryPath(dir).c_str(), F_OK) == 0;
}

int setAutostart(bool on, const char* exe)
{
    std::string dir = autostartDir();
    if (dir.empty()) return ENOENT;
    std::string path = entryPath(dir);
    if (!on) return unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : errno;

    std::string exec = execValue(exe);
    if (exec.empty()) return EINVAL;
    if (int err = makeDirs(dir)) return err;
    if (access(dir.c_str(), W_OK) != 0) return errno;
    // Written beside and renamed, so that a session starting now never reads
    // half an entry.
    std::string tmp = path + ".tmp";
    FILE* fp = std::fopen(tmp.c_str(), "w");
    if (fp == nullptr) return errno;
    bool ok = std::fprintf(fp,
                           "[Desktop Entry]\nType=Application\nName=Wirelane\nComment=Network traffic probe\n"
                           "Exec=%s\nTerminal=false\nX-GNOME-Autostart-enabled=true\n",
                           exec.c_str()) > 0;
    int err = errno;
    if (std::fclose(fp) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && std::rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) unlink(tmp.c_str());
    return ok ? 0 : err;
}

}  // namespace platform
