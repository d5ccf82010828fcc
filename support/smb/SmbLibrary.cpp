#include "support/smb/SmbLibrary.h"

#include <dlfcn.h>

#include "support/platform/Errors.h"
#include "support/smb/SmbShareFileSystem.h"

namespace kavrin::smb {

SmbClient loadSmbClient(const char* library) {
    SmbClient smbc;
    void* handle = ::dlopen(library, RTLD_NOW | RTLD_LOCAL);
    const auto why = [&] {
        const char* text = ::dlerror();
        return formatText("Samba's client library (%s) could not be loaded: %s", library,
                          text != nullptr ? text : "unknown reason");
    };
    if (handle == nullptr) {
        smbc.failure = why();
        return smbc;
    }
#define KAVRIN_SMBC_RESOLVE(name)                                                      \
    smbc.name = reinterpret_cast<decltype(smbc.name)>(::dlsym(handle, "smbc_" #name)); \
    if (smbc.name == nullptr) {                                                        \
        SmbClient none;                                                                \
        none.failure = why();                                                          \
        return none;                                                                   \
    }
    KAVRIN_SMBC_FUNCTIONS(KAVRIN_SMBC_RESOLVE)
#undef KAVRIN_SMBC_RESOLVE
    return smbc;
}

const SmbClient& processSmbClient() {
    static const SmbClient* const smbc = new SmbClient(loadSmbClient(kSmbClientLibrary));
    return *smbc;
}

}  // namespace kavrin::smb
