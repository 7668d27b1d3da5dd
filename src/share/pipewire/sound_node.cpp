// The sound node: the board's sound at its own rate (PipeWire resamples),
// stereo S16LE, pulled by the graph from the sound feed. A low session
// priority keeps it from ever becoming the desktop's default microphone, and
// it is never linked anywhere by itself: only programs that ask for it get it.
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>

#include <cstring>

#include "base/debug_log.h"
#include "share/pipewire/share_loop.h"

using Loop = PipeWireShare::Loop;

namespace {

constexpr uint32_t kFrameBytes = 4;        // two 16-bit channels
constexpr uint32_t kDefaultPull = 1024;    // when the graph does not say

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    auto* loop = static_cast<Loop*>(data);
    debugPrintf("PipeWire: sound node %s%s%s\n", pw_stream_state_as_string(state), error ? ": " : "",
                error ? error : "");
    const bool streaming = state == PW_STREAM_STATE_STREAMING;
    if (streaming && !loop->soundStreaming.load()) loop->sound.restart();
    loop->soundStreaming.store(streaming, std::memory_order_release);
}

void onProcess(void* data) {
    auto* loop = static_cast<Loop*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(loop->audio.stream);
    if (!buffer) return;
    spa_data& d = buffer->buffer->datas[0];
    if (!d.data) {
        pw_stream_queue_buffer(loop->audio.stream, buffer);
        return;
    }
    uint32_t frames = d.maxsize / kFrameBytes;
    const uint32_t asked = buffer->requested ? static_cast<uint32_t>(buffer->requested) : kDefaultPull;
    if (asked < frames) frames = asked;
    loop->sound.pull(static_cast<int16_t*>(d.data), static_cast<int32_t>(frames));
    d.chunk->offset = 0;
    d.chunk->stride = kFrameBytes;
    d.chunk->size = frames * kFrameBytes;
    pw_stream_queue_buffer(loop->audio.stream, buffer);
}

const pw_stream_events kSoundEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = onStateChanged;
    events.process = onProcess;
    return events;
}();

}  // namespace

bool createSoundNode(Loop& loop) {
    SoundNode& node = loop.audio;
    pw_properties* props = pw_properties_new(
        PW_KEY_NODE_NAME, "kestrel-capture-sound", PW_KEY_NODE_DESCRIPTION, "Kestrel Capture sound",
        PW_KEY_MEDIA_CLASS, "Audio/Source", PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
        PW_KEY_PRIORITY_SESSION, "1", PW_KEY_PRIORITY_DRIVER, "1", PW_KEY_APP_NAME, "Kestrel Capture", nullptr);
    node.stream = pw_stream_new(loop.core, "kestrel-capture-sound", props);
    if (!node.stream) return false;
    spa_zero(node.listener);
    pw_stream_add_listener(node.stream, &node.listener, &kSoundEvents, &loop);

    uint8_t storage[512];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_S16_LE;
    info.rate = SoundFeed::kRate;
    info.channels = 2;
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod* params[1] = {spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &info)};
    const int res = pw_stream_connect(node.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                                      static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
    if (res < 0) {
        debugPrintf("PipeWire: sound node refused: %s\n", std::strerror(-res));
        return false;
    }
    return true;
}

void destroySoundNode(Loop& loop) {
    SoundNode& node = loop.audio;
    loop.soundStreaming.store(false);
    if (node.stream) {
        spa_hook_remove(&node.listener);
        pw_stream_destroy(node.stream);
    }
    node = SoundNode{};
}
