#include "record/ffmpeg/ffmpeg_version.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/avutil.h>
}

std::string ffmpegVersion() {
    const unsigned codec = avcodec_version();
    std::string release = av_version_info();
    if (release.rfind("n", 0) == 0 && release.size() > 1) release.erase(0, 1);
    return release + " (libavcodec " + std::to_string(AV_VERSION_MAJOR(codec)) + "." +
           std::to_string(AV_VERSION_MINOR(codec)) + "." + std::to_string(AV_VERSION_MICRO(codec)) + ")";
}
