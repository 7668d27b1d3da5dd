#include "share/pipewire/pipewire_share.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "base/debug_log.h"
#include "share/pipewire/share_loop.h"

using Loop = PipeWireShare::Loop;

namespace {

void onWake(void* data, uint64_t) { static_cast<Loop*>(data)->update(); }

void onRetry(void* data, uint64_t) {
    auto* loop = static_cast<Loop*>(data);
    loop->retryArmed = false;
    loop->update();
}

void onCoreError(void* data, uint32_t id, int, int res, const char* message) {
    auto* loop = static_cast<Loop*>(data);
    debugPrintf("PipeWire: error on %u: %s (%s)\n", id, message ? message : "", std::strerror(-res));
    // The daemon went away (or threw us out): start over once it is back.
    // Torn down from the wake event, outside the core's own callback.
    if (id == PW_ID_CORE) {
        loop->coreLost.store(true);
        pw_loop_signal_event(pw_thread_loop_get_loop(loop->thread), loop->wake);
    }
}

const pw_core_events kCoreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = onCoreError;
    return events;
}();

}  // namespace

void Loop::report(PipeWireShare::State state, const std::string& message) {
    if (state == reported && message == reportedMessage) return;
    reported = state;
    reportedMessage = message;
    owner.state_.store(state);
    debugPrintf("PipeWire: %s\n", message.c_str());
    if (handler) handler(handlerContext, state, message);
}

void Loop::armRetry(int seconds) {
    timespec timeout{seconds, 0};
    pw_loop_update_timer(pw_thread_loop_get_loop(thread), retry, &timeout, nullptr, false);
    retryArmed = true;
}

void Loop::connect() {
    // Made here rather than at start: loading the client's modules may talk
    // to the system bus (real-time scheduling), which the UI must not wait for.
    if (!context) context = pw_context_new(pw_thread_loop_get_loop(thread), nullptr, 0);
    if (!context) {
        report(PipeWireShare::State::NoPipeWire,
               std::string("the PipeWire client library could not start (") + std::strerror(errno) + ")");
        armRetry(2);
        return;
    }
    core = pw_context_connect(context, nullptr, 0);
    if (!core) {
        const int error = errno;
        const bool wasSharing = reported == PipeWireShare::State::Lost;
        if (wasSharing)
            report(PipeWireShare::State::Lost, "PipeWire stopped; waiting for it to return");
        else
            report(PipeWireShare::State::NoPipeWire,
                   std::string("PipeWire is not running (") + std::strerror(error) + ")");
        armRetry(2);
        return;
    }
    spa_zero(coreListener);
    pw_core_add_listener(core, &coreListener, &kCoreEvents, this);
    // While sharing is wanted the next state is the nodes' (update() follows).
    if (!wantSharing.load()) report(PipeWireShare::State::Ready, "PipeWire is running");
}

void Loop::disconnect() {
    if (nodesUp) {
        destroyVideoNode(*this);
        destroySoundNode(*this);
        nodesUp = false;
    }
    frames.clear();
    if (core) {
        spa_hook_remove(&coreListener);
        pw_core_disconnect(core);
        core = nullptr;
    }
}

void Loop::update() {
    if (coreLost.exchange(false) && core) {
        const bool wasSharing = nodesUp;
        disconnect();
        if (wasSharing)
            report(PipeWireShare::State::Lost, "PipeWire stopped; waiting for it to return");
        else
            report(PipeWireShare::State::NoPipeWire, "PipeWire stopped");
        armRetry(1);
        return;
    }
    if (!core) {
        frames.clear();
        if (!retryArmed) connect();
        if (!core) return;
    }
    const bool want = wantSharing.load();
    if (want && !nodesUp) {
        nodesUp = createVideoNode(*this) && createSoundNode(*this);
        if (!nodesUp) {
            destroyVideoNode(*this);
            destroySoundNode(*this);
            report(PipeWireShare::State::Ready, "PipeWire refused the camera's nodes");
        } else {
            report(PipeWireShare::State::Sharing, "Sharing as camera \"Kestrel Capture\"");
        }
    } else if (!want && nodesUp) {
        destroyVideoNode(*this);
        destroySoundNode(*this);
        nodesUp = false;
        report(PipeWireShare::State::Ready, "Camera sharing off");
    }
    if (nodesUp)
        driveVideoNode(*this);
    else
        frames.clear();
}

// The public side ---------------------------------------------------------------

PipeWireShare::PipeWireShare() = default;
PipeWireShare::~PipeWireShare() { stop(); }

bool PipeWireShare::start(StateHandler handler, void* context, std::string* error) {
    if (loop_) return true;
    pw_init(nullptr, nullptr);
    auto loop = std::make_unique<Loop>(*this);
    loop->handler = handler;
    loop->handlerContext = context;
    loop->thread = pw_thread_loop_new("share", nullptr);
    if (loop->thread) {
        pw_loop* l = pw_thread_loop_get_loop(loop->thread);
        loop->wake = pw_loop_add_event(l, onWake, loop.get());
        loop->retry = pw_loop_add_timer(l, onRetry, loop.get());
    }
    if (!loop->thread || !loop->wake || !loop->retry || pw_thread_loop_start(loop->thread) != 0) {
        if (error) *error = std::string("the PipeWire client library could not start: ") + std::strerror(errno);
        if (loop->thread) pw_thread_loop_destroy(loop->thread);  // its sources go with it
        return false;
    }
    loop->wantScale.store(wantScale_);
    loop->wantSharing.store(wantSharing_);
    loop_ = std::move(loop);
    pw_loop_signal_event(pw_thread_loop_get_loop(loop_->thread), loop_->wake);
    return true;
}

void PipeWireShare::stop() {
    if (!loop_) return;
    pw_thread_loop_lock(loop_->thread);
    loop_->disconnect();
    if (loop_->context) pw_context_destroy(loop_->context);
    loop_->context = nullptr;
    pw_thread_loop_unlock(loop_->thread);
    pw_thread_loop_stop(loop_->thread);
    pw_loop* l = pw_thread_loop_get_loop(loop_->thread);
    pw_loop_destroy_source(l, loop_->wake);
    pw_loop_destroy_source(l, loop_->retry);
    pw_thread_loop_destroy(loop_->thread);
    loop_.reset();
    state_.store(State::Starting);
}

void PipeWireShare::setSharing(bool on) {
    wantSharing_ = on;
    if (!loop_) return;
    loop_->wantSharing.store(on);
    pw_loop_signal_event(pw_thread_loop_get_loop(loop_->thread), loop_->wake);
}

void PipeWireShare::setScale(int scale) {
    wantScale_ = clampShareScale(scale);
    if (!loop_) return;
    loop_->wantScale.store(wantScale_);
    pw_loop_signal_event(pw_thread_loop_get_loop(loop_->thread), loop_->wake);
}

void PipeWireShare::offerFrame(FrameBuffer* frame) {
    if (!loop_) return;
    const bool video = loop_->videoStreaming.load(std::memory_order_acquire);
    if (loop_->soundStreaming.load(std::memory_order_acquire))
        loop_->sound.push(frame->audioData, frame->audioLength);
    if (!video) return;
    loop_->frames.offer(frame);
    pw_loop_signal_event(pw_thread_loop_get_loop(loop_->thread), loop_->wake);
}

PipeWireShare::Stats PipeWireShare::stats() const {
    Stats s;
    if (!loop_) return s;
    s.queued = loop_->queued.load();
    s.noBuffer = loop_->noBuffer.load();
    s.replaced = loop_->frames.replaced();
    s.width = loop_->width.load();
    s.height = loop_->height.load();
    s.soundWaitingMs = loop_->sound.waiting() * 1000.0 / SoundFeed::kRate;
    const SoundFeed::Counts counts = loop_->sound.counts();
    s.soundUnderruns = counts.underruns;
    s.soundAdjusted = counts.adjusted;
    return s;
}
