#include "record/ffmpeg/avi_totals.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace media {

namespace {

uint32_t le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24); }
bool isTag(const uint8_t* p, const char* tag) { return std::memcmp(p, tag, 4) == 0; }

}  // namespace

AviTotals::~AviTotals() { close(); }

void AviTotals::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool AviTotals::open(const std::string& fileName) {
    close();
    fd_ = ::open(fileName.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) return false;
    // The header lists: RIFF AVI, LIST hdrl (avih, LIST strl (strh, strf, ...)...), then LIST movi.
    std::vector<uint8_t> head(1 << 16);
    const ssize_t got = ::pread(fd_, head.data(), head.size(), 0);
    if (got < 12 || !isTag(&head[0], "RIFF") || !isTag(&head[8], "AVI ")) return false;
    streams_.clear();
    int64_t pos = 12;
    const int64_t end = got;
    while (pos + 12 <= end) {
        const uint8_t* c = &head[static_cast<size_t>(pos)];
        const uint32_t size = le32(c + 4);
        if (isTag(c, "LIST") && isTag(c + 8, "movi")) {
            moviStart_ = pos;
            scan_ = complete_ = pos + 12;
            riffStart_ = 0;
            return !streams_.empty() && totalFramesField_ > 0;
        }
        if (isTag(c, "LIST")) {
            pos += 12;  // into hdrl and strl
            continue;
        }
        if (isTag(c, "avih") && pos + 8 + 20 <= end) totalFramesField_ = pos + 8 + 16;
        if (isTag(c, "strh") && pos + 8 + 36 <= end) {
            Stream s;
            s.audio = isTag(c + 8, "auds");
            s.lengthField = pos + 8 + 32;
            streams_.push_back(s);
        }
        if (isTag(c, "strf") && !streams_.empty() && streams_.back().audio && pos + 8 + 14 <= end) {
            const int align = c[8 + 12] | (c[8 + 13] << 8);
            streams_.back().blockAlign = align > 0 ? align : 1;
        }
        pos += 8 + size + (size & 1);
    }
    return false;
}

bool AviTotals::update() {
    if (fd_ < 0) return false;
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return false;
    const int64_t fileEnd = st.st_size;
    uint8_t c[12];
    while (scan_ + 8 <= fileEnd) {
        if (::pread(fd_, c, sizeof c, scan_) < 8) break;
        const uint32_t size = le32(c + 4);
        if (isTag(c, "RIFF")) {
            // The next part of a large file (AVIX): its own RIFF and movi lists.
            if (scan_ + 24 > fileEnd) break;
            uint8_t list[12];
            if (::pread(fd_, list, sizeof list, scan_ + 12) < 12 || !isTag(list, "LIST")) break;
            riffStart_ = scan_;
            moviStart_ = scan_ + 12;
            firstRiff_ = false;
            scan_ = complete_ = scan_ + 24;
            continue;
        }
        const int64_t next = scan_ + 8 + size + (size & 1);
        if (next > fileEnd) break;  // not all of it written yet
        if (c[0] >= '0' && c[0] <= '9' && c[1] >= '0' && c[1] <= '9') {
            const size_t index = static_cast<size_t>((c[0] - '0') * 10 + (c[1] - '0'));
            if (index < streams_.size()) {
                Stream& s = streams_[index];
                if (s.audio)
                    s.count += size;
                else {
                    ++s.count;
                    if (firstRiff_) ++firstRiffFrames_;
                }
            }
        }
        scan_ = complete_ = next;
    }
    bool ok = true;
    ok &= write32(riffStart_ + 4, static_cast<uint32_t>(complete_ - riffStart_ - 8));
    ok &= write32(moviStart_ + 4, static_cast<uint32_t>(complete_ - moviStart_ - 8));
    ok &= write32(totalFramesField_, static_cast<uint32_t>(firstRiffFrames_));
    videoFrames_ = audioBytes_ = 0;
    for (const Stream& s : streams_) {
        const int64_t length = s.audio ? s.count / s.blockAlign : s.count;
        ok &= write32(s.lengthField, static_cast<uint32_t>(length));
        if (s.audio)
            audioBytes_ += s.count;
        else
            videoFrames_ += s.count;
    }
    return ok;
}

bool AviTotals::write32(int64_t offset, uint32_t value) {
    const uint8_t b[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                          static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return ::pwrite(fd_, b, 4, offset) == 4;
}

}  // namespace media
