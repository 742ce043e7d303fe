// A state folder of its own for the length of a scope: XDG_STATE_HOME points into a temporary
// folder, so a window's recovery files neither meet another test's nor land in the user's.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

class StateFolder
{
public:
    StateFolder();
    ~StateFolder();
    StateFolder(const StateFolder &) = delete;
    StateFolder &operator=(const StateFolder &) = delete;

    bool isValid() const { return m_dir.isValid(); }
    // What XDG_STATE_HOME holds; the recovery files go to its "kavrel" folder.
    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
    bool m_hadPrevious = false;
};
