// The application on the simulated board: a board plugged in and streaming,
// so the whole program runs without hardware.
#include "app/command_line.h"
#include "app/kestrel_app.h"
#include "app/camera_share.h"
#include "app/paint_gap_report.h"
#include "firmware/demo/demo_board.h"
#include "usb/sim/sim_board.h"

int main(int argc, char** argv) {
    CommandLine line;
    if (const int status = answerCommandLine(argc, argv, ProgramKind::Demo, line); status >= 0) return status;
    if (line.pipewire) requestCameraShareAtStart();
    usb::SimBoard board;
    configureDemoBoard(board);
    startPaintGapReport();
    const int status = runKestrelCapture(board);
    printLongestPaintGap();
    return status;
}
