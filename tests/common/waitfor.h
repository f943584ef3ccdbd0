// Waiting for a state, never for "the next message": the test's event loop keeps running (a
// server or socket on this thread may need it) until done() holds or ms pass.
#ifndef WAITFOR_H
#define WAITFOR_H

#include <QElapsedTimer>
#include <QTest>

#include <functional>

inline bool waitFor(const std::function<bool()> &done, int ms = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms)
        QTest::qWait(2);
    return done();
}

#endif // WAITFOR_H
