// Loop thread only: the SDK calls the AudioDelegate on the loop thread, and
// the Player calls everything else from there.
#include "player/stream_manager.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "app/guarded.h"
#include "app/log.h"
#include "messaging/event_publisher.h"

struct AudioStream {
    StreamManager *manager = nullptr;
    uint64_t id = 0;
    StreamInfo info{};
    StreamState stream_state = STREAM_STATE_ACTIVE;
    bool delivering = false;
    uint64_t position_bytes = 0;
    StreamHooks hooks{};
};

struct StreamManager {
    ZrvConnect *sdk = nullptr;
    EventPublisher *publisher = nullptr;
    void *user = nullptr;
    StreamManagerNewStreamHook new_stream_hook = nullptr;
    StreamManagerRolesHook roles_hook = nullptr;
    // In announcement order; the records never move, so the Player may keep
    // pointers to them until they are disposed of.
    std::vector<std::unique_ptr<AudioStream>> streams;
    AudioStream *current = nullptr;
    AudioStream *next = nullptr;
};

namespace {

uint64_t bytes_for_position(const StreamInfo &info, uint64_t position_ms) {
    uint64_t bytes_per_sample = zrv_audio_sample_format_size(info.sample_format);
    uint64_t frames = static_cast<uint64_t>(info.sample_rate) * position_ms / 1000;
    return static_cast<uint64_t>(info.channels) * frames * bytes_per_sample;
}

StreamManager *manager_of(void *user) { return static_cast<StreamManager *>(user); }

// The SDK only passes ids it announced and has not disposed of; anything
// else is logged and ignored.
AudioStream *find_or_warn(StreamManager *manager, uint64_t stream_id, const char *what) {
    AudioStream *stream = stream_manager_find(manager, stream_id);
    if (!stream) app_log(LOG_WARNING, "[Stream %lu]: Ignoring %s for an unknown audio stream", stream_id, what);
    return stream;
}

// The stream that follows the given one in the list, or none at the end.
AudioStream *following(const StreamManager *manager, const AudioStream *stream) {
    auto it = std::find_if(manager->streams.begin(), manager->streams.end(),
                           [stream](const auto &entry) { return entry.get() == stream; });
    if (it == manager->streams.end() || ++it == manager->streams.end()) return nullptr;
    return it->get();
}

void request_delivery(AudioStream *stream) {
    if (zrv_connect_resume_audio_delivery(stream->manager->sdk, stream->id) != ZRV_OK)
        app_log(LOG_ERROR, "Failed to resume audio delivery of audio stream %lu", stream->id);
}

const char *text_or_empty(const char *text) { return text ? text : ""; }

void on_new_stream(ZrvConnect *, uint64_t stream_id, const StreamInfo *info, uint64_t start_position_ms, void *user) {
    StreamManager *manager = manager_of(user);
    if (!info) {
        app_log(LOG_WARNING, "[Stream %lu]: Ignoring a new audio stream without stream information", stream_id);
        return;
    }
    if (stream_manager_find(manager, stream_id)) {
        app_log(LOG_WARNING, "[Stream %lu]: Ignoring a second announcement of the audio stream", stream_id);
        return;
    }
    auto stream = std::make_unique<AudioStream>();
    stream->manager = manager;
    stream->id = stream_id;
    stream->info = *info;
    stream->position_bytes = bytes_for_position(*info, start_position_ms);

    app_log(LOG_INFO, "[Stream %lu]: New audio stream (starting from %lums)", stream_id, start_position_ms);
    if (manager->publisher) event_publisher_track_started(manager->publisher, stream_id, "", "", "", info->duration_ms);

    AudioStream *added = stream.get();
    manager->streams.push_back(std::move(stream));
    if (!manager->current)
        manager->current = added;
    else if (!manager->next)
        manager->next = added;

    if (manager->new_stream_hook) manager->new_stream_hook(manager, added, manager->user);
}

size_t on_audio_data(ZrvConnect *, uint64_t stream_id, const void *data, size_t size, void *user) {
    AudioStream *stream = find_or_warn(manager_of(user), stream_id, "audio data");
    if (!stream || !stream->delivering || !stream->hooks.on_data) return 0;
    StreamManager *manager = stream->manager;
    size_t taken = stream->hooks.on_data(stream, data, size, stream->hooks.user);
    // A failed write reports a playback error to the SDK from inside the
    // hook, and the SDK may dispose of the stream right there.
    if (stream_manager_find(manager, stream_id) != stream) return taken;
    stream->position_bytes += taken;
    if (taken < size) stream->delivering = false;
    return taken;
}

void on_metadata(ZrvConnect *, uint64_t stream_id, const StreamMetadata *metadata, void *user) {
    StreamManager *manager = manager_of(user);
    AudioStream *stream = find_or_warn(manager, stream_id, "metadata");
    if (!stream) return;
    StreamMetadata empty{"", "", "", ""};
    if (!metadata) metadata = &empty;
    const char *title = text_or_empty(metadata->title);
    const char *artist = text_or_empty(metadata->artist);
    const char *album = text_or_empty(metadata->album);
    const char *art_url = text_or_empty(metadata->album_art_url);

    app_log(LOG_INFO, "[Stream %lu]: Stream metadata became available:", stream_id);
    app_log(LOG_INFO, "      Title: %s", title);
    app_log(LOG_INFO, "      Artist: %s", artist);
    app_log(LOG_INFO, "      Album: %s", album);
    app_log(LOG_INFO, "      Album art URL: %s", art_url);

    const StreamInfo &info = stream->info;
    uint32_t bits_per_sample = static_cast<uint32_t>(8 * zrv_audio_sample_format_size(info.sample_format));
    uint32_t bit_depth = info.sample_format == ZRV_SAMPLE_FORMAT_S16      ? 16
                         : info.sample_format == ZRV_SAMPLE_FORMAT_S24_32 ? 24
                                                                          : bits_per_sample;
    uint64_t bitrate = static_cast<uint64_t>(bit_depth) * info.sample_rate * info.channels;
    bool lossless = info.sample_format == ZRV_SAMPLE_FORMAT_S16 || info.sample_format == ZRV_SAMPLE_FORMAT_S24_32 ||
                    bits_per_sample >= 16;
    if (manager->publisher)
        event_publisher_track_metadata(manager->publisher, stream_id, title, artist, album, info.duration_ms, art_url,
                                       bitrate, "", "zorva", lossless, info.sample_rate, bit_depth);
}

void on_finished(ZrvConnect *, uint64_t stream_id, void *user) {
    StreamManager *manager = manager_of(user);
    AudioStream *stream = find_or_warn(manager, stream_id, "the end of data");
    if (!stream) return;
    app_log(LOG_INFO, "[Stream %lu]: Audio stream finished", stream_id);
    if (manager->publisher) event_publisher_track_finished(manager->publisher, stream_id);
    if (stream->stream_state == STREAM_STATE_FINISHED) return;
    StreamState old_state = stream->stream_state;
    stream->stream_state = STREAM_STATE_FINISHED;
    if (stream->hooks.on_state_changed)
        stream->hooks.on_state_changed(stream, STREAM_STATE_FINISHED, old_state, stream->hooks.user);
}

void on_seeked(ZrvConnect *, uint64_t stream_id, uint64_t position_ms, void *user) {
    StreamManager *manager = manager_of(user);
    AudioStream *stream = find_or_warn(manager, stream_id, "a seek");
    if (!stream) return;
    app_log(LOG_INFO, "[Stream %lu]: Audio stream seeked: %lums", stream_id, position_ms);
    if (manager->publisher) event_publisher_seek(manager->publisher, stream_id, position_ms);
    stream->position_bytes = bytes_for_position(stream->info, position_ms);
    if (stream->hooks.on_seeked) stream->hooks.on_seeked(stream, stream->hooks.user);
    // Set first: the SDK may push data from inside the resume call.
    stream->delivering = true;
    request_delivery(stream);
    // Data pushed from inside the resume call may have ended in a playback
    // error, after which the SDK may have disposed of the stream.
    if (stream_manager_find(manager, stream_id) != stream) return;
    if (stream->stream_state != STREAM_STATE_ACTIVE) {
        StreamState old_state = stream->stream_state;
        stream->stream_state = STREAM_STATE_ACTIVE;
        if (stream->hooks.on_state_changed)
            stream->hooks.on_state_changed(stream, STREAM_STATE_ACTIVE, old_state, stream->hooks.user);
    }
}

void on_disposed(ZrvConnect *, uint64_t stream_id, void *user) {
    StreamManager *manager = manager_of(user);
    AudioStream *stream = find_or_warn(manager, stream_id, "a disposal");
    if (!stream) return;
    app_log(LOG_INFO, "[Stream %lu]: Audio stream has been disposed of", stream_id);
    if (stream->hooks.on_disposed) stream->hooks.on_disposed(stream, stream->hooks.user);

    const bool had_role = stream == manager->current || stream == manager->next;
    if (stream == manager->current) {
        manager->current = manager->next;
        manager->next = manager->current ? following(manager, manager->current) : nullptr;
    } else if (stream == manager->next) {
        manager->next = following(manager, stream);
    }
    std::erase_if(manager->streams, [stream](const auto &entry) { return entry.get() == stream; });
    if (had_role && manager->roles_hook) manager->roles_hook(manager, manager->user);
}

}  // namespace

StreamManager *stream_manager_new(void *user, StreamManagerNewStreamHook new_stream_hook) {
    auto *manager = new StreamManager{};
    manager->user = user;
    manager->new_stream_hook = new_stream_hook;
    return manager;
}

void stream_manager_set_roles_hook(StreamManager *manager, StreamManagerRolesHook roles_hook) {
    manager->roles_hook = roles_hook;
}

void stream_manager_free(StreamManager *manager) { delete manager; }

void stream_manager_set_sdk(StreamManager *manager, ZrvConnect *sdk) { manager->sdk = sdk; }

void stream_manager_set_publisher(StreamManager *manager, EventPublisher *publisher) { manager->publisher = publisher; }

AudioDelegate stream_manager_audio_delegate(StreamManager *manager) {
    return AudioDelegate{manager,
                         guarded_callback<on_new_stream>,
                         guarded_callback<on_audio_data>,
                         guarded_callback<on_metadata>,
                         guarded_callback<on_finished>,
                         guarded_callback<on_seeked>,
                         guarded_callback<on_disposed>};
}

AudioStream *stream_manager_current(const StreamManager *manager) { return manager->current; }

AudioStream *stream_manager_next(const StreamManager *manager) { return manager->next; }

bool stream_manager_is_current(const StreamManager *manager, const AudioStream *stream) {
    return stream && stream == manager->current;
}

bool stream_manager_is_next(const StreamManager *manager, const AudioStream *stream) {
    return stream && stream == manager->next;
}

size_t stream_manager_stream_count(const StreamManager *manager) { return manager->streams.size(); }

AudioStream *stream_manager_find(const StreamManager *manager, uint64_t stream_id) {
    for (const auto &stream : manager->streams)
        if (stream->id == stream_id) return stream.get();
    return nullptr;
}

void stream_manager_resume_delivery(AudioStream *stream) {
    if (stream->delivering) return;
    // Set first: the SDK may push data from inside the resume call.
    stream->delivering = true;
    request_delivery(stream);
}

void stream_manager_stop_delivery(AudioStream *stream) { stream->delivering = false; }

void audio_stream_install_hooks(AudioStream *stream, const StreamHooks *hooks) { stream->hooks = *hooks; }

uint64_t audio_stream_id(const AudioStream *stream) { return stream->id; }

StreamInfo audio_stream_info(const AudioStream *stream) { return stream->info; }

AudioFormat audio_stream_format(const AudioStream *stream) {
    return AudioFormat{stream->info.sample_rate, stream->info.channels, stream->info.sample_format};
}

StreamState audio_stream_state(const AudioStream *stream) { return stream->stream_state; }

bool audio_stream_is_delivering(const AudioStream *stream) { return stream->delivering; }

uint64_t audio_stream_position_bytes(const AudioStream *stream) { return stream->position_bytes; }

uint32_t audio_stream_frame_size(const AudioStream *stream) {
    return stream->info.channels * static_cast<uint32_t>(zrv_audio_sample_format_size(stream->info.sample_format));
}

bool audio_format_equal(const AudioFormat &a, const AudioFormat &b) {
    return a.sample_rate == b.sample_rate && a.sample_format == b.sample_format && a.channels == b.channels;
}
