#pragma once
// SIGINT and SIGTERM end the program the orderly way: the handler only
// writes to a pipe, and the UI thread does what the window's close box does.
#include <QObject>
#include <functional>

class QSocketNotifier;

class QuitSignals : public QObject {
    Q_OBJECT
public:
    // Catches the signals before anything else starts: one that comes while
    // the program is still setting up waits in the pipe for the notifier.
    static bool catchEarly();
    explicit QuitSignals(std::function<void()> onSignal);
    ~QuitSignals() override;

private:
    std::function<void()> onSignal_;
    QSocketNotifier* notifier_ = nullptr;
};
