#pragma once

// The number of threads the test process runs now (Linux: the entries of /proc/self/task).

#include <dirent.h>

namespace test_support
{
inline unsigned running_threads()
{
    unsigned count = 0;
    if (DIR* dir = opendir("/proc/self/task"))
    {
        while (dirent* e = readdir(dir))
            if (e->d_name[0] != '.')
                ++count;
        closedir(dir);
    }
    return count;
}
} // namespace test_support
