// What the C++ benchmarks share: percentiles, CPU time of this and another process, and the
// clock a simulated controller shows at the end of its first row.
#ifndef BENCHTOOLS_H
#define BENCHTOOLS_H

#include "linkrules.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QString>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {

inline double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[size_t(p * double(v.size() - 1))];
}

inline double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU seconds of another process of ours, from /proc/PID/stat; 0 when it is gone.
inline double processCpuSeconds(qint64 pid)
{
    FILE *f = std::fopen(qPrintable(QStringLiteral("/proc/%1/stat").arg(pid)), "r");
    char line[1024] = {};
    const bool got = f && std::fgets(line, sizeof line, f);
    if (f)
        std::fclose(f);
    // The name in parentheses may hold spaces: fields are counted after its closing one.
    const char *p = got ? std::strrchr(line, ')') : nullptr;
    unsigned long long utime = 0, stime = 0;
    if (!p || std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
                          &stime) != 2)
        return 0;
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// The clock at the end of row 0, or an empty array when the page shows none.
inline QByteArray clockOf(const uint8_t *screen)
{
    const QByteArray text(reinterpret_cast<const char *>(screen) + LinkRules::Columns - 8, 8);
    static const QRegularExpression clock(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d$"));
    return clock.match(QString::fromLatin1(text)).hasMatch() ? text : QByteArray();
}

} // namespace

#endif // BENCHTOOLS_H
