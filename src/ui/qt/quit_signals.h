#pragma once
// SIGINT and SIGTERM end the program the orderly way: the handler only
// writes to a pipe, and the UI thread does what the window's close box does.
#include <QObject>
#include <functional>

class QSocketNotifier;

class QuitSignals : public QObject {
    Q_OBJECT
public:
    explicit QuitSignals(std::function<void()> onSignal);
    ~QuitSignals() override;

private:
    std::function<void()> onSignal_;
    QSocketNotifier* notifier_ = nullptr;
};
