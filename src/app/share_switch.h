#pragma once
// The command line's --pipewire switch: share the picture as a camera from
// the start. Looked for on its own so other option handling stays apart.

// True when argv holds "--pipewire"; the switch is taken out of argv.
bool takePipeWireSwitch(int& argc, char** argv);
