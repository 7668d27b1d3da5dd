#include "app/share_switch.h"

#include <cstring>

bool takePipeWireSwitch(int& argc, char** argv) {
    bool found = false;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--pipewire") == 0)
            found = true;
        else
            argv[kept++] = argv[i];
    }
    if (argc > 0) {
        argc = kept;
        argv[argc] = nullptr;
    }
    return found;
}
