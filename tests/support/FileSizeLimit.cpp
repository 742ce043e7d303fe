// A file size limit standing in for a full disk.
#include "tests/support/FileSizeLimit.h"

#include <csignal>

FileSizeLimit::FileSizeLimit(rlim_t bytes)
{
    // Past the limit the kernel would also send SIGXFSZ; the write's failure is what counts.
    std::signal(SIGXFSZ, SIG_IGN);
    if (getrlimit(RLIMIT_FSIZE, &m_old) != 0)
        return;
    rlimit small = m_old;
    small.rlim_cur = bytes;
    m_active = setrlimit(RLIMIT_FSIZE, &small) == 0;
}

FileSizeLimit::~FileSizeLimit()
{
    if (m_active)
        setrlimit(RLIMIT_FSIZE, &m_old);
}
