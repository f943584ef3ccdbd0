#include "processfigures.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>

#include <ctime>

#include <sys/resource.h>
#include <unistd.h>

ProcessFigures readProcessFigures()
{
    ProcessFigures figures;
    const long ticks = sysconf(_SC_CLK_TCK);
    const long page = sysconf(_SC_PAGESIZE);
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (stat.open(QIODevice::ReadOnly) && ticks > 0) {
        // The fields after the command's closing parenthesis: utime is the 12th, stime the 13th,
        // starttime the 20th, rss (pages) the 22nd.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 21) {
            figures.cpuSeconds =
                double(fields[11].toULongLong() + fields[12].toULongLong()) / ticks;
            figures.residentBytes = fields[21].toULongLong() * uint64_t(page);
            QFile uptime(QStringLiteral("/proc/uptime"));
            if (uptime.open(QIODevice::ReadOnly)) {
                const double up = uptime.readAll().split(' ').value(0).toDouble();
                const double started = double(fields[19].toULongLong()) / ticks;
                figures.startTimeSeconds = double(std::time(nullptr)) - up + started;
            }
        }
    }
    figures.openDescriptors = int(QDir(QStringLiteral("/proc/self/fd"))
                                      .entryList(QDir::NoDotAndDotDot | QDir::System)
                                      .size());
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0)
        figures.maxDescriptors = limit.rlim_cur;
    return figures;
}
