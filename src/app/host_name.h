// Where start-up gets the machine's host name from. A parameter rather than a
// direct gethostname call, so tests can give any name or a failure.
#pragma once

#include <unistd.h>

#include <cstddef>

// Same contract as gethostname: 0 on success, -1 on failure.
using HostNameSource = int (*)(char *name, size_t length);

inline int system_host_name(char *name, size_t length) { return ::gethostname(name, length); }
