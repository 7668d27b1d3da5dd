#include "firmware/firmware_resources.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "settings/settings_paths.h"

// <prefix>/share/kestrel-capture/firmware, from the build's installation prefix.
#ifndef KESTREL_FIRMWARE_FOLDER
#error "KESTREL_FIRMWARE_FOLDER must name the installed firmware folder"
#endif

// Generated at build time from the image folder (see firmware/embed_images.cmake).
extern const FirmwareResource embeddedFirmwareResources[];
extern const size_t embeddedFirmwareResourcesCount;

namespace {
std::atomic<const FirmwareResource*> overrideEntries{nullptr};
std::atomic<size_t> overrideCount{0};

std::mutex installedMutex;
std::string installedFolder;  // "" = the build's default

std::string withSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path + "/";
}

std::string userFolder() {
    const std::string folder = appFolder(XdgBase::Data);
    return folder.empty() ? folder : folder + "firmware/";
}

std::span<const uint8_t> fromTable(const FirmwareResource* entries, size_t count, int id) {
    for (size_t i = 0; i < count; ++i)
        if (entries[i].id == id && entries[i].data) return {entries[i].data, entries[i].size};
    return {};
}

// Reads a whole file, refusing one larger than the limit.
FirmwareImageSource readImageFile(const std::string& path) {
    FirmwareImageSource source;
    source.where = path;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        source.status = errno == ENOENT ? FirmwareImageSource::Missing : FirmwareImageSource::Unreadable;
        source.why = std::strerror(errno);
        return source;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        source.status = FirmwareImageSource::Unreadable;
        source.why = "not a regular file";
    } else if (static_cast<uint64_t>(info.st_size) > kFirmwareFileLimit) {
        source.status = FirmwareImageSource::TooLarge;
    } else {
        source.storage.resize(static_cast<size_t>(info.st_size) + 1);  // one more shows a file still growing
        size_t got = 0;
        for (ssize_t n; got < source.storage.size() && (n = ::read(fd, source.storage.data() + got,
                                                                     source.storage.size() - got)) != 0;) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                source.status = FirmwareImageSource::Unreadable;
                source.why = std::strerror(errno);
                break;
            }
            got += static_cast<size_t>(n);
        }
        if (source.why.empty()) {
            source.storage.resize(got);
            source.status = got > static_cast<size_t>(info.st_size) ? FirmwareImageSource::Unreadable : FirmwareImageSource::Found;
            if (got > static_cast<size_t>(info.st_size)) source.why = "the file changed while read";
        }
    }
    ::close(fd);
    return source;
}

}  // namespace

void setFirmwareResources(const FirmwareResource* table, size_t count) {
    overrideCount = table ? count : 0;
    overrideEntries = table;
}

void setInstalledFirmwareFolder(const std::string& folder) {
    std::lock_guard<std::mutex> lock(installedMutex);
    installedFolder = folder;
}

std::string firmwareFileName(int id) { return std::to_string(id) + ".zlib"; }

std::string installedFirmwareFolder() {
    // An unpacked package stands in for the root: its check runs the program
    // from there without installing it.
    std::string root;
    if (const char* value = std::getenv(kInstallRootVariable); value && value[0] == '/') {
        root = value;
        while (!root.empty() && root.back() == '/') root.pop_back();
    }
    return withSlash(root + KESTREL_FIRMWARE_FOLDER);
}

std::vector<std::string> firmwareFolders() {
    std::vector<std::string> folders;
    if (std::string user = userFolder(); !user.empty()) folders.push_back(user);
    std::lock_guard<std::mutex> lock(installedMutex);
    folders.push_back(installedFolder.empty() ? installedFirmwareFolder() : withSlash(installedFolder));
    return folders;
}

FirmwareImageSource findFirmwareImage(int id) {
    if (const FirmwareResource* entries = overrideEntries.load()) {
        FirmwareImageSource source;
        source.builtIn = fromTable(entries, overrideCount.load(), id);
        source.status = source.builtIn.empty() ? FirmwareImageSource::Missing : FirmwareImageSource::Found;
        source.where = "embedded";
        return source;
    }
    for (const std::string& folder : firmwareFolders()) {
        FirmwareImageSource source = readImageFile(folder + firmwareFileName(id));
        if (source.status != FirmwareImageSource::Missing) return source;
    }
    FirmwareImageSource source;
    source.builtIn = fromTable(embeddedFirmwareResources, embeddedFirmwareResourcesCount, id);
    source.status = source.builtIn.empty() ? FirmwareImageSource::Missing : FirmwareImageSource::Found;
    source.where = "embedded";
    return source;
}
