#pragma once
// The debug console: a window that shows the diagnostic output while it is
// open, keeping the last 500 lines; its menu opens the log file's folder.
// While it is closed the output goes only to the log file.
#include <QPlainTextEdit>
#include <string>

class QSocketNotifier;

class DebugConsole : public QPlainTextEdit {
    Q_OBJECT
public:
    DebugConsole();
    ~DebugConsole() override;

    void openConsole();
    void closeConsole();
    bool isOpen() const { return open_; }

    // "Open log folder": the folder of the debug log file in the file manager.
    static void openLogFolder();

protected:
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void readOutput();
    void discardPending();

    // One pipe for the whole process, never closed: a writer may still hold
    // the descriptor for a moment after the console closes, and must neither
    // hit a closed pipe nor a descriptor number reused for a file.
    int readFd_ = -1;
    int writeFd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    std::string partialLine_;
    bool open_ = false;
};
