// Telling systemd how the service is (Type=notify): ready, reloading, stopping, and the
// watchdog's "still alive". Without NOTIFY_SOCKET (not started by systemd) every call does
// nothing; built without libsystemd, so does the program's notify support.
#ifndef SERVICENOTIFY_H
#define SERVICENOTIFY_H

#include <QString>

namespace ServiceNotify {

// The configuration, users and audit log are read and the port listens; status is shown by
// `systemctl status`.
void ready(const QString &status);
void reloading();
void watchdog();
// How often to tell the watchdog, in milliseconds: half of WatchdogSec=, so that one late ping
// is no restart. 0 when no watchdog is set.
qint64 watchdogPingMs();

} // namespace ServiceNotify

#endif // SERVICENOTIFY_H
