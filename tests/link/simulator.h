// A controller-sim child process on a free loopback port, for the link tests that want a
// well-behaved controller with a real display.
#ifndef SIMULATOR_H
#define SIMULATOR_H

#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#endif

// A running controller-sim; stopped (SIGTERM, then kill) when it goes out of scope.
class Simulator
{
public:
    ~Simulator()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    // Starts it with extra options; the port it listens on, or 0.
    quint16 start(const QStringList &options)
    {
        process.setProcessChannelMode(QProcess::SeparateChannels);
#ifdef Q_OS_LINUX
        // Should the test die without its cleanup, the simulator goes with it.
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
        process.start(QStringLiteral(CONTROLLER_SIM_PATH),
                      QStringList{"--bind", "127.0.0.1", "--port", "0"} + options);
        if (!process.waitForStarted(10000))
            return 0;
        // Its first line on stdout names the port.
        QByteArray line;
        while (!line.contains('\n') && process.waitForReadyRead(10000))
            line += process.readAllStandardOutput();
        const QRegularExpressionMatch m =
            QRegularExpression("^controller-sim listening on 127\\.0\\.0\\.1 port (\\d+)")
                .match(QString::fromLatin1(line));
        return m.hasMatch() ? quint16(m.captured(1).toUInt()) : 0;
    }

    QProcess process;
};

#endif // SIMULATOR_H
