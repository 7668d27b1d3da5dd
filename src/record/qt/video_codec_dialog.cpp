#include "record/qt/video_codec_dialog.h"

#include <QWidget>

int showVideoCodecDialog(QWidget* owner) {
    (void)owner;
    return 0;
}
