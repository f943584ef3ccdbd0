#include "openfiles.h"

#include <QtGlobal>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

void allowOpenFiles(int wanted)
{
#ifdef Q_OS_UNIX
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= rlim_t(wanted))
        return;
    limit.rlim_cur =
        limit.rlim_max == RLIM_INFINITY ? rlim_t(wanted) : std::min(limit.rlim_max, rlim_t(wanted));
    setrlimit(RLIMIT_NOFILE, &limit);
#else
    (void)wanted;
#endif
}
