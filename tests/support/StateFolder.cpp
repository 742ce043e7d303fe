// Temporary state folders for the tests, and one for each test process as a whole.
#include "tests/support/StateFolder.h"

#include <QtGlobal>

StateFolder::StateFolder()
    : m_previous(qgetenv("XDG_STATE_HOME")), m_hadPrevious(qEnvironmentVariableIsSet("XDG_STATE_HOME"))
{
    if (m_dir.isValid())
        qputenv("XDG_STATE_HOME", m_dir.path().toLocal8Bit());
}

StateFolder::~StateFolder()
{
    if (m_hadPrevious)
        qputenv("XDG_STATE_HOME", m_previous);
    else
        qunsetenv("XDG_STATE_HOME");
}
