// A pseudo-terminal standing in for a serial device: the test holds the master end, the
// program opens the slave end by its path.
#pragma once

#include <QByteArray>
#include <QString>

#include <termios.h>

class PtyDevice
{
public:
    PtyDevice();
    ~PtyDevice();
    PtyDevice(const PtyDevice &) = delete;
    PtyDevice &operator=(const PtyDevice &) = delete;

    bool isValid() const { return m_master >= 0; }
    QString slavePath() const { return m_slavePath; }
    // The master end (non-blocking), for code that reads or writes it on a thread of its own.
    int masterFd() const { return m_master; }

    // Writes all bytes to the master (the program receives them).
    bool write(const QByteArray &bytes);
    // Writes a few bytes (less than the line holds) and waits, running events, until the
    // program has read every one of them. They are first seen arriving: a write reaches the
    // line only after the kernel's deferred flush, which a busy machine delays, so "nothing
    // left unread" alone could hold before they have even come.
    bool writeAndWaitTaken(const QByteArray &bytes, int timeoutMs = 30000);
    // Reads what the program sent, for up to timeoutMs, returning as soon as `count` bytes
    // have arrived (count < 0: whatever arrives until the time is up). Keeps the Qt event loop
    // running while it waits, so the program under test can send.
    QByteArray read(int count, int timeoutMs = 2000);
    // Everything that arrives until the line has been quiet for quietMs, after at least
    // `atLeast` bytes (bytes the program writes arrive after the kernel's deferred flush, which a
    // busy machine may hold back longer than the quiet time).
    QByteArray readUntilQuiet(qsizetype atLeast = 0, int quietMs = 300, int limitMs = 20000);
    // Reads what is there now without waiting or running events.
    QByteArray readNow();
    // Closes the master end: the device is gone (an unplugged adapter).
    void closeMaster();

    // The line settings as the slave end reports them.
    termios slaveTermios() const;
    // Speed in baud read from the slave's termios (BOTHER speeds included).
    int slaveSpeed() const;
    bool twoStopBits() const;

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
};
