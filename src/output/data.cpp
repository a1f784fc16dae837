#include "output/data.h"

#include "core/global_define.h"

int initSocket()
{
    // POSIX sockets need no start-up; both channels start closed.
    globalValue.expSockfd = -1;
    globalValue.expPktSockfd = -1;
    readOnlyGlobal.isExp = 0;
    readOnlyGlobal.isPktExp = 0;
    return 0;
}

#include <cerrno>
#include <cstring>

namespace {
FILE* jsonOut = nullptr;
}  // namespace

int openJsonOut(const char* path, char* err, int errSize)
{
    if (std::strcmp(path, "-") == 0) {
        jsonOut = stdout;
        return 0;
    }
    jsonOut = std::fopen(path, "w");
    if (jsonOut == nullptr) {
        std::snprintf(err, errSize, "cannot write records to %s: %s", path, std::strerror(errno));
        return -1;
    }
    return 0;
}

void flushJsonOut()
{
    if (jsonOut != nullptr) std::fflush(jsonOut);
}
