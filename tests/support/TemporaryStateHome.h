// A state folder of the test's own for the length of a scope: XDG_STATE_HOME points into a
// temporary folder, so no test meets a recovery set another one left behind.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

class TemporaryStateHome
{
public:
    TemporaryStateHome();
    ~TemporaryStateHome();
    TemporaryStateHome(const TemporaryStateHome &) = delete;
    TemporaryStateHome &operator=(const TemporaryStateHome &) = delete;

    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }
    // Points XDG_STATE_HOME somewhere else inside the temporary folder.
    void redirect(const QString &relative);

private:
    QTemporaryDir m_dir;
    QByteArray m_old;
    bool m_wasSet = false;
};
