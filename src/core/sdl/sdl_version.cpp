#include "core/sdl/sdl_version.h"

#include <SDL.h>

std::string sdlVersion() {
    SDL_version linked{};
    SDL_GetVersion(&linked);
    return std::to_string(linked.major) + "." + std::to_string(linked.minor) + "." + std::to_string(linked.patch);
}
