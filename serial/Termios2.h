// The kernel's termios2 (named as TCGETS2 expects), which carries any speed actually set,
// BOTHER speeds included; <asm/termbits.h> would clash with <termios.h>, so it is declared here.
#pragma once

#ifdef __linux__
#include <termios.h>

struct termios2
{
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
#endif
