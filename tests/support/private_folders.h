#pragma once
// Fresh state and data folders ($XDG_STATE_HOME, $XDG_DATA_HOME) for one
// test, so the user's own kept board data and firmware images are never
// read or written; the environment is restored and the folders removed after.
#include <stdlib.h>

#include <cstdlib>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

class PrivateFolders {
public:
    PrivateFolders() {
        // In memory where the system offers it: the update syncs its records.
        // (Under the USB emulation /dev may be the testbed's: then /tmp.)
        std::string pattern = "/dev/shm/kc-folders-XXXXXX";
        const char* made = access("/dev/shm", W_OK) == 0 ? mkdtemp(pattern.data()) : nullptr;
        if (!made) {
            pattern = "/tmp/kc-folders-XXXXXX";
            made = mkdtemp(pattern.data());
        }
        if (!made) std::abort();  // never fall back on a shared folder: it is removed after
        root = made;
        state = root + "/state";
        data = root + "/data";
        keep("XDG_STATE_HOME", savedState_, state);
        keep("XDG_DATA_HOME", savedData_, data);
    }
    ~PrivateFolders() {
        restore("XDG_STATE_HOME", savedState_);
        restore("XDG_DATA_HOME", savedData_);
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    PrivateFolders(const PrivateFolders&) = delete;
    PrivateFolders& operator=(const PrivateFolders&) = delete;

    std::string root;
    std::string state;  // the records go to state + "/Wren Capture/"
    std::string data;   // images are looked up in data + "/Wren Capture/firmware/"

private:
    static void keep(const char* name, std::optional<std::string>& saved, const std::string& value) {
        if (const char* old = getenv(name)) saved = old;
        setenv(name, value.c_str(), 1);
    }
    static void restore(const char* name, const std::optional<std::string>& saved) {
        if (saved)
            setenv(name, saved->c_str(), 1);
        else
            unsetenv(name);
    }
    std::optional<std::string> savedState_;
    std::optional<std::string> savedData_;
};
