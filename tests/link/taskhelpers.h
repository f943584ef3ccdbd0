// What the link tests do to a CommTask from outside: read its screen, aim it, start it polling
// and join it whatever the test's outcome.
#ifndef TASKHELPERS_H
#define TASKHELPERS_H

#include "commtask.h"

#include <QByteArray>
#include <QScopeGuard>
#include <QString>

#include <mutex>

inline QByteArray screenOf(CommTask &task)
{
    std::lock_guard<std::mutex> locker(task.screenLock);
    return QByteArray(reinterpret_cast<const char *>(task.screen), CommTask::ScreenSize);
}

inline void aim(CommTask &task, const QString &host, int port)
{
    std::lock_guard<std::mutex> locker(task.addressLock);
    task.port = port;
    task.host = host;
}

// Ends the thread whatever the test's outcome, so that no task outlives its test.
inline auto joinAtEnd(CommTask &task)
{
    return qScopeGuard([&task] {
        task.requestQuit();
        task.wait();
    });
}

// Aims the task at 127.0.0.1:port and starts it polling every pollInterval ms; the task is
// joined when the returned guard goes out of scope.
[[nodiscard]] inline auto startPolling(CommTask &task, int port, int pollInterval)
{
    aim(task, QStringLiteral("127.0.0.1"), port);
    task.pollInterval = pollInterval;
    task.start();
    return joinAtEnd(task);
}

#endif // TASKHELPERS_H
