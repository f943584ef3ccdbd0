// The link task against net-snmp's agent: snmpd on a loopback port serves the two display
// blocks through a pass_persist script and records the key it is sent.
#include "commtask.h"
#include "snmpbytes.h"
#include "snmpdprocess.h"

#include <QNetworkProxy>
#include <QScopeGuard>
#include <QUdpSocket>
#include <QtTest>

#include <mutex>

using namespace SnmpBytes;

namespace {

constexpr int Patience = 20000;

} // namespace

class TestCommTaskSnmpd : public QObject
{
    Q_OBJECT

private slots:
    void pollsAndPressesAgainstSnmpd();
};

void TestCommTaskSnmpd::pollsAndPressesAgainstSnmpd()
{
    if (SnmpdProcess::program().isEmpty())
        QSKIP("snmpd is not installed (Debian package snmpd; scripts/deps.sh test)");

    SnmpdProcess agent;
    const QByteArray upper = SnmpdProcess::displayRows(0);
    const QByteArray lower = SnmpdProcess::displayRows(8);
    const QByteArray serve = agent.serveDisplay(firstBlock(4, 17, upper), lower);
    QVERIFY(!serve.isEmpty());
    const quint16 port = agent.start("rwcommunity harbor 127.0.0.1\n" + serve);
    QVERIFY2(port != 0, "snmpd did not start");

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
        if (agent.running())
            probe.writeDatagram(get, QHostAddress::LocalHost, port);
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(answered(), Patience);
    QVERIFY2(agent.running(), "snmpd ended early; see its log");
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
    QTRY_VERIFY_WITH_TIMEOUT(!agent.keys().isEmpty(), Patience);
    // A key code is not printable: snmpd hands it over in hex.
    QCOMPARE(agent.keys(), "." + QByteArray(KeyOid) + " octet \"0c\"\n");
    // The answer to the key was taken out of the socket: polling goes on.
    QTRY_VERIFY_WITH_TIMEOUT(task.latency >= 3 && task.latency < 100, Patience);
}

QTEST_GUILESS_MAIN(TestCommTaskSnmpd)
#include "tst_commtask_snmpd.moc"
