// The camera node: the decoded picture, queued the moment it exists. The
// node drives its own graph (a frame every time the board delivers one, not
// on a clock of the graph's), offers each pixel order as a fixed format of
// its own at the board's fixed frame rate, and drops a frame rather than
// wait when the consumers hold every buffer.
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <chrono>
#include <cstring>

#include "base/debug_log.h"
#include "display/decode.h"
#include "settings/settings.h"
#include "share/pipewire/share_loop.h"

using Loop = PipeWireShare::Loop;

namespace {

constexpr spa_fraction kFrameRate{5983, 100};  // the board's 59.83 frames per second
constexpr int kBuffers = 4;

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const spa_pod* videoFormat(spa_pod_builder* b, uint32_t id, spa_video_format format, PictureSize size) {
    const spa_rectangle rectangle{static_cast<uint32_t>(size.width), static_cast<uint32_t>(size.height)};
    return static_cast<const spa_pod*>(spa_pod_builder_add_object(
        b, SPA_TYPE_OBJECT_Format, id, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format, SPA_POD_Id(format),
        SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&rectangle), SPA_FORMAT_VIDEO_framerate,
        SPA_POD_Fraction(&kFrameRate)));
}

// One EnumFormat per pixel order, each fully fixed: camera sources read a
// format's pixel order and rate as single values.
int enumFormats(spa_pod_builder* b, PictureSize size, const spa_pod** params) {
    params[0] = videoFormat(b, SPA_PARAM_EnumFormat, SPA_VIDEO_FORMAT_BGRx, size);
    params[1] = videoFormat(b, SPA_PARAM_EnumFormat, SPA_VIDEO_FORMAT_RGBx, size);
    return 2;
}

// The size a new node starts with: the current display type's layout.
PictureSize startingSize(int scale) {
    const uint32_t type = settings.displayType;
    const DisplayLayout& layout = displayTypeTable[type >= 1 && type < kDisplayTypeCount ? type : 1];
    return sharedPictureSize(layout, scale);
}

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    auto* loop = static_cast<Loop*>(data);
    debugPrintf("PipeWire: camera node %s%s%s\n", pw_stream_state_as_string(state), error ? ": " : "",
                error ? error : "");
    loop->videoStreaming.store(state == PW_STREAM_STATE_STREAMING, std::memory_order_release);
    if (state != PW_STREAM_STATE_STREAMING) loop->frames.clear();
}

void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
    auto* loop = static_cast<Loop*>(data);
    VideoNode& node = loop->video;
    if (id != SPA_PARAM_Format) return;
    spa_video_info_raw info{};
    if (!param || spa_format_video_raw_parse(param, &info) < 0) {
        node.negotiated = {};
        return;
    }
    node.order = info.format == SPA_VIDEO_FORMAT_RGBx ? PixelOrder::RGBx : PixelOrder::BGRx;
    node.negotiated = {static_cast<int>(info.size.width), static_cast<int>(info.size.height)};
    node.stride = node.negotiated.width * 4;
    loop->width.store(node.negotiated.width);
    loop->height.store(node.negotiated.height);
    debugPrintf("PipeWire: camera format %s %dx%d\n", node.order == PixelOrder::RGBx ? "RGBx" : "BGRx",
                node.negotiated.width, node.negotiated.height);

    uint8_t storage[512];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_pod* params[2];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(kBuffers, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
        SPA_PARAM_BUFFERS_size, SPA_POD_Int(node.stride * node.negotiated.height), SPA_PARAM_BUFFERS_stride,
        SPA_POD_Int(node.stride), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
        SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    pw_stream_update_params(node.stream, params, 2);
}

// Offers the formats at a new size; the consumer renegotiates.
void offerSize(Loop& loop, PictureSize size) {
    VideoNode& node = loop.video;
    uint8_t storage[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_pod* params[2];
    const int count = enumFormats(&b, size, params);
    node.offered = size;
    pw_stream_update_params(node.stream, params, count);
    debugPrintf("PipeWire: camera size now %dx%d\n", size.width, size.height);
}

void onProcess(void* data) {
    auto* loop = static_cast<Loop*>(data);
    VideoNode& node = loop->video;
    FrameBuffer* frame = loop->frames.take();
    if (!frame) return;
    const PictureSize size = sharedPictureSize(frame->layout, node.scale);
    if (size.width > 0 && !(size == node.offered)) offerSize(*loop, size);
    if (!(size == node.negotiated) || size.width == 0) {
        release(frame);  // the consumer has not taken this size yet
        return;
    }
    pw_buffer* buffer = pw_stream_dequeue_buffer(node.stream);
    if (!buffer) {
        loop->noBuffer.fetch_add(1, std::memory_order_relaxed);
        release(frame);
        return;
    }
    spa_buffer* b = buffer->buffer;
    spa_data& d = b->datas[0];
    const uint32_t bytes = static_cast<uint32_t>(node.stride) * static_cast<uint32_t>(size.height);
    if (d.data && d.maxsize >= bytes) {
        copySharedPicture(*frame, node.scale, node.order, static_cast<uint8_t*>(d.data), node.stride);
        d.chunk->offset = 0;
        d.chunk->size = bytes;
        d.chunk->stride = node.stride;
        d.chunk->flags = 0;
    } else {
        d.chunk->size = 0;
        d.chunk->flags = SPA_CHUNK_FLAG_CORRUPTED;
    }
    const int64_t now = nowNs();
    if (auto* header = static_cast<spa_meta_header*>(spa_buffer_find_meta_data(b, SPA_META_Header, sizeof(spa_meta_header)))) {
        header->flags = 0;
        header->offset = 0;
        header->pts = now;
        header->dts_offset = 0;
        header->seq = node.sequence++;
    }
    pw_stream_queue_buffer(node.stream, buffer);
    loop->queued.fetch_add(1, std::memory_order_relaxed);
    if (PipeWireShare::QueuedHook hook = loop->owner.queuedHook()) hook(frame, now);
    release(frame);
}

const pw_stream_events kVideoEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = onStateChanged;
    events.param_changed = onParamChanged;
    events.process = onProcess;
    return events;
}();

}  // namespace

bool createVideoNode(Loop& loop) {
    VideoNode& node = loop.video;
    node = VideoNode{};
    node.scale = clampShareScale(loop.wantScale.load());
    pw_properties* props = pw_properties_new(
        PW_KEY_NODE_NAME, "kestrel-capture-video", PW_KEY_NODE_DESCRIPTION, "Kestrel Capture", PW_KEY_MEDIA_CLASS,
        "Video/Source", PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
        "Capture", PW_KEY_APP_NAME, "Kestrel Capture", nullptr);
    node.stream = pw_stream_new(loop.core, "kestrel-capture-video", props);
    if (!node.stream) return false;
    spa_zero(node.listener);
    pw_stream_add_listener(node.stream, &node.listener, &kVideoEvents, &loop);

    uint8_t storage[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_pod* params[2];
    node.offered = startingSize(node.scale);
    const int count = enumFormats(&b, node.offered, params);
    const int res = pw_stream_connect(node.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                                      static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
                                      params, count);
    if (res < 0) {
        debugPrintf("PipeWire: camera node refused: %s\n", std::strerror(-res));
        return false;
    }
    return true;
}

void destroyVideoNode(Loop& loop) {
    VideoNode& node = loop.video;
    loop.videoStreaming.store(false);
    loop.frames.clear();
    if (node.stream) {
        spa_hook_remove(&node.listener);
        pw_stream_destroy(node.stream);
    }
    node = VideoNode{};
    loop.width.store(0);
    loop.height.store(0);
}

void driveVideoNode(Loop& loop) {
    VideoNode& node = loop.video;
    if (!node.stream) return;
    const int scale = clampShareScale(loop.wantScale.load());
    // A new size: the next frame offers it.
    node.scale = scale;
    if (loop.videoStreaming.load()) pw_stream_trigger_process(node.stream);
}
