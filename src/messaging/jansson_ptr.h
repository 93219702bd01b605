// Owning handles of jansson values and of the text json_dumps makes. jansson
// belongs to this module, which builds the events and parses the commands of
// the bus with it; the volume bridge parses its bus and REST messages through
// the same handles. Any thread.
#pragma once

#include <jansson.h>

#include <cstdlib>
#include <memory>

struct JanssonDeleter {
    void operator()(json_t *value) const noexcept { json_decref(value); }
};
using JanssonPtr = std::unique_ptr<json_t, JanssonDeleter>;

// json_dumps allocates its text with malloc.
struct JanssonTextDeleter {
    void operator()(char *text) const noexcept { std::free(text); }
};
using JanssonText = std::unique_ptr<char, JanssonTextDeleter>;
