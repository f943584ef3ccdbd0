#include "servicenotify.h"

#ifdef FRONTPANEL_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>

#include <ctime>
#endif

namespace ServiceNotify {

#ifdef FRONTPANEL_HAVE_SYSTEMD

void ready(const QString &status)
{
    sd_notifyf(0, "READY=1\nSTATUS=%s", status.toUtf8().constData());
}

void reloading()
{
    // Newer systemd wants the moment of the reload to match it with its own request.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    sd_notifyf(0, "RELOADING=1\nMONOTONIC_USEC=%llu",
               (unsigned long long)now.tv_sec * 1000000ULL + (unsigned long long)now.tv_nsec / 1000);
}

void watchdog()
{
    sd_notify(0, "WATCHDOG=1");
}

qint64 watchdogPingMs()
{
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0)
        return 0;
    return qMax<qint64>(1, qint64(usec / 2000));
}

#else

void ready(const QString &) {}
void reloading() {}
void watchdog() {}
qint64 watchdogPingMs()
{
    return 0;
}

#endif

} // namespace ServiceNotify
