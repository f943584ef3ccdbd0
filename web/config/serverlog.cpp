#include "serverlog.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

bool logsToJournal()
{
    // systemd names the stream it connected; a child that inherited the variable but writes
    // elsewhere must not prefix its lines.
    static const bool journal = [] {
        const char *stream = std::getenv("JOURNAL_STREAM");
        unsigned long long device = 0, inode = 0;
        struct stat status;
        if (!stream || std::sscanf(stream, "%llu:%llu", &device, &inode) != 2 ||
            fstat(2, &status) != 0)
            return false;
        return (unsigned long long)status.st_dev == device &&
               (unsigned long long)status.st_ino == inode;
    }();
    return journal;
}

void serverLog(LogLevel level, const char *format, ...)
{
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    // One call per line, so that lines from two threads never interleave.
    if (logsToJournal())
        std::fprintf(stderr, "<%d>frontpanel-web: %s\n", int(level), text);
    else
        std::fprintf(stderr, "frontpanel-web: %s\n", text);
}
