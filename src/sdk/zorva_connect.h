/*
 * The Zorva Connect SDK interface (libzorva_connect), as the renderer daemon
 * uses it. The library is closed; this header declares the C ABI that the
 * daemon is built against. The stand-in library under standin/ implements
 * exactly this ABI, so a device maker can link the real library instead.
 *
 * Threading: every operation is called on the libuv loop thread that the
 * instance was created on, and every delegate callback is made on that
 * thread too. The log delegate is the exception: it may be called from any
 * thread.
 *
 * Conventions: operations return a ZrvError (ZRV_OK, 0, on success; see
 * zrv_error_to_string). Delegate callbacks receive the SDK handle first and
 * the table's user pointer last. Every delegate table starts with its user
 * pointer. Strings handed to zrv_connect_create must stay alive for as long
 * as the instance lives.
 */
#ifndef ZORVA_CONNECT_H
#define ZORVA_CONNECT_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define ZRV_EXPORT __attribute__((visibility("default")))
#else
#define ZRV_EXPORT
#endif

/* The libuv loop the instance runs on. */
struct uv_loop_s;

/* Opaque SDK instance. */
typedef struct ZrvConnect ZrvConnect;

/* Error codes. Values above the last listed one are reserved. */
typedef int32_t ZrvError;
enum {
    ZRV_OK = 0,
    ZRV_ERROR_INVALID_ARGUMENT = 1, /* a required argument or configuration value is missing or invalid */
    ZRV_ERROR_INVALID_STATE = 2,    /* the operation does not fit the current state */
    ZRV_ERROR_NOT_CONNECTED = 3,    /* no session: the renderer is not connected to the service */
    ZRV_ERROR_NO_PLAYBACK = 4,      /* no playback queue or no active playback */
    ZRV_ERROR_UNKNOWN_STREAM = 5,   /* no audio stream with the given id */
    ZRV_ERROR_OUT_OF_MEMORY = 6,
    ZRV_ERROR_NETWORK = 7,        /* the service could not be reached */
    ZRV_ERROR_AUTHENTICATION = 8, /* a session token was refused */
    ZRV_ERROR_NOT_SUPPORTED = 9,
    ZRV_ERROR_INTERNAL = 10
};

/* Playback state as zrv_connect_get_playback_state reports it. */
typedef uint32_t ZrvPlaybackState;
enum {
    ZRV_PLAYBACK_STATE_STOPPED = 0,
    ZRV_PLAYBACK_STATE_PLAYING = 1,
    ZRV_PLAYBACK_STATE_PAUSED = 2,
    ZRV_PLAYBACK_STATE_BUFFERING = 3 /* playing, waiting for data */
};

/* Maximum audio quality a renderer supports. */
typedef uint32_t ZrvAudioQuality;
enum {
    ZRV_AUDIO_QUALITY_CD = 0,     /* 44.1 kHz, 16 bit */
    ZRV_AUDIO_QUALITY_HIRES1 = 1, /* up to 48 kHz, 24 bit */
    ZRV_AUDIO_QUALITY_HIRES2 = 2, /* up to 96 kHz, 24 bit */
    ZRV_AUDIO_QUALITY_HIRES3 = 3  /* up to 192 kHz, 24 bit */
};

/* Device type codes. */
typedef int32_t ZrvDeviceType;
enum {
    ZRV_DEVICE_TYPE_SPEAKER = 0,
    ZRV_DEVICE_TYPE_STREAMER = 1,
    ZRV_DEVICE_TYPE_AMPLIFIER = 2,
    ZRV_DEVICE_TYPE_AV_RECEIVER = 3,
    ZRV_DEVICE_TYPE_TV = 4,
    ZRV_DEVICE_TYPE_HEADPHONES = 5
};

/* Loop (repeat) mode of the playback queue. */
typedef uint32_t ZrvLoopMode;
enum { ZRV_LOOP_MODE_OFF = 0, ZRV_LOOP_MODE_TRACK = 1, ZRV_LOOP_MODE_QUEUE = 2 };

/* Sample formats of decoded PCM. Samples are interleaved little-endian. */
typedef uint32_t ZrvSampleFormat;
enum {
    ZRV_SAMPLE_FORMAT_S16 = 0,    /* signed 16 bit, 2 bytes */
    ZRV_SAMPLE_FORMAT_S24_32 = 1, /* signed 24 bit in the low bits of a 32-bit container, 4 bytes */
    ZRV_SAMPLE_FORMAT_S32 = 2     /* signed 32 bit, 4 bytes (the daemon's sink does not accept it) */
};

/* Levels of the log delegate; values of 5 and above are fatal. */
enum {
    ZRV_LOG_TRACE = 0,
    ZRV_LOG_DEBUG = 1,
    ZRV_LOG_INFO = 2,
    ZRV_LOG_WARNING = 3,
    ZRV_LOG_ERROR = 4,
    ZRV_LOG_FATAL = 5
};

/* Format of an audio stream, passed by value. */
typedef struct AudioFormat {
    uint32_t sample_rate; /* frames per second */
    uint32_t channels;
    uint32_t sample_format; /* ZrvSampleFormat */
} AudioFormat;

/* What the SDK announces with a new audio stream. */
typedef struct StreamInfo {
    uint32_t sample_rate;
    uint32_t channels;
    uint32_t sample_format; /* ZrvSampleFormat */
    uint32_t padding;
    uint64_t duration_ms;
} StreamInfo;

/* Track metadata; any pointer may be an empty string, none is null. */
typedef struct StreamMetadata {
    const char *title;
    const char *artist;
    const char *album;
    const char *album_art_url;
} StreamMetadata;

/* One session token handed over by the controller. */
typedef struct SessionToken {
    const char *endpoint;
    const char *token; /* the JWT */
    uint64_t expiry;   /* "exp", seconds since the epoch */
} SessionToken;

/* Delegate tables. Each begins with its user pointer. */

typedef struct AdvertisingDelegate {
    void *user;
    void (*start_advertising)(ZrvConnect *sdk, const char *service_name, const char *service_type, void *user);
    void (*stop_advertising)(ZrvConnect *sdk, void *user);
} AdvertisingDelegate;

typedef struct ConfigServerDelegate {
    void *user;
    void (*start)(ZrvConnect *sdk, void *user);
    void (*stop)(ZrvConnect *sdk, void *user);
} ConfigServerDelegate;

typedef struct AudioDelegate {
    void *user;
    void (*new_stream)(ZrvConnect *sdk, uint64_t stream_id, const StreamInfo *info, uint64_t start_position_ms,
                       void *user);
    /* Returns the number of bytes taken. After a short count the SDK keeps the
     * rest and delivers nothing more for that stream until
     * zrv_connect_resume_audio_delivery, which starts with the kept bytes. */
    size_t (*audio_data)(ZrvConnect *sdk, uint64_t stream_id, const void *data, size_t size, void *user);
    void (*metadata)(ZrvConnect *sdk, uint64_t stream_id, const StreamMetadata *metadata, void *user);
    void (*finished)(ZrvConnect *sdk, uint64_t stream_id, void *user);
    void (*seeked)(ZrvConnect *sdk, uint64_t stream_id, uint64_t position_ms, void *user);
    void (*disposed)(ZrvConnect *sdk, uint64_t stream_id, void *user);
} AudioDelegate;

typedef struct PlaybackDelegate {
    void *user;
    void (*initiate)(ZrvConnect *sdk, uint32_t initial_state, void *user); /* 1 playing, 2 paused */
    void (*pause)(ZrvConnect *sdk, void *user);
    void (*resume)(ZrvConnect *sdk, void *user);
    void (*stop)(ZrvConnect *sdk, void *user);
    void (*seek_started)(ZrvConnect *sdk, void *user);
    uint64_t (*get_position_ms)(ZrvConnect *sdk, void *user);
    void (*volume_changed)(ZrvConnect *sdk, uint32_t volume, void *user);
    void (*mute_changed)(ZrvConnect *sdk, bool muted, void *user);
    void (*playback_state_changed)(ZrvConnect *sdk, uint32_t state, void *user);
    void (*max_quality_changed)(ZrvConnect *sdk, uint32_t quality, void *user);
    void (*controls_changed)(ZrvConnect *sdk, uint32_t loop_mode, bool shuffle, void *user);
    void (*actions_availability_changed)(ZrvConnect *sdk, bool next_available, void *user);
} PlaybackDelegate;

typedef struct DeviceDelegate {
    void *user;
    void (*renderer_active_changed)(ZrvConnect *sdk, bool active, void *user);
} DeviceDelegate;

/* Log delegate: level (ZRV_LOG_*), component name, message. The result has
 * no meaning to the SDK. May be called from any thread. */
typedef struct LogDelegate {
    void *user;
    int (*log)(uint32_t level, const char *component, const char *message, void *user);
} LogDelegate;

#define ZRV_CONNECT_CONFIG_VERSION 1u
#define ZRV_CAPABILITY_GAPLESS 1u

/* Configuration record for zrv_connect_create. */
typedef struct ZrvConnectConfig {
    uint32_t version;             /* ZRV_CONNECT_CONFIG_VERSION */
    const char *device_name;      /* required */
    int32_t device_type;          /* ZrvDeviceType */
    const char *manufacturer;     /* required */
    const char *model;            /* required */
    const char *serial_number;    /* required */
    const char *unique_device_id; /* required, may be empty */
    const char *app_id;           /* required */
    const char *app_secret;       /* required, may be empty */
    uint32_t max_audio_quality;   /* ZrvAudioQuality */
    uint32_t capabilities;        /* ZRV_CAPABILITY_* bits; the daemon renders gaplessly */
    AdvertisingDelegate advertising;
    ConfigServerDelegate config_server;
    AudioDelegate audio;
    PlaybackDelegate playback;
    DeviceDelegate device;
} ZrvConnectConfig;

/* Instance. */
ZRV_EXPORT ZrvConnect *zrv_connect_create(struct uv_loop_s *loop, const ZrvConnectConfig *config, ZrvError *out_error);
ZRV_EXPORT void zrv_connect_free(ZrvConnect *sdk);
/* Installs the process-wide log delegate; may be called before any instance exists. */
ZRV_EXPORT ZrvError zrv_connect_set_log_delegate(const LogDelegate *delegate);

/* Session. The returned strings belong to the instance and stay valid until
 * the next call that changes them. */
ZRV_EXPORT ZrvError zrv_connect_connect(ZrvConnect *sdk, const char *session_id, const SessionToken *api_token,
                                        const SessionToken *zconnect_token, bool become_active);
ZRV_EXPORT ZrvError zrv_connect_get_session_id(ZrvConnect *sdk, const char **out_session_id);
ZRV_EXPORT ZrvError zrv_connect_get_device_uuid(ZrvConnect *sdk, const char **out_uuid);
ZRV_EXPORT const char *zrv_connect_get_sdk_version(void);
ZRV_EXPORT ZrvError zrv_connect_deactivate_and_disconnect_renderer(ZrvConnect *sdk);

/* Remote control of the service's playback queue. */
ZRV_EXPORT ZrvError zrv_connect_get_playback_state(ZrvConnect *sdk, ZrvPlaybackState *out_state);
ZRV_EXPORT ZrvError zrv_connect_start_playback(ZrvConnect *sdk);
ZRV_EXPORT ZrvError zrv_connect_pause_playback(ZrvConnect *sdk);
ZRV_EXPORT ZrvError zrv_connect_resume_playback(ZrvConnect *sdk);
ZRV_EXPORT ZrvError zrv_connect_stop_playback(ZrvConnect *sdk);
ZRV_EXPORT ZrvError zrv_connect_next_track(ZrvConnect *sdk);
ZRV_EXPORT ZrvError zrv_connect_previous_track(ZrvConnect *sdk);
ZRV_EXPORT ZrvError zrv_connect_seek_time(ZrvConnect *sdk, uint64_t position_ms);
ZRV_EXPORT ZrvError zrv_connect_set_volume(ZrvConnect *sdk, uint32_t volume);
ZRV_EXPORT ZrvError zrv_connect_set_mute_state(ZrvConnect *sdk, bool muted);

/* What the renderer reports about its playback. */
ZRV_EXPORT ZrvError zrv_connect_notify_playback_initiated(ZrvConnect *sdk, AudioFormat format);
ZRV_EXPORT ZrvError zrv_connect_notify_playback_paused(ZrvConnect *sdk);
ZRV_EXPORT ZrvError zrv_connect_notify_playback_resumed(ZrvConnect *sdk);
ZRV_EXPORT ZrvError zrv_connect_notify_playback_stopped(ZrvConnect *sdk);
ZRV_EXPORT ZrvError zrv_connect_notify_playback_error(ZrvConnect *sdk);
ZRV_EXPORT ZrvError zrv_connect_notify_playback_finished(ZrvConnect *sdk, bool nothing_queued);
/* Asks for data of a stream again after a short accept; the SDK may push data
 * from inside this call. Nonzero on failure. */
ZRV_EXPORT ZrvError zrv_connect_resume_audio_delivery(ZrvConnect *sdk, uint64_t stream_id);

/* Helpers without an instance. */
ZRV_EXPORT size_t zrv_audio_sample_format_size(uint32_t sample_format); /* 0 for an unknown format */
ZRV_EXPORT const char *zrv_audio_quality_to_string(uint32_t quality);
ZRV_EXPORT const char *zrv_device_type_to_string(int32_t device_type);
ZRV_EXPORT const char *zrv_playback_state_to_string(uint32_t state);
ZRV_EXPORT const char *zrv_loop_mode_to_string(uint32_t loop_mode);
ZRV_EXPORT const char *zrv_error_to_string(ZrvError error);

#ifdef __cplusplus
}
#endif

#endif /* ZORVA_CONNECT_H */
