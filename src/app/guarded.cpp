// Runs on whichever thread caught the exception (see guarded.h).
#include "app/guarded.h"

#include <exception>

#include "app/log.h"

void log_stopped_exception(const char *where) noexcept {
    try {
        throw;
    } catch (const std::exception &error) {
        app_log(LOG_ERROR, "Exception stopped at %s: %s", where, error.what());
    } catch (...) {
        app_log(LOG_ERROR, "Exception stopped at %s", where);
    }
}
