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

#include <atomic>

namespace {
std::atomic<void (*)(const CommMsgT&)> recordObserver {nullptr};
std::atomic<void (*)(const NetSessionT&)> transactionObserver {nullptr};
}  // namespace

void setRecordObserver(void (*observer)(const CommMsgT& record)) { recordObserver = observer; }
void setTransactionObserver(void (*observer)(const NetSessionT& session)) { transactionObserver = observer; }

int exportData(CommMsgT* pCommMsg, time_t stamp)
{
    pCommMsg->type = 1;
    pCommMsg->time = stamp;
    pCommMsg->lid = 0;
    pCommMsg->vid = 0;
    pCommMsg->did = static_cast<u32>(static_cast<int>(readOnlyGlobal.did));
    if (auto observe = recordObserver.load()) observe(*pCommMsg);
    // Rendering, the collector and the JSON store take the record from here.
    return 0;
}

int exportBusinessData(NetSessionT* pNetSession)
{
    pNetSession->lid = 0;
    pNetSession->vid = 0;
    pNetSession->did = readOnlyGlobal.did;
    if (auto observe = transactionObserver.load()) observe(*pNetSession);
    // Transaction records are rendered here once HTTP and SQL are read.
    return -1;
}
