// A temporary XDG_STATE_HOME for a test's windows and recovery sets.
#include "tests/support/TemporaryStateHome.h"

#include <QtGlobal>

TemporaryStateHome::TemporaryStateHome()
    : m_old(qgetenv("XDG_STATE_HOME")), m_wasSet(qEnvironmentVariableIsSet("XDG_STATE_HOME"))
{
    qputenv("XDG_STATE_HOME", m_dir.path().toLocal8Bit());
}

TemporaryStateHome::~TemporaryStateHome()
{
    if (m_wasSet)
        qputenv("XDG_STATE_HOME", m_old);
    else
        qunsetenv("XDG_STATE_HOME");
}

void TemporaryStateHome::redirect(const QString &relative)
{
    qputenv("XDG_STATE_HOME", (m_dir.path() + u'/' + relative).toLocal8Bit());
}
