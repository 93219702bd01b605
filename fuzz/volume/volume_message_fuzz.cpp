// libFuzzer entry for the volume bridge's two parsers: a volume message from
// the bus and the body of the volume REST answer, both from peers the daemon
// does not control. Besides the sanitizers, it checks the limits the bridge
// relies on: every volume handed on is a percentage.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "volume/volume_bridge.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // An exact-size copy, so that a read past the length is caught by ASan.
    char *text = static_cast<char *>(std::malloc(size ? size : 1));
    if (!text) return 0;
    if (size) std::memcpy(text, data, size);

    bool has_volume = false, has_muted = false, muted = false;
    uint32_t volume = 1000;
    if (parse_volume_message(text, size, &has_volume, &volume, &has_muted, &muted)) {
        if (has_volume && volume > 100) __builtin_trap();
    } else if (has_volume || has_muted) {
        __builtin_trap();
    }

    uint32_t rest_volume = 1000;
    bool rest_muted = false;
    if (parse_volume_rest_body(text, size, &rest_volume, &rest_muted) && rest_volume > 100) __builtin_trap();

    std::free(text);
    return 0;
}
