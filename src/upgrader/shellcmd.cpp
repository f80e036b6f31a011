#include "upgrader/shellcmd.h"

int system_return_check(int status)
{
    if (status < 0)
        return -1;
    if ((status & 0x7F) != 0) // ended by a signal
        return -1;
    if ((status & 0xFF00) != 0) // non-zero exit code
        return -1;
    return 0;
}
