// The link task against net-snmp's agent: snmpd on a loopback port serves the two display
// blocks through a pass_persist script and records the key it is sent.
#include "commtask.h"
#include "snmpbytes.h"

#include <QDir>
#include <QFile>
#include <QNetworkProxy>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#ifdef Q_OS_LINUX
#include <csignal>
#include <mutex>
#include <sys/prctl.h>
#endif

using namespace SnmpBytes;

namespace {

constexpr int Patience = 20000;

// Rows with text that says where each one belongs.
QByteArray displayRows(int firstRow)
{
    QByteArray out;
    for (int row = firstRow; row < firstRow + 8; ++row)
        out += QByteArray("SNMPD ROW ")
                   .append(QByteArray::number(row).rightJustified(2, '0'))
                   .leftJustified(CommTask::Columns, row % 2 ? '-' : '=');
    return out;
}

// pass_persist: PING/PONG, then get/getnext/set with the OID on the next line. Values go out
// as octet hex so that their exact length survives. A set is followed by an empty line, and
// snmpd asks for the key OID with a get before it sends the set. Nothing may go to stderr:
// snmpd reads it through the same pipe.
QByteArray passScript(const QByteArray &first, const QByteArray &second, const QString &keyFile)
{
    QByteArray script = "#!/bin/sh\n"
                        "while read -r cmd; do\n"
                        "  case \"$cmd\" in\n"
                        "    PING) echo PONG ;;\n"
                        "    get) read -r oid\n"
                        "      case \"$oid\" in\n";
    script += "        ." + QByteArray(FirstBlockOid) + ") echo \"$oid\"; echo octet; echo \"" +
              first.toHex(' ') + "\" ;;\n";
    script += "        ." + QByteArray(SecondBlockOid) + ") echo \"$oid\"; echo octet; echo \"" +
              second.toHex(' ') + "\" ;;\n";
    script += "        ." + QByteArray(KeyOid) + ") echo \"$oid\"; echo octet; echo 00 ;;\n";
    script += "        *) echo NONE ;;\n"
              "      esac ;;\n"
              "    getnext) read -r oid; echo NONE ;;\n"
              "    set) read -r oid; read -r value\n"
              "      echo \"$oid $value\" >> '" +
              keyFile.toLocal8Bit() +
              "'; echo DONE ;;\n"
              "    *) ;;\n"
              "  esac\n"
              "done\n";
    return script;
}

quint16 freeUdpPort()
{
    QUdpSocket probe;
    probe.setProxy(QNetworkProxy::NoProxy);
    if (!probe.bind(QHostAddress::LocalHost, 0))
        return 0;
    return probe.localPort();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

} // namespace

class TestCommTaskSnmpd : public QObject
{
    Q_OBJECT

private slots:
    void pollsAndPressesAgainstSnmpd();
};

void TestCommTaskSnmpd::pollsAndPressesAgainstSnmpd()
{
    const QString snmpd =
        QStandardPaths::findExecutable("snmpd", {"/usr/sbin", "/usr/local/sbin", "/sbin"});
    if (snmpd.isEmpty())
        QSKIP("snmpd is not installed (Debian package snmpd; scripts/deps.sh test)");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString script = dir.filePath("display.sh");
    const QString keys = dir.filePath("keys");
    const QString conf = dir.filePath("agent.conf");
    const QString log = dir.filePath("snmpd.log");
    // snmpd rewrites files in its persistent folder: keep it apart from our config.
    QVERIFY(QDir(dir.path()).mkdir("persist"));

    const QByteArray upper = displayRows(0);
    const QByteArray lower = displayRows(8);
    const QByteArray first = firstBlock(4, 17, upper);
    QVERIFY(writeFile(script, passScript(first, lower, keys)));
    QVERIFY(QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QVERIFY(writeFile(conf, "rwcommunity harbor 127.0.0.1\npass_persist .1.3.6.1.4.1.1206 " +
                                script.toLocal8Bit() + "\n"));

    const quint16 port = freeUdpPort();
    QVERIFY(port != 0);
    QProcess agent;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("SNMP_PERSISTENT_DIR", dir.filePath("persist"));
    env.insert("MIBS", "");
    agent.setProcessEnvironment(env);
    agent.setProcessChannelMode(QProcess::ForwardedChannels);
#ifdef Q_OS_LINUX
    // Should the test die without its cleanup, snmpd goes with it.
    agent.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
    agent.start(snmpd, {"-f", "-C", "-c", conf, "-Lf", log, "-I", "-smux,mteTrigger,mteTriggerConf",
                        QStringLiteral("UDP:127.0.0.1:%1").arg(port)});
    QVERIFY2(agent.waitForStarted(10000), qPrintable(agent.errorString()));
    auto stopAgent = qScopeGuard([&agent] {
        agent.terminate();
        if (!agent.waitForFinished(5000)) {
            agent.kill();
            agent.waitForFinished(5000);
        }
    });

    // snmpd drops what comes in its first moments and starts the script on the first GET:
    // ask until it answers.
    QUdpSocket probe;
    probe.setProxy(QNetworkProxy::NoProxy);
    QVERIFY(probe.bind(QHostAddress::LocalHost, 0));
    const QByteArray get = message(GetRequest, 0, oidBytes(SecondBlockOid), 0x05, QByteArray());
    QByteArray answer;
    // QTRY evaluates its condition more than once: it stays true once an answer is in.
    auto answered = [&] {
        if (!answer.isEmpty())
            return true;
        if (probe.hasPendingDatagrams()) {
            answer.resize(2048);
            answer.resize(int(qMax<qint64>(0, probe.readDatagram(answer.data(), answer.size()))));
            return !answer.isEmpty();
        }
        if (agent.state() == QProcess::Running)
            probe.writeDatagram(get, QHostAddress::LocalHost, port);
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(answered(), Patience);
    QVERIFY2(agent.state() == QProcess::Running, "snmpd ended early; see its log");
    // The second block comes back as 377 bytes: the task's size limit holds for this agent.
    QCOMPARE(answer.size(), 377);

    CommTask task;
    {
        std::lock_guard<std::mutex> locker(task.addressLock);
        task.port = port;
        task.host = QStringLiteral("127.0.0.1");
    }
    task.pollInterval = 20;
    task.start();
    auto join = qScopeGuard([&task] {
        task.requestQuit();
        task.wait();
    });

    auto screen = [&task] {
        std::lock_guard<std::mutex> locker(task.screenLock);
        return QByteArray(reinterpret_cast<const char *>(task.screen), CommTask::ScreenSize);
    };
    QTRY_COMPARE_WITH_TIMEOUT(screen(), upper + lower + "  ", Patience);
    QCOMPARE(task.cursorRow.load(), 4);
    QCOMPARE(task.cursorColumn.load(), 17);
    QCOMPARE(QByteArray(task.rowText(9)), lower.mid(40, 40));
    QTRY_VERIFY_WITH_TIMEOUT(task.latency >= 3 && task.latency < 100, Patience);

    task.pendingKey = 12;
    auto keyLog = [&keys] {
        QFile f(keys);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    QTRY_VERIFY_WITH_TIMEOUT(!keyLog().isEmpty(), Patience);
    // A key code is not printable: snmpd hands it over in hex.
    QCOMPARE(keyLog(), "." + QByteArray(KeyOid) + " octet \"0c\"\n");
    // The answer to the key was taken out of the socket: polling goes on.
    QTRY_VERIFY_WITH_TIMEOUT(task.latency >= 3 && task.latency < 100, Patience);
}

QTEST_GUILESS_MAIN(TestCommTaskSnmpd)
#include "tst_commtask_snmpd.moc"
