// Snapshots: the UI thread reserves the frame and names the file; a save
// thread of its own copies the pixels, gives the frame back, then encodes
// and writes.
#include "record/snapshot.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "base/status_line.h"
#include "record/png_writer.h"
#include "settings/settings.h"

namespace {

constexpr const char* kSaveFailed = ".png save failed.";

// One allocation per snapshot: this header, the folder text, then the pixels.
// Owned by the save thread once it runs; it frees the block at its end.
struct SnapshotJob {
    FrameBuffer* frame;  // referenced until the pixels are copied
    char name[16];       // bare file name, "NNNNN.png"
    unsigned width;
    unsigned height;
    // The output folder as it was when the name was picked: the settings
    // record belongs to the UI thread.
    const char* folder;
    uint8_t* rgb;  // width x height x 3
};

int snapshotThread(SnapshotJob* job) {
    FrameBuffer* frame = job->frame;
    const uint32_t* src = frame->displayImage;
    uint8_t* dst = job->rgb;
    const size_t pixels = size_t(job->width) * job->height;
    for (size_t i = 0; i < pixels; ++i) {
        const uint32_t p = src[i];
        dst[0] = uint8_t(p >> 16);
        dst[1] = uint8_t(p >> 8);
        dst[2] = uint8_t(p);
        dst += 3;
    }
    // The pool gets its buffer back before the slow part.
    release(frame);
    job->frame = nullptr;

    const unsigned result = savePng(job->name, job->rgb, job->width, job->height);
    if (result == kPngOk)
        setStatusLine(std::string("Saved ") + job->folder + job->name);
    else
        setStatusLine(kSaveFailed);
    std::free(job);
    return 0;
}

}  // namespace

void saveSnapshot(FrameBuffer* frame) {
    const int32_t w = frame->layout.imageWidth;
    const int32_t h = frame->layout.imageHeight;
    const unsigned width = w > 0 ? unsigned(w) : 0;
    const unsigned height = h > 0 ? unsigned(h) : 0;
    const std::string folder = fieldToUtf8(settings.outputFolder);

    const size_t pixelBytes = size_t(width) * height * 3;
    const size_t folderBytes = folder.size() + 1;
    auto* job = static_cast<SnapshotJob*>(std::malloc(sizeof(SnapshotJob) + folderBytes + pixelBytes));
    if (!job) {
        setStatusLine(kSaveFailed);
        return;
    }
    char* folderCopy = reinterpret_cast<char*>(job + 1);
    std::memcpy(folderCopy, folder.c_str(), folderBytes);
    job->folder = folderCopy;
    job->rgb = reinterpret_cast<uint8_t*>(folderCopy + folderBytes);
    job->width = width;
    job->height = height;
    job->frame = frame;
    addRef(frame);

    if (!makeNumberedName(snapshotCounter, ".png", job->name)) {
        release(frame);
        std::free(job);
        setStatusLine(kSaveFailed);
        return;
    }
    try {
        std::thread thread(snapshotThread, job);
        pthread_setname_np(thread.native_handle(), "snapshot");
        thread.detach();
    } catch (const std::system_error&) {
        // No thread to own the job: undo it here.
        release(frame);
        std::free(job);
        setStatusLine(kSaveFailed);
    }
}
