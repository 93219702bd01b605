#include "zorva_connect.h"
extern "C" ZRV_EXPORT const char *zrv_connect_get_sdk_version(void) { return "0"; }
