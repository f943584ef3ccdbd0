// controller-sim as a separate process, for the tests and benchmarks that need the real program
// (net-snmp's tools, the end-to-end runs): started on loopback, its first line read for the
// port, stopped with SIGTERM (then killed) when it goes out of scope.
#ifndef SIMPROCESS_H
#define SIMPROCESS_H

#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#endif

class SimProcess
{
public:
    explicit SimProcess(const QString &program) : program(program) {}
    ~SimProcess() { stop(); }

    // Starts controller-sim on 127.0.0.1 and a free port, with these options after; the port it
    // reports on its first line (the first of them when it serves several), or 0.
    quint16 start(const QStringList &options = {})
    {
        process.setProcessChannelMode(QProcess::SeparateChannels);
#ifdef Q_OS_LINUX
        // Should the caller die without its cleanup, the simulator goes with it.
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
        process.start(program, QStringList{"--bind", "127.0.0.1", "--port", "0"} + options);
        if (!process.waitForStarted(10000))
            return 0;
        while (!process.canReadLine() && process.waitForReadyRead(10000)) {
        }
        firstLine = QString::fromLatin1(process.readLine()).trimmed();
        // "port N" for one controller, "ports FIRST-LAST" for several.
        const QRegularExpressionMatch m =
            QRegularExpression("^controller-sim listening on 127\\.0\\.0\\.1 "
                               "(?:port (\\d+)|ports (\\d+)-(\\d+))$")
                .match(firstLine);
        if (!m.hasMatch())
            return 0;
        lastPort = quint16(m.captured(m.hasCaptured(1) ? 1 : 3).toUInt());
        return quint16(m.captured(m.hasCaptured(1) ? 1 : 2).toUInt());
    }

    // Ends it with SIGTERM (a kill after 10 s); its exit code, or -1 when it did not end
    // normally. What it printed after the first line is left in the process to read.
    int stop()
    {
        if (process.state() == QProcess::NotRunning)
            return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        process.terminate();
        if (!process.waitForFinished(10000)) {
            process.kill();
            process.waitForFinished(5000);
            return -1;
        }
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    QProcess process;
    QString firstLine;
    quint16 lastPort = 0; // of the controllers it serves

private:
    const QString program;
};

#endif // SIMPROCESS_H
