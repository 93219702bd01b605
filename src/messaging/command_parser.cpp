// Inbound command parsing. Loop thread only.
#include "messaging/command_parser.h"

#include <strings.h>

#include <cstring>

#include "app/log.h"
#include "messaging/jansson_ptr.h"

namespace {

constexpr size_t plain_text_buffer_size = 64;

struct CommandWord {
    const char *word;
    RemoteCommandKind kind;
};

constexpr CommandWord command_words[] = {
    {"play", REMOTE_COMMAND_PLAY}, {"pause", REMOTE_COMMAND_PAUSE},           {"stop", REMOTE_COMMAND_STOP},
    {"next", REMOTE_COMMAND_NEXT}, {"previous", REMOTE_COMMAND_PREVIOUS},     {"prev", REMOTE_COMMAND_PREVIOUS},
    {"seek", REMOTE_COMMAND_SEEK}, {"disconnect", REMOTE_COMMAND_DISCONNECT},
};

constexpr const char *command_fields[] = {"command", "action", "type", "event"};
constexpr const char *container_fields[] = {"payload", "data", "message"};
constexpr const char *position_fields[] = {"position_ms", "positionMs", "position"};

// The first command-like field of the object whose value is a string.
const char *find_command_field(const json_t *object) {
    for (const char *field : command_fields) {
        const json_t *value = json_object_get(object, field);
        if (json_is_string(value)) return json_string_value(value);
    }
    return nullptr;
}

// Only the first position field present counts, whatever its type.
uint64_t find_position(const json_t *object) {
    for (const char *field : position_fields) {
        const json_t *value = json_object_get(object, field);
        if (!value) continue;
        if (json_is_integer(value) && json_integer_value(value) >= 0)
            return static_cast<uint64_t>(json_integer_value(value));
        return 0;
    }
    return 0;
}

bool parse_json_command(const json_t *root, RemoteCommand *command) {
    if (json_is_string(root)) {
        const char *text = json_string_value(root);
        if (!parse_command_word(text, command)) {
            app_log(LOG_WARNING, "Unknown command: %s", text);
            return false;
        }
    } else if (json_is_object(root)) {
        const char *word = find_command_field(root);
        if (!word) {
            for (const char *field : container_fields) {
                const json_t *container = json_object_get(root, field);
                if (json_is_object(container)) {
                    word = find_command_field(container);
                    break;
                }
            }
        }
        if (!word) {
            app_log(LOG_DEBUG, "No command-like field found in message");
            return false;
        }
        if (!parse_command_word(word, command)) {
            app_log(LOG_WARNING, "Unknown command: %s", word);
            return false;
        }
        if (command->kind == REMOTE_COMMAND_SEEK) command->position_ms = find_position(root);
    } else {
        app_log(LOG_WARNING, "JSON message is neither object nor string");
        return false;
    }
    app_log(LOG_DEBUG, "Parsed Nats command type: %d", static_cast<int>(command->kind));
    return true;
}

}  // namespace

bool parse_command_word(const char *word, RemoteCommand *command) {
    if (!word || !command) return false;
    for (const CommandWord &entry : command_words) {
        if (strcasecmp(word, entry.word) == 0) {
            command->kind = entry.kind;
            return true;
        }
    }
    return false;
}

bool nats_parse_command(const char *message, size_t length, RemoteCommand *command) {
    if (!message || !command) {
        app_log(LOG_ERROR, "Invalid arguments to nats_parse_command");
        return false;
    }
    command->kind = REMOTE_COMMAND_NONE;
    command->position_ms = 0;

    if (length >= 1 && length < plain_text_buffer_size) {
        char word[plain_text_buffer_size];
        std::memcpy(word, message, length);
        word[length] = '\0';
        if (parse_command_word(word, command)) {
            app_log(LOG_DEBUG, "Parsed Nats plain-text command: %s", word);
            return true;
        }
    }

    json_error_t error;
    JanssonPtr root(json_loadb(message, length, JSON_DECODE_ANY, &error));
    if (!root) {
        app_log(LOG_WARNING, "Failed to parse JSON message: %s (line: %d)", error.text, error.line);
        return false;
    }
    return parse_json_command(root.get(), command);
}
