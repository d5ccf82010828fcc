#pragma once

// Samba's client library, loaded on the first share path. Internal to support/smb.

#include <libsmbclient.h>

#include <cerrno>
#include <string>

namespace kavrin::smb {

// Every function of Samba's client library this back end calls: the library is loaded on the first
// share path, so that a program that opens only local folders never maps it and the forty
// libraries it needs (13 MB).
#define KAVRIN_SMBC_FUNCTIONS(X)      \
    X(free_context)                   \
    X(getFunctionClose)               \
    X(getFunctionClosedir)            \
    X(getFunctionFstat)               \
    X(getFunctionLseek)               \
    X(getFunctionMkdir)               \
    X(getFunctionOpen)                \
    X(getFunctionOpendir)             \
    X(getFunctionPurgeCachedServers)  \
    X(getFunctionRead)                \
    X(getFunctionReaddirPlus2)        \
    X(getFunctionRemoveUnusedServer)  \
    X(getFunctionRename)              \
    X(getFunctionSplice)              \
    X(getFunctionStat)                \
    X(getFunctionUnlink)              \
    X(getFunctionWrite)               \
    X(getOptionUserData)              \
    X(init_context)                   \
    X(new_context)                    \
    X(setDebug)                       \
    X(setFunctionAddCachedServer)     \
    X(setFunctionAuthDataWithContext) \
    X(setFunctionCheckServer)         \
    X(setFunctionGetCachedServer)     \
    X(setFunctionPurgeCachedServers)  \
    X(setFunctionRemoveCachedServer)  \
    X(setLogCallback)                 \
    X(setOptionDebugToStderr)         \
    X(setOptionFallbackAfterKerberos) \
    X(setOptionNoAutoAnonymousLogin)  \
    X(setOptionOpenShareMode)         \
    X(setOptionUseKerberos)           \
    X(setOptionUserData)              \
    X(setTimeout)

// The library's functions, typed as its header declares them; `failure` says why they are not
// there (and then none is).
struct SmbClient {
#define KAVRIN_SMBC_POINTER(name) decltype(&::smbc_##name) name = nullptr;
    KAVRIN_SMBC_FUNCTIONS(KAVRIN_SMBC_POINTER)
#undef KAVRIN_SMBC_POINTER
    std::string failure;
};

// Loads `library` and looks up every function; it stays loaded while the process runs.
SmbClient loadSmbClient(const char* library);

// The process's library, loaded by the first caller (others wait for it). The table is never
// destroyed: the back end, made before it, frees its context through it at exit.
const SmbClient& processSmbClient();

// What a call of the library returns instead of an errno when the library could not be loaded.
constexpr int kNoLibrary = -1;

// The library's errno, never 0 for a call that failed.
inline int lastError() {
    return errno != 0 ? errno : EIO;
}

inline bool isRefusal(int error) {
    return error == EACCES || error == EPERM;
}

}  // namespace kavrin::smb
