// net-snmp's agent as a controller stand-in on loopback, for the tests that judge us against it:
// snmpd in the foreground on a free port with only the configuration given here, its persistent
// files in a scratch folder, no SMUX listener, stopped (and killed if need be) when it goes out
// of scope. It can serve the controller's display through a pass_persist script that also
// records every key it is set.
#ifndef SNMPDPROCESS_H
#define SNMPDPROCESS_H

#include <QDir>
#include <QFile>
#include <QNetworkProxy>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUdpSocket>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#endif

class SnmpdProcess
{
public:
    ~SnmpdProcess() { stop(); }

    // snmpd's path, or empty when it is not installed.
    static QString program()
    {
        return QStandardPaths::findExecutable("snmpd", {"/usr/sbin", "/usr/local/sbin", "/sbin"});
    }

    // Eight rows of 40 with text that says where each one belongs.
    static QByteArray displayRows(int firstRow)
    {
        QByteArray out;
        for (int row = firstRow; row < firstRow + 8; ++row)
            out += QByteArray("SNMPD ROW ")
                       .append(QByteArray::number(row).rightJustified(2, '0'))
                       .leftJustified(40, row % 2 ? '-' : '=');
        return out;
    }

    // Serves the two display blocks (their whole values) through snmpd-display.sh, which
    // appends every key set to keysFile() as "OID octet \"0c\""; returns the configuration line
    // that hands the controller's subtree to it.
    QByteArray serveDisplay(const QByteArray &first, const QByteArray &second)
    {
        if (!write(dir.filePath("first.hex"), first.toHex(' ') + "\n") ||
            !write(dir.filePath("second.hex"), second.toHex(' ') + "\n"))
            return QByteArray();
        return "pass_persist .1.3.6.1.4.1.1206 " FRONTPANEL_TEST_COMMON_DIR "/snmpd-display.sh " +
               dir.path().toLocal8Bit() + "\n";
    }

    QString keysFile() const { return dir.filePath("keys"); }
    QByteArray keys() const
    {
        QFile f(keysFile());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    // Starts snmpd with this configuration on 127.0.0.1 and a free port; the port, or 0.
    // snmpd drops what comes in its first moments: callers ask until it answers.
    quint16 start(const QByteArray &conf)
    {
        const QString snmpd = program();
        const QString confPath = dir.filePath("agent.conf");
        // snmpd rewrites files in its persistent folder: kept apart from our configuration.
        if (snmpd.isEmpty() || !dir.isValid() || !QDir(dir.path()).mkpath("persist") ||
            !write(confPath, conf))
            return 0;
        {
            QUdpSocket free;
            free.setProxy(QNetworkProxy::NoProxy);
            if (!free.bind(QHostAddress::LocalHost, 0))
                return 0;
            port = free.localPort();
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("SNMP_PERSISTENT_DIR", dir.filePath("persist"));
        env.insert("MIBS", "");
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
#ifdef Q_OS_LINUX
        // Should the test die without its cleanup, snmpd goes with it.
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
        process.start(snmpd, {"-f", "-C", "-c", confPath, "-Lf", dir.filePath("snmpd.log"), "-I",
                              "-smux,mteTrigger,mteTriggerConf",
                              QStringLiteral("UDP:127.0.0.1:%1").arg(port)});
        return process.waitForStarted(10000) ? port : 0;
    }

    bool running() const { return process.state() == QProcess::Running; }

    void stop()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    QTemporaryDir dir;
    QProcess process;
    quint16 port = 0;

private:
    static bool write(const QString &path, const QByteArray &bytes)
    {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    }
};

#endif // SNMPDPROCESS_H
