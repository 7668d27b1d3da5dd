#include "app/debug_console.h"

#include <fcntl.h>
#include <unistd.h>

#include <memory>

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QFontDatabase>
#include <QMenu>
#include <QSocketNotifier>
#include <QUrl>

#include "base/debug_log.h"
#include "base/debug_log_file.h"
#include "core/monitor.h"
#include "core/thread_priority.h"

namespace {

bool debugPipe(int& readFd, int& writeFd) {
    static int fds[2] = {-1, -1};
    if (fds[0] < 0 && ::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    readFd = fds[0];
    writeFd = fds[1];
    return true;
}

}  // namespace

DebugConsole::DebugConsole() {
    setWindowTitle(QStringLiteral("Kestrel Capture debug"));
    setReadOnly(true);
    setMaximumBlockCount(500);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    resize(640, 400);
}

DebugConsole::~DebugConsole() { closeConsole(); }

void DebugConsole::openConsole() {
    if (open_) return;
    if (!notifier_) {
        if (!debugPipe(readFd_, writeFd_)) return;
        notifier_ = new QSocketNotifier(readFd_, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &DebugConsole::readOutput);
    }
    discardPending();  // written while the console was closing
    notifier_->setEnabled(true);
    setDebugOutput(writeFd_);
    debugConsoleOpen = true;
    open_ = true;
    show();
    raise();
    if (const std::string priority = readerPriority(); !priority.empty())
        debugPrintf("reader priority: %s\n", priority.c_str());
    startMonitor();
}

void DebugConsole::closeConsole() {
    if (!open_) return;
    setDebugOutput(-1);
    debugConsoleOpen = false;
    open_ = false;
    if (notifier_) notifier_->setEnabled(false);
    hide();
}

void DebugConsole::closeEvent(QCloseEvent* event) {
    closeConsole();
    event->accept();
}

void DebugConsole::contextMenuEvent(QContextMenuEvent* event) {
    std::unique_ptr<QMenu> menu(createStandardContextMenu());
    menu->addSeparator();
    QAction* open = menu->addAction(QStringLiteral("Open log folder"));
    open->setEnabled(!debugLogFolder().empty());
    connect(open, &QAction::triggered, this, &DebugConsole::openLogFolder);
    menu->exec(event->globalPos());
}

void DebugConsole::openLogFolder() {
    const std::string folder = debugLogFolder();
    if (!folder.empty()) QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder)));
}

void DebugConsole::discardPending() {
    char chunk[4096];
    while (::read(readFd_, chunk, sizeof chunk) > 0) {
    }
    partialLine_.clear();
}

void DebugConsole::readOutput() {
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(readFd_, chunk, sizeof chunk)) > 0) {
        partialLine_.append(chunk, size_t(n));
        size_t start = 0;
        for (size_t end; (end = partialLine_.find('\n', start)) != std::string::npos;
             start = end + 1)
            appendPlainText(QString::fromUtf8(partialLine_.data() + start, qsizetype(end - start)));
        partialLine_.erase(0, start);
    }
}
