// SIGTERM, SIGHUP and SIGINT as a Qt signal on the event loop: the handler only writes the
// signal's number to a socket pair, and the real work runs where it is safe.
#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

class EndSignals : public QObject
{
    Q_OBJECT

public:
    // Catches the signals from now on; one instance per process.
    explicit EndSignals(QObject *parent = nullptr);
    ~EndSignals() override;

    bool isValid() const { return m_notifier != nullptr; }

signals:
    void received(int signalNumber);

private:
    void readSignal();

    std::unique_ptr<QSocketNotifier> m_notifier;
};
