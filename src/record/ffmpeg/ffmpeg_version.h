#pragma once
// The FFmpeg libraries in use, for the About box.
#include <string>

// "5.1.6 (libavcodec 59.37.100)": the release and the codec library loaded at run time.
std::string ffmpegVersion();
