// Owning handle of a cJSON document. cJSON belongs to this module, which
// parses the requests and prints the answers of the HTTP API with it; the
// configuration loader reads its file through the same handle. Any thread.
#pragma once

#include <cjson/cJSON.h>

#include <memory>

struct CJsonDeleter {
    void operator()(cJSON *json) const noexcept { cJSON_Delete(json); }
};
using CJsonPtr = std::unique_ptr<cJSON, CJsonDeleter>;
