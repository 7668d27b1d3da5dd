// The application on the simulated board: a board plugged in and streaming,
// so the whole program runs without hardware.
#include "firmware/demo/demo_board.h"
#include "app/kestrel_app.h"
#include "app/camera_share.h"
#include "app/share_switch.h"
#include "usb/sim/sim_board.h"

int main(int argc, char** argv) {
    if (takePipeWireSwitch(argc, argv)) requestCameraShareAtStart();
    usb::SimBoard board;
    configureDemoBoard(board);
    return runKestrelCapture(board);
}
