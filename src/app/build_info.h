// What this daemon was built as: its own version and the Connect SDK it
// runs with. Callable from any thread.
#pragma once

// The daemon's version, as the package carries it without a suffix.
const char *daemon_version();

// The version text the loaded SDK reports.
const char *sdk_version();

// True when the loaded libzorva_connect is the project's stand-in rather than
// the vendor's SDK. Decided at run time from the library actually loaded: the
// stand-in, and only the stand-in, exports its test control functions.
bool sdk_is_standin();
