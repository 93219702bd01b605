// libFuzzer entry for the inbound command parser: any bytes a bus peer can
// send. Besides the sanitizers, it checks what the command executor relies on.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "messaging/command_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // An exact-size copy, so that a read past the length is caught by ASan.
    std::string exact(reinterpret_cast<const char *>(data), size);
    char *message = static_cast<char *>(std::malloc(size ? size : 1));
    if (!message) return 0;
    if (size) std::memcpy(message, data, size);

    RemoteCommand command{REMOTE_COMMAND_DISCONNECT, 12345};
    bool accepted = nats_parse_command(message, size, &command);
    if (accepted && (command.kind < REMOTE_COMMAND_PLAY || command.kind > REMOTE_COMMAND_DISCONNECT)) __builtin_trap();
    if (!accepted && command.kind != REMOTE_COMMAND_NONE) __builtin_trap();
    if (command.kind != REMOTE_COMMAND_SEEK && command.position_ms != 0) __builtin_trap();
    std::free(message);

    RemoteCommand word_command{REMOTE_COMMAND_NONE, 7};
    if (parse_command_word(exact.c_str(), &word_command) && word_command.position_ms != 7) __builtin_trap();
    return 0;
}
