// Any thread: dlsym and the SDK's version query only read.
#include "app/build_info.h"

#include <dlfcn.h>

#include "zorva_connect.h"

const char *daemon_version() { return ZRV_DAEMON_VERSION; }

const char *sdk_version() {
    const char *version = zrv_connect_get_sdk_version();
    return version ? version : "unknown";
}

bool sdk_is_standin() {
    // The stand-in's test control interface; the vendor's SDK has no such
    // symbol. Looked up in the global scope, where the SDK linked into the
    // daemon is.
    return dlsym(RTLD_DEFAULT, "zrv_standin_reset") != nullptr;
}
