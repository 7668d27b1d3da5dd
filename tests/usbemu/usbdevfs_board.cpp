#include "usbemu/usbdevfs_board.h"

#include <dlfcn.h>
#include <errno.h>
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

namespace usbemu {

namespace {

// A URB waits in the model at most this long: libusb's own time-outs end
// it sooner by discarding it, and a transfer left with no time-out cannot
// hang a broken test for ever.
constexpr uint32_t kModelWaitMs = 10000;

uint8_t lo(uint16_t v) { return static_cast<uint8_t>(v & 0xFF); }
uint8_t hi(uint16_t v) { return static_cast<uint8_t>(v >> 8); }

std::vector<uint8_t> descriptorBytes(Descriptors kind) {
    std::vector<uint8_t> d = {18, 1, 0x00, 0x02, 0, 0, 0, 64, lo(kVendor), hi(kVendor), lo(kProduct), hi(kProduct),
                              0x00, 0x01, 1, 2, 0, 1};
    auto endpoint = [](uint8_t address, uint8_t attributes, uint16_t size) {
        return std::vector<uint8_t>{7, 5, address, attributes, lo(size), hi(size), attributes == 3 ? uint8_t{4} : uint8_t{0}};
    };
    std::vector<uint8_t> body;
    auto add = [&](const std::vector<uint8_t>& part) { body.insert(body.end(), part.begin(), part.end()); };
    uint8_t interfaces = 1;
    switch (kind) {
        case Descriptors::Board:
        case Descriptors::ShortConfig:
            add({9, 4, 0, 0, 2, 0xFF, 0, 0, 0});
            add(endpoint(kFramePipe, 2, 512));
            add(endpoint(0x01, 2, 512));
            break;
        case Descriptors::SecondInterface:
            interfaces = 2;
            add({9, 4, 0, 0, 1, 0x03, 0, 0, 0});
            add(endpoint(0x81, 3, 8));
            add({9, 4, 1, 0, 2, 0xFF, 0, 0, 0});
            add(endpoint(kFramePipe, 2, 512));
            add(endpoint(0x01, 2, 512));
            break;
        case Descriptors::NoFramePipe:
            add({9, 4, 0, 0, 1, 0xFF, 0, 0, 0});
            add(endpoint(0x81, 2, 512));
            break;
    }
    const uint16_t total = static_cast<uint16_t>(9 + body.size());
    std::vector<uint8_t> config = {9, 2, lo(total), hi(total), interfaces, 1, 0, 0x80, 250};
    d.insert(d.end(), config.begin(), config.end());
    if (kind == Descriptors::ShortConfig) body.resize(5);  // cut inside the interface descriptor
    d.insert(d.end(), body.begin(), body.end());
    return d;
}

bool hasInterface(const std::vector<uint8_t>& d, unsigned number) {
    for (size_t i = 18; i + 2 < d.size() && d[i] > 0; i += d[i])
        if (d[i + 1] == 4 && i + 2 < d.size() && d[i + 2] == number) return true;
    return false;
}

}  // namespace

struct Attachment;

struct Urb {
    Attachment* at = nullptr;
    UMockdevIoctlClient* client = nullptr;  // a reference
    UMockdevIoctlData* urb = nullptr;       // a reference
    UMockdevIoctlData* buffer = nullptr;    // a reference
    uint8_t type = 0;
    uint8_t endpoint = 0;
    std::vector<uint8_t> data;  // the URB's buffer; for a control URB the setup packet first
    std::atomic<bool> cancelled{false};
    bool discarded = false;
    int status = 0;
    int actual = 0;
    ~Urb() {
        if (buffer) g_object_unref(buffer);
        if (urb) g_object_unref(urb);
        if (client) g_object_unref(client);
    }
};

// One appearance of the board on the bus, under one device number.
struct Attachment {
    UsbdevfsBoard::State* state = nullptr;
    int devnum = 0;
    std::string devnode;
    std::string syspath;
    uint64_t generation = 0;
    bool gone = false;  // guarded by State::mutex
    UMockdevIoctlBase* handler = nullptr;
    std::map<unsigned, UMockdevIoctlClient*> claims;  // GLib thread only
};

struct UsbdevfsBoard::State {
    usb::BoardModel& model;
    std::vector<uint8_t> descriptors;
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    std::thread glib;
    UMockdevTestbed* testbed = nullptr;
    std::string root;

    mutable std::mutex mutex;  // guards the queues and the attachments' `gone`
    std::condition_variable work;
    std::deque<std::shared_ptr<Urb>> queued;     // waiting for the worker
    std::shared_ptr<Urb> running;                // in the model now
    std::deque<std::shared_ptr<Urb>> completed;  // to be reaped
    std::vector<std::unique_ptr<Attachment>> attachments;
    int nextDevnum = 2;
    bool stopping = false;
    uint64_t urbsDone = 0;
    std::thread worker;

    explicit State(usb::BoardModel& m) : model(m) {}

    // Runs fn on the GLib thread and waits for it.
    template <typename Fn>
    void onGlib(Fn fn) {
        if (g_main_context_is_owner(context)) return fn();
        std::mutex done;
        std::condition_variable cv;
        bool finished = false;
        struct Call {
            Fn* fn;
            std::mutex* done;
            std::condition_variable* cv;
            bool* finished;
        } call{&fn, &done, &cv, &finished};
        g_main_context_invoke(
            context,
            [](gpointer p) -> gboolean {
                auto* c = static_cast<Call*>(p);
                (*c->fn)();
                std::lock_guard<std::mutex> lock(*c->done);
                *c->finished = true;
                c->cv->notify_all();
                return G_SOURCE_REMOVE;
            },
            &call);
        std::unique_lock<std::mutex> lock(done);
        cv.wait(lock, [&] { return finished; });
    }

    // Posts fn to the GLib thread without waiting (from the model's threads).
    template <typename Fn>
    void postGlib(Fn fn) {
        auto* heap = new Fn(std::move(fn));
        g_main_context_invoke_full(
            context, G_PRIORITY_DEFAULT,
            [](gpointer p) -> gboolean {
                (*static_cast<Fn*>(p))();
                return G_SOURCE_REMOVE;
            },
            heap, [](gpointer p) { delete static_cast<Fn*>(p); });
    }

    void attach();  // GLib thread
    void leave();   // any thread
    void removeFromTestbed(Attachment* at);  // GLib thread
    void workLoop();
    void runUrb(Urb& u);
    bool handleIoctl(Attachment* at, UMockdevIoctlClient* client);
    void clientVanished(Attachment* at, UMockdevIoctlClient* client);
};

namespace {

void complete(UMockdevIoctlClient* client, long result, int error) {
    umockdev_ioctl_client_complete(client, result, error);
}

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* at = static_cast<Attachment*>(self);
    return at->state->handleIoctl(at, client);
}

void onVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* at = static_cast<Attachment*>(self);
    at->state->clientVanished(at, client);
}

uint32_t readU32(UMockdevIoctlData* arg) {
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
    if (!d) return ~0u;
    uint32_t v;
    std::memcpy(&v, d->data, sizeof v);
    g_object_unref(d);
    return v;
}

}  // namespace

void UsbdevfsBoard::State::attach() {
    auto at = std::make_unique<Attachment>();
    at->state = this;
    at->devnum = nextDevnum++;
    at->generation = model.generation();
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", at->devnum);
    at->devnode = node;
    at->syspath = "/sys/devices/usb1";
    at->handler = umockdev_ioctl_base_new();
    g_signal_connect_after(at->handler, "handle-ioctl", G_CALLBACK(onIoctl), at.get());
    g_signal_connect(at->handler, "client-vanished", G_CALLBACK(onVanished), at.get());
    // The handler first, so that an opener woken by the uevent finds it.
    umockdev_testbed_attach_ioctl(testbed, at->devnode.c_str(), at->handler, nullptr);
    char record[1024];
    std::snprintf(record, sizeof record,
                  "P: /devices/usb1\nN: bus/usb/001/%03d\n"
                  "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n"
                  "E: DEVNAME=/dev/bus/usb/001/%03d\nE: BUSNUM=001\nE: DEVNUM=%03d\n"
                  "E: ID_VENDOR_ID=%04x\nE: ID_MODEL_ID=%04x\n"
                  "A: busnum=1\\n\nA: devnum=%d\\n\nA: speed=480\\n\nA: bConfigurationValue=1\\n\n"
                  "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\n"
                  "A: manufacturer=Kestrel test bench\\n\nA: product=Emulated capture board\\n\n",
                  at->devnum, at->devnum, at->devnum, kVendor, kProduct, at->devnum, kVendor, kProduct);
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, record, &error)) {
        std::fprintf(stderr, "usbemu: cannot add the board: %s\n", error ? error->message : "?");
        if (error) g_error_free(error);
    }
    umockdev_testbed_set_attribute_binary(testbed, at->syspath.c_str(), "descriptors", descriptors.data(),
                                          static_cast<gint>(descriptors.size()));
    umockdev_testbed_uevent(testbed, at->syspath.c_str(), "add");
    std::lock_guard<std::mutex> lock(mutex);
    attachments.push_back(std::move(at));
}

void UsbdevfsBoard::State::leave() {
    std::vector<Attachment*> left;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& at : attachments)
            if (!at->gone) {
                at->gone = true;
                left.push_back(at.get());
            }
        // What never reached the board ends as the kernel ends it at a disconnect.
        for (auto& u : queued) {
            u->status = -ESHUTDOWN;
            completed.push_back(u);
        }
        queued.clear();
    }
    for (Attachment* at : left) postGlib([this, at] { removeFromTestbed(at); });
}

void UsbdevfsBoard::State::removeFromTestbed(Attachment* at) {
    umockdev_testbed_uevent(testbed, at->syspath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed, at->syspath.c_str());
}

bool UsbdevfsBoard::State::handleIoctl(Attachment* at, UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    bool gone;
    {
        std::lock_guard<std::mutex> lock(mutex);
        gone = at->gone;
    }

    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            // One URB per transfer, whatever its length.
            UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
            uint32_t caps = USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
            umockdev_ioctl_data_update(d, 0, reinterpret_cast<guint8*>(&caps), sizeof caps);
            g_object_unref(d);
            complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_GETDRIVER:
        case USBDEVFS_IOCTL:  // no kernel driver to detach or attach
            complete(client, -1, gone ? ENODEV : ENODATA);
            return TRUE;
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_DISCONNECT_CLAIM:
        case USBDEVFS_RELEASEINTERFACE: {
            const unsigned number = readU32(arg);
            if (gone) return complete(client, -1, ENODEV), TRUE;
            if (!hasInterface(descriptors, number)) return complete(client, -1, EINVAL), TRUE;
            auto it = at->claims.find(number);
            if (request == USBDEVFS_RELEASEINTERFACE) {
                if (it == at->claims.end() || it->second != client) return complete(client, -1, EINVAL), TRUE;
                at->claims.erase(it);
            } else {
                if (it != at->claims.end() && it->second != client) return complete(client, -1, EBUSY), TRUE;
                at->claims[number] = client;
            }
            complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP:
        case USBDEVFS_SETINTERFACE:
            complete(client, gone ? -1 : 0, gone ? ENODEV : 0);
            return TRUE;
        case USBDEVFS_SUBMITURB: {
            if (gone) return complete(client, -1, ENODEV), TRUE;
            UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
            if (!urbData) return complete(client, -1, EFAULT), TRUE;
            usbdevfs_urb header;
            std::memcpy(&header, urbData->data, sizeof header);
            const bool control = header.type == USBDEVFS_URB_TYPE_CONTROL;
            if ((header.type != USBDEVFS_URB_TYPE_BULK && !control) || header.buffer_length < 0 ||
                (control && header.buffer_length < 8)) {
                g_object_unref(urbData);
                return complete(client, -1, EINVAL), TRUE;
            }
            auto u = std::make_shared<Urb>();
            u->at = at;
            u->client = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
            u->urb = urbData;
            u->type = header.type;
            u->endpoint = header.endpoint;
            u->buffer = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                                    static_cast<gsize>(header.buffer_length), nullptr);
            if (!u->buffer) return complete(client, -1, EFAULT), TRUE;
            u->data.assign(u->buffer->data, u->buffer->data + header.buffer_length);
            {
                std::lock_guard<std::mutex> lock(mutex);
                queued.push_back(std::move(u));
            }
            work.notify_all();
            complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_DISCARDURB: {
            const gulong address = *reinterpret_cast<gulong*>(arg->data);
            std::shared_ptr<Urb> found;
            {
                std::lock_guard<std::mutex> lock(mutex);
                auto match = [&](const std::shared_ptr<Urb>& u) { return u->urb->client_addr == address; };
                if (auto it = std::find_if(queued.begin(), queued.end(), match); it != queued.end()) {
                    found = *it;
                    queued.erase(it);
                    found->status = -ENOENT;
                    found->discarded = true;
                    completed.push_back(found);
                } else if (running && match(running)) {
                    found = running;
                    found->cancelled = true;
                }
            }
            if (!found) return complete(client, -1, EINVAL), TRUE;
            work.notify_all();
            model.interruptWaits();
            complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY: {
            std::shared_ptr<Urb> u;
            {
                std::lock_guard<std::mutex> lock(mutex);
                auto it = std::find_if(completed.begin(), completed.end(),
                                       [&](const std::shared_ptr<Urb>& c) { return c->client == client; });
                if (it != completed.end()) {
                    u = *it;
                    completed.erase(it);
                    ++urbsDone;
                }
            }
            if (!u) return complete(client, -1, gone ? ENODEV : EAGAIN), TRUE;
            const size_t offset = u->type == USBDEVFS_URB_TYPE_CONTROL ? 8 : 0;
            const bool in = u->type == USBDEVFS_URB_TYPE_CONTROL ? (u->data[0] & 0x80) != 0 : (u->endpoint & 0x80) != 0;
            if (in && u->actual > 0)
                umockdev_ioctl_data_update(u->buffer, offset, u->data.data() + offset, u->actual);
            umockdev_ioctl_data_update(u->urb, offsetof(usbdevfs_urb, status), reinterpret_cast<guint8*>(&u->status),
                                       sizeof u->status);
            umockdev_ioctl_data_update(u->urb, offsetof(usbdevfs_urb, actual_length),
                                       reinterpret_cast<guint8*>(&u->actual), sizeof u->actual);
            UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
            umockdev_ioctl_data_set_ptr(slot, 0, u->urb);
            g_object_unref(slot);
            complete(client, 0, 0);
            return TRUE;
        }
        default:
            complete(client, -1, ENOTTY);
            return TRUE;
    }
}

void UsbdevfsBoard::State::clientVanished(Attachment* at, UMockdevIoctlClient* client) {
    for (auto it = at->claims.begin(); it != at->claims.end();)
        it = it->second == client ? at->claims.erase(it) : std::next(it);
    std::lock_guard<std::mutex> lock(mutex);
    auto mine = [&](const std::shared_ptr<Urb>& u) { return u->client == client; };
    queued.erase(std::remove_if(queued.begin(), queued.end(), mine), queued.end());
    completed.erase(std::remove_if(completed.begin(), completed.end(), mine), completed.end());
    if (running && mine(running)) running->cancelled = true;
}

void UsbdevfsBoard::State::workLoop() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        work.wait(lock, [&] { return stopping || !queued.empty(); });
        if (stopping) return;
        running = queued.front();
        queued.pop_front();
        std::shared_ptr<Urb> u = running;
        lock.unlock();
        runUrb(*u);
        lock.lock();
        running.reset();
        completed.push_back(u);
    }
}

void UsbdevfsBoard::State::runUrb(Urb& u) {
    usb::BoardModel::Pipes pipes{kModelWaitMs, kModelWaitMs, &u.cancelled};
    const uint64_t generation = u.at->generation;
    bool ok;
    uint32_t moved = 0;
    if (u.type == USBDEVFS_URB_TYPE_CONTROL) {
        usb::SetupPacket setup;
        setup.bmRequestType = u.data[0];
        setup.bRequest = u.data[1];
        setup.wValue = static_cast<uint16_t>(u.data[2] | u.data[3] << 8);
        setup.wIndex = static_cast<uint16_t>(u.data[4] | u.data[5] << 8);
        setup.wLength = static_cast<uint16_t>(u.data[6] | u.data[7] << 8);
        const uint32_t room = static_cast<uint32_t>(u.data.size() - 8);
        ok = model.control(generation, pipes, setup, room ? u.data.data() + 8 : nullptr, room, &moved);
    } else {
        ok = model.read(generation, pipes, u.endpoint, u.data.data(), static_cast<uint32_t>(u.data.size()), &moved);
    }
    const uint32_t error = ok ? usb::kErrorNone : usb::lastError();
    u.actual = static_cast<int>(moved);
    if (ok) u.status = 0;
    else if (error == usb::kErrorNoDevice) u.status = -ESHUTDOWN;
    else if (error == usb::kErrorSemTimeout && !u.cancelled) {
        // A board that does not answer: the URB stays out until it is discarded.
        std::unique_lock<std::mutex> lock(mutex);
        work.wait_for(lock, std::chrono::milliseconds(kModelWaitMs), [&] { return u.cancelled.load() || stopping; });
        u.status = u.cancelled ? -ENOENT : -ETIMEDOUT;
    } else if (error == usb::kErrorSemTimeout) u.status = -ENOENT;
    else u.status = -EPIPE;  // a stall, as the board refuses a request
}

UsbdevfsBoard::UsbdevfsBoard(usb::BoardModel& model, Descriptors descriptors)
    : state_(std::make_unique<State>(model)) {
    State& s = *state_;
    s.descriptors = descriptorBytes(descriptors);
    s.context = g_main_context_new();
    s.loop = g_main_loop_new(s.context, FALSE);
    std::mutex ready;
    std::condition_variable cv;
    bool started = false;
    s.glib = std::thread([&s, &ready, &cv, &started] {
        g_main_context_push_thread_default(s.context);
        s.testbed = umockdev_testbed_new();
        char* root = umockdev_testbed_get_root_dir(s.testbed);
        s.root = root;
        g_free(root);
        if (s.model.present()) s.attach();
        {
            std::lock_guard<std::mutex> lock(ready);
            started = true;
        }
        cv.notify_all();
        g_main_loop_run(s.loop);
        g_main_context_pop_thread_default(s.context);
    });
    {
        std::unique_lock<std::mutex> lock(ready);
        cv.wait(lock, [&] { return started; });
    }
    s.worker = std::thread([&s] { s.workLoop(); });
    model.setBusListener([&s](bool present) {
        if (!present) return s.leave();
        s.postGlib([&s] { s.attach(); });
    });
}

UsbdevfsBoard::~UsbdevfsBoard() {
    State& s = *state_;
    s.model.setBusListener(nullptr);
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.stopping = true;
        if (s.running) s.running->cancelled = true;
    }
    s.work.notify_all();
    s.model.interruptWaits();
    s.worker.join();
    s.onGlib([&s] {
        s.queued.clear();
        s.completed.clear();
        for (auto& at : s.attachments) g_object_unref(at->handler);
        g_object_unref(s.testbed);
        s.testbed = nullptr;
    });
    g_main_loop_quit(s.loop);
    s.glib.join();
    g_main_loop_unref(s.loop);
    g_main_context_unref(s.context);
}

std::string UsbdevfsBoard::rootDir() const { return state_->root; }

int UsbdevfsBoard::deviceNumber() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->attachments.empty() ? 0 : state_->attachments.back()->devnum;
}

void UsbdevfsBoard::vanish() {
    State& s = *state_;
    Attachment* at = nullptr;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!s.attachments.empty() && !s.attachments.back()->gone) {
            at = s.attachments.back().get();
            at->gone = true;
        }
    }
    if (at) s.onGlib([&s, at] { s.removeFromTestbed(at); });
}

std::vector<unsigned> UsbdevfsBoard::claimedInterfaces() const {
    State& s = *state_;
    std::vector<unsigned> out;
    s.onGlib([&] {
        if (s.attachments.empty()) return;
        for (const auto& [number, client] : s.attachments.back()->claims) out.push_back(number);
    });
    return out;
}

uint64_t UsbdevfsBoard::urbsCompleted() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->urbsDone;
}

namespace {
constexpr const char* kPreload = "libumockdev-preload.so.0";
constexpr const char* kAgain = "KESTREL_USBEMU_AGAIN";
}  // namespace

bool emulationAvailable(std::string* why) {
    if (dlopen(kPreload, RTLD_NOW | RTLD_NOLOAD) != nullptr) return true;
    if (why)
        *why = "umockdev's preload library is not loaded in this process (run it under umockdev-wrapper); "
               "the libusb path cannot be emulated here";
    return false;
}

namespace {
// The options without log_path: a sanitizer runtime opening its log file
// before the preload has set itself up crashes the program, so behind the
// preload its reports go to standard error (and still fail the run).
std::string withoutLogPath(const char* options) {
    std::string kept, item;
    std::istringstream in(options ? options : "");
    while (std::getline(in, item, ':'))
        if (!item.empty() && item.rfind("log_path=", 0) != 0) kept += (kept.empty() ? "" : ":") + item;
    return kept;
}
}  // namespace

void allowPreloadBeforeSanitizer() {
    // In an AddressSanitizer build its runtime would refuse to start behind
    // the preload; elsewhere these options are not read.
    std::string asan = withoutLogPath(std::getenv("ASAN_OPTIONS"));
    asan += (asan.empty() ? "" : ":") + std::string("verify_asan_link_order=0");
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
    const std::string ubsan = withoutLogPath(std::getenv("UBSAN_OPTIONS"));
    setenv("UBSAN_OPTIONS", ubsan.c_str(), 1);
}

void runUnderUmockdev(char** argv) {
    if (emulationAvailable(nullptr) || std::getenv(kAgain)) return;
    std::string preload = kPreload;
    if (const char* old = std::getenv("LD_PRELOAD"); old && *old) preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    allowPreloadBeforeSanitizer();
    setenv(kAgain, "1", 1);
    execv("/proc/self/exe", argv);  // on failure, carry on without the emulation
}

}  // namespace usbemu
