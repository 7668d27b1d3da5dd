#include "firmware/kept_board_data.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/debug_log.h"
#include "settings/settings_paths.h"

namespace {

// File layout (integers little-endian):
//   0  "KCKD"   4  version (1)   5  flags   6  two zero bytes
//   8  flash id   12  configuration bytes 0-3   16  identity word
//   20 the 8 bytes from 0x7E000   28 the 128 bytes from 0x7F080
//   156 FNV-1a hash of bytes 0-155
constexpr uint8_t kMagic[4] = {'K', 'C', 'K', 'D'};
constexpr uint8_t kVersion = 1;
constexpr size_t kHashedSize = 156;
constexpr size_t kFileSize = kHashedSize + 4;
enum : uint8_t { kIdentityKnown = 1, kFirstKnown = 2, kSecondKnown = 4, kUpdating = 8 };

std::mutex folderMutex;
std::string folderOverride;  // guarded by folderMutex; "" = the state folder

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t fnv1a(const uint8_t* p, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
    return h;
}

std::string reason(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

bool writeAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t done = ::write(fd, p, n);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        p += done;
        n -= static_cast<size_t>(done);
    }
    return true;
}

}  // namespace

void setKeptDataFolder(const std::string& folder) {
    std::lock_guard<std::mutex> lock(folderMutex);
    folderOverride = folder.empty() || folder.back() == '/' ? folder : folder + "/";
}

std::string keptDataFolder() {
    {
        std::lock_guard<std::mutex> lock(folderMutex);
        if (!folderOverride.empty()) return folderOverride;
    }
    return appFolder(XdgBase::State);
}

std::string keptDataFileName(uint32_t flashId, uint8_t hardwareVersion) {
    char name[48];
    std::snprintf(name, sizeof name, "board-%06X-hw%u.kept", flashId & 0xFFFFFF, hardwareVersion);
    return name;
}

std::optional<KeptBoardData> loadKeptBoardData(uint32_t flashId, uint8_t hardwareVersion) {
    const std::string path = keptDataFolder() + keptDataFileName(flashId, hardwareVersion);
    uint8_t raw[kFileSize + 1];
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        debugPrintf("No kept board data in %s\n", path.c_str());
        return std::nullopt;
    }
    size_t got = 0;
    for (ssize_t n; got < sizeof raw && (n = ::read(fd, raw + got, sizeof raw - got)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    if (got != kFileSize) {
        debugPrintf("Kept board data ignored (%zu bytes, not %zu): %s\n", got, kFileSize, path.c_str());
        return std::nullopt;
    }
    if (std::memcmp(raw, kMagic, 4) != 0 || raw[4] != kVersion || fnv1a(raw, kHashedSize) != le32(raw + kHashedSize)) {
        debugPrintf("Kept board data ignored (corrupt): %s\n", path.c_str());
        return std::nullopt;
    }
    KeptBoardData data;
    data.flashId = le32(raw + 8);
    std::memcpy(data.config, raw + 12, 4);
    if (data.flashId != flashId || data.config[0] != hardwareVersion) {
        debugPrintf("Kept board data ignored (board %06X hw%u): %s\n", data.flashId, data.config[0], path.c_str());
        return std::nullopt;
    }
    const uint8_t flags = raw[5];
    data.identityKnown = flags & kIdentityKnown;
    data.identity = le32(raw + 16);
    data.firstKnown = flags & kFirstKnown;
    std::memcpy(data.first, raw + 20, sizeof data.first);
    data.secondKnown = flags & kSecondKnown;
    std::memcpy(data.second, raw + 28, sizeof data.second);
    data.updating = flags & kUpdating;
    return data;
}

bool saveKeptBoardData(const KeptBoardData& data, std::string* why) {
    std::string ignored;
    if (!why) why = &ignored;
    const std::string folder = keptDataFolder();
    if (folder.empty()) {
        *why = "no home folder";
        return false;
    }
    if (!makeFolders(folder.substr(0, folder.size() - 1))) {
        *why = reason("cannot create the folder");
        return false;
    }

    uint8_t raw[kFileSize] = {};
    std::memcpy(raw, kMagic, 4);
    raw[4] = kVersion;
    raw[5] = static_cast<uint8_t>((data.identityKnown ? kIdentityKnown : 0) | (data.firstKnown ? kFirstKnown : 0) |
                                  (data.secondKnown ? kSecondKnown : 0) | (data.updating ? kUpdating : 0));
    put32(raw + 8, data.flashId);
    std::memcpy(raw + 12, data.config, 4);
    put32(raw + 16, data.identity);
    std::memcpy(raw + 20, data.first, sizeof data.first);
    std::memcpy(raw + 28, data.second, sizeof data.second);
    put32(raw + kHashedSize, fnv1a(raw, kHashedSize));

    const std::string path = folder + keptDataFileName(data.flashId, data.config[0]);
    const std::string temporary = path + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        *why = reason("cannot write there");
        return false;
    }
    bool written = writeAll(fd, raw, sizeof raw) && ::fsync(fd) == 0;
    if (::close(fd) != 0) written = false;
    if (!written) *why = reason("write failed");
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        if (written) *why = reason("rename failed");
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename only lasts once the folder itself is on disk.
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = dir >= 0 && ::fsync(dir) == 0;
    if (!synced) *why = reason("folder sync failed");
    if (dir >= 0) ::close(dir);
    return synced;
}
