// The application on the simulated board: a board plugged in and streaming,
// so the whole program runs without hardware.
#include "firmware/demo/demo_board.h"
#include "app/kestrel_app.h"
#include "usb/sim/sim_board.h"

int main() {
    usb::SimBoard board;
    configureDemoBoard(board);
    return runKestrelCapture(board);
}
