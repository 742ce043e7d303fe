// Reads this process's memory figures from /proc/self/status.
#include "tests/support/ProcessStatus.h"

#include <fstream>
#include <string>

long processStatusKb(const char *key)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0)
            return std::stol(line.substr(prefix.size()));
    }
    return 0;
}
