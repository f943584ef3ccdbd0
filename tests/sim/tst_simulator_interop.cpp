// controller-sim as a program, checked by a peer we did not write: net-snmp's snmpget, snmpset and
// snmpwalk read the display, walk the MIB and press keys over loopback UDP.
#include "simprocess.h"
#include "snmpbytes.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/types.h>
#endif

namespace {

using SnmpBytes::FirstBlockOid;
using SnmpBytes::KeyOid;
using SnmpBytes::SecondBlockOid;

struct ToolResult
{
    int exitCode = -1;
    QByteArray out;
};

ToolResult runTool(const char *tool, const QStringList &args)
{
    ToolResult result;
    const QString path = QStandardPaths::findExecutable(QString::fromLatin1(tool));
    if (path.isEmpty()) {
        result.out =
            QByteArray(tool) + " not found (scripts/deps.sh test installs net-snmp's tools)";
        return result;
    }
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("MIBS"), QString()); // numeric OIDs only, no MIB loading
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(path, args);
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished(5000);
        result.out = "timed out";
        return result;
    }
    result.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    result.out = p.readAll();
    return result;
}

QStringList common(int port)
{
    return {"-v1", "-c", "harbor",
            "-On", "-t", "2",
            "-r",  "1",  QStringLiteral("127.0.0.1:%1").arg(port)};
}

// The value of an snmpget -Ox -Oqv, as bytes.
QByteArray hexValue(const QByteArray &out)
{
    QByteArray bytes;
    // -Oqv puts the hex in double quotes: "04 03 4D ... 20 "
    for (const QByteArray &token : QByteArray(out).replace('"', ' ').simplified().split(' ')) {
        if (token.size() == 2)
            bytes += QByteArray::fromHex(token);
    }
    return bytes;
}

} // namespace

class TestSimulatorInterop : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void displayBlocksHaveExactLengths_data();
    void displayBlocksHaveExactLengths();
    void walkListsTheMib();
    void keySetChangesTheDisplay();
    void badKeyValueIsRefused();
    void wrongCommunityGetsNoAnswer();
    void occupiedPortExitsWithStatus2();
    void dropAllGivesNoAnswer();
    void delayedReplyStillArrives();
    void interruptPrintsCountersAndExitsCleanly();
    void controllersAreIndependent();
    void refusedCommandLine_data();
    void refusedCommandLine();
    void helpAllPrintsHelpAndExits();
    void snmpV3WithNetSnmp();
    void readablePassphraseFileRefused();
    void manPageMatchesHelp();

private:
    QByteArray get(const char *oid, ToolResult *raw = nullptr, int atPort = 0);

    SimProcess sim{QStringLiteral(CONTROLLER_SIM_PATH)};
    int port = 0;
};

void TestSimulatorInterop::initTestCase()
{
    port = sim.start();
    QVERIFY2(port > 0, sim.process.readAllStandardError().constData());
}

void TestSimulatorInterop::cleanupTestCase()
{
    const int exitCode = sim.stop();
    const QByteArray out = sim.process.readAllStandardOutput();
    QCOMPARE(exitCode, 0);
    // The counters, printed on SIGTERM: the wrong-community request among them.
    QVERIFY2(out.contains("controller-sim: requests "), out.constData());
    QVERIFY2(out.contains("bad community 1,"), out.constData());
    QVERIFY2(out.contains("bad value 1,"), out.constData());
}

QByteArray TestSimulatorInterop::get(const char *oid, ToolResult *raw, int atPort)
{
    const ToolResult r =
        runTool("snmpget", common(atPort ? atPort : port) +
                               QStringList{"-Ox", "-Oqv", QString::fromLatin1(oid)});
    if (raw)
        *raw = r;
    return r.exitCode == 0 ? hexValue(r.out) : QByteArray();
}

void TestSimulatorInterop::displayBlocksHaveExactLengths_data()
{
    QTest::addColumn<QByteArray>("oid");
    QTest::addColumn<int>("length");
    QTest::newRow("first block: cursor and rows 0..7") << QByteArray(FirstBlockOid) << 322;
    QTest::newRow("second block: rows 8..15") << QByteArray(SecondBlockOid) << 320;
}

void TestSimulatorInterop::displayBlocksHaveExactLengths()
{
    QFETCH(QByteArray, oid);
    QFETCH(int, length);
    ToolResult raw;
    const QByteArray value = get(oid.constData(), &raw);
    QVERIFY2(raw.exitCode == 0, raw.out.constData());
    QCOMPARE(value.size(), length);
    // Display characters are printable; the first block starts with the cursor bytes.
    const int from = length == 322 ? 2 : 0;
    for (int i = from; i < value.size(); ++i)
        QVERIFY(value.at(i) >= 0x20 && value.at(i) < 0x7F);
    if (length == 322) {
        QVERIFY(uint8_t(value.at(0)) <= 16 && uint8_t(value.at(1)) <= 40);
    }
}

void TestSimulatorInterop::walkListsTheMib()
{
    const ToolResult r = runTool("snmpwalk", common(port) + QStringList{"1.3.6.1.4.1.1206"});
    QVERIFY2(r.exitCode == 0, r.out.constData());
    QStringList oids;
    for (const QByteArray &line : r.out.split('\n')) {
        if (line.startsWith('.'))
            oids << QString::fromLatin1(line.left(line.indexOf(' ')));
    }
    QCOMPARE(oids, (QStringList{QStringLiteral(".") + KeyOid, QStringLiteral(".") + FirstBlockOid,
                                QStringLiteral(".") + SecondBlockOid}));

    // The default walk of mib-2 finds the system group.
    const ToolResult system = runTool("snmpwalk", common(port));
    QVERIFY2(system.exitCode == 0, system.out.constData());
    QVERIFY2(system.out.contains(".1.3.6.1.2.1.1.1.0 = STRING:"), system.out.constData());
    QVERIFY2(system.out.contains(".1.3.6.1.2.1.1.3.0 = Timeticks:"), system.out.constData());
}

void TestSimulatorInterop::keySetChangesTheDisplay()
{
    const QByteArray before = get(FirstBlockOid);
    QCOMPARE(before.size(), 322);
    QVERIFY2(before.mid(2).startsWith("MAIN MENU"), before.constData());

    // Key 2 on the main menu opens phase timing; its cursor is on the first field.
    const ToolResult set = runTool("snmpset", common(port) + QStringList{KeyOid, "x", "02"});
    QVERIFY2(set.exitCode == 0, set.out.constData());
    QVERIFY2(set.out.contains("Hex-STRING: 02"), set.out.constData());

    const QByteArray after = get(FirstBlockOid);
    QCOMPARE(after.size(), 322);
    QVERIFY2(after.mid(2).startsWith("PHASE TIMING"), after.constData());
    QCOMPARE(int(after.at(0)), 4);
    QCOMPARE(int(after.at(1)), 12);
    QCOMPARE(get(KeyOid), QByteArray(1, 2));

    // Main Menu brings it back.
    QCOMPARE(runTool("snmpset", common(port) + QStringList{KeyOid, "x", "11"}).exitCode, 0);
    QVERIFY(get(FirstBlockOid).mid(2).startsWith("MAIN MENU"));
}

void TestSimulatorInterop::badKeyValueIsRefused()
{
    const ToolResult r = runTool("snmpset", common(port) + QStringList{KeyOid, "x", "63"});
    QVERIFY(r.exitCode != 0);
    QVERIFY2(r.out.contains("badValue"), r.out.constData());
}

void TestSimulatorInterop::wrongCommunityGetsNoAnswer()
{
    const ToolResult r =
        runTool("snmpget", {"-v1", "-c", "public", "-t", "0.5", "-r", "0",
                            QStringLiteral("127.0.0.1:%1").arg(port), FirstBlockOid});
    QVERIFY(r.exitCode != 0);
    QVERIFY2(r.out.contains("Timeout"), r.out.constData());
}

void TestSimulatorInterop::occupiedPortExitsWithStatus2()
{
    QProcess second;
    second.start(QStringLiteral(CONTROLLER_SIM_PATH), {"--port", QString::number(port)});
    QVERIFY(second.waitForFinished(10000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 2);
    const QByteArray err = second.readAllStandardError();
    QVERIFY2(err.contains("is already in use"), err.constData());
    QVERIFY2(err.contains("--port 1501"), err.constData());
    QVERIFY(second.readAllStandardOutput().isEmpty());
}

void TestSimulatorInterop::dropAllGivesNoAnswer()
{
    SimProcess lossy(QStringLiteral(CONTROLLER_SIM_PATH));
    const int lossyPort = lossy.start({"--drop", "100", "--verbose"});
    QVERIFY(lossyPort > 0);
    const ToolResult r =
        runTool("snmpget", {"-v1", "-c", "harbor", "-t", "0.5", "-r", "1",
                            QStringLiteral("127.0.0.1:%1").arg(lossyPort), FirstBlockOid});
    const int exitCode = lossy.stop();
    const QByteArray out = lossy.process.readAllStandardOutput();
    QVERIFY(r.exitCode != 0);
    QVERIFY2(r.out.contains("Timeout"), r.out.constData());
    QCOMPARE(exitCode, 0);
    // One verbose line per request, then the counters: both tries answered and lost.
    QCOMPARE(out.count("(lost)"), 2);
    QVERIFY2(out.contains("replies 2,"), out.constData());
    QVERIFY2(out.contains("dropped 2\n"), out.constData());
}

void TestSimulatorInterop::delayedReplyStillArrives()
{
    SimProcess slow(QStringLiteral(CONTROLLER_SIM_PATH));
    const int slowPort = slow.start({"--delay", "300"});
    QVERIFY(slowPort > 0);
    QElapsedTimer timer;
    timer.start();
    const ToolResult r =
        runTool("snmpget", {"-v1", "-c", "harbor", "-t", "5", "-r", "0", "-Ox", "-Oqv",
                            QStringLiteral("127.0.0.1:%1").arg(slowPort), SecondBlockOid});
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(slow.stop(), 0);
    QVERIFY2(r.exitCode == 0, r.out.constData());
    QCOMPARE(hexValue(r.out).size(), 320);
    // The reply cannot come before its delay has passed.
    QVERIFY(elapsed >= 300);
}

void TestSimulatorInterop::interruptPrintsCountersAndExitsCleanly()
{
#ifdef Q_OS_UNIX
    SimProcess sigint(QStringLiteral(CONTROLLER_SIM_PATH));
    const int otherPort = sigint.start();
    QVERIFY(otherPort > 0);
    QProcess &other = sigint.process;
    const ToolResult r = runTool("snmpget", common(otherPort) + QStringList{KeyOid});
    QVERIFY2(r.exitCode == 0, r.out.constData());
    // Ctrl-C in a terminal.
    QCOMPARE(::kill(pid_t(other.processId()), SIGINT), 0);
    QVERIFY(other.waitForFinished(10000));
    QCOMPARE(other.exitStatus(), QProcess::NormalExit);
    QCOMPARE(other.exitCode(), 0);
    const QByteArray out = other.readAllStandardOutput();
    QVERIFY2(out.contains("controller-sim: requests 1, replies 1,"), out.constData());
#else
    QSKIP("SIGINT is a POSIX signal");
#endif
}

// Three controllers on consecutive ports, each with its own display: a key pressed on the middle
// one shows on that one only.
void TestSimulatorInterop::controllersAreIndependent()
{
    SimProcess fleet(QStringLiteral(CONTROLLER_SIM_PATH));
    const int first = fleet.start({"--controllers", "3"});
    QVERIFY2(first > 0, qPrintable(fleet.firstLine));
    QCOMPARE(fleet.firstLine, QStringLiteral("controller-sim listening on 127.0.0.1 ports %1-%2")
                                  .arg(first)
                                  .arg(first + 2));

    const ToolResult set = runTool("snmpset", common(first + 1) + QStringList{KeyOid, "x", "02"});
    QVERIFY2(set.exitCode == 0, set.out.constData());
    for (int i = 0; i < 3; ++i) {
        const QByteArray display = get(FirstBlockOid, nullptr, first + i);
        QCOMPARE(display.size(), 322);
        const bool mainMenu = display.mid(2).startsWith("MAIN MENU");
        QVERIFY2(mainMenu == (i != 1), display.constData());
    }
    QCOMPARE(fleet.stop(), 0);
    const QByteArray out = fleet.process.readAllStandardOutput();
    QVERIFY2(out.contains("controller-sim: requests 4, replies 4,"), out.constData());
}

// Refused before anything is bound: status 2, the reason on standard error, nothing on standard
// output.
void TestSimulatorInterop::refusedCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("no controllers")
        << QStringList{"--controllers", "0"} << "--controllers needs a number from 1 to 5000";
    QTest::newRow("more than 5000 controllers")
        << QStringList{"--controllers", "5001"} << "--controllers needs a number from 1 to 5000";
    QTest::newRow("controllers not a number")
        << QStringList{"--controllers", "many"} << "--controllers needs a number from 1 to 5000";
    QTest::newRow("controllers past port 65535")
        << QStringList{"--port", "65534", "--controllers", "3"}
        << "3 controllers from port 65534 would pass port 65535";
    QTest::newRow("stray argument") << QStringList{"1501"} << "unexpected argument '1501'";
    QTest::newRow("port out of range")
        << QStringList{"--port", "65536"} << "--port needs a number from 0 to 65535, not '65536'";
    QTest::newRow("delay out of range")
        << QStringList{"--delay", "60001"}
        << "--delay needs milliseconds from 0 to 60000, not '60001'";
    QTest::newRow("drop not a number")
        << QStringList{"--drop", "half"} << "--drop needs a percentage from 0 to 100, not 'half'";
    QTest::newRow("bind not an address") << QStringList{"--bind", "localhost"}
                                         << "--bind needs an IPv4 or IPv6 address, not 'localhost'";
    QTest::newRow("unknown option") << QStringList{"--ports", "1501"} << "Unknown option 'ports'";
    QTest::newRow("v3 with MD5") << QStringList{"--v3-user", "fp:MD5:AES"}
                                 << "MD5 and DES are not offered";
    QTest::newRow("v3 with DES") << QStringList{"--v3-user", "fp:SHA-256:DES"}
                                 << "MD5 and DES are not offered";
    QTest::newRow("v3 without passphrases")
        << QStringList{"--v3-user", "nobody:SHA-256:AES"} << "no passphrases for v3 user 'nobody'";
    QTest::newRow("v3 passphrase too short")
        << QStringList{"--v3-user", "short:SHA-256:AES"} << "passphrases must be at least 8 characters";
    QTest::newRow("v3 unknown privacy")
        << QStringList{"--v3-user", "fp:SHA-256:AES-512"} << "PRIV is AES, AES-192, AES-256 or none";
}

void TestSimulatorInterop::refusedCommandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("CONTROLLER_SIM_V3_PASSPHRASES", "fp:authpass256:privpass256;short:seven77:privpass256");
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(CONTROLLER_SIM_PATH), arguments);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 2);
    const QString err = QString::fromLocal8Bit(p.readAllStandardError());
    QVERIFY2(err.contains(message), qPrintable(err));
    QVERIFY(p.readAllStandardOutput().isEmpty());
}

void TestSimulatorInterop::helpAllPrintsHelpAndExits()
{
    QProcess p;
    p.start(QStringLiteral(CONTROLLER_SIM_PATH), {"--help-all"});
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
    const QByteArray out = p.readAllStandardOutput();
    QVERIFY2(out.startsWith("Usage:") && out.contains("--controllers <N>"), out.constData());
    QVERIFY(!out.contains("listening"));
}

// Every option --help lists has an entry in the man page under the same heading (value names
// without the angle brackets), whose text starts with the help's own text, ranges and defaults
// included; and the man page lists no option that --help does not.
void TestSimulatorInterop::manPageMatchesHelp()
{
    QProcess p;
    p.start(QStringLiteral(CONTROLLER_SIM_PATH), {"--help"});
    QVERIFY(p.waitForFinished(10000));
    QMap<QString, QString> help; // heading -> text
    QString heading;
    for (const QString &line : QString::fromLocal8Bit(p.readAllStandardOutput()).split('\n')) {
        static const QRegularExpression entry("^  (-\\S.*?)  +(\\S.*)$");
        const QRegularExpressionMatch m = entry.match(line);
        if (m.hasMatch()) {
            heading = m.captured(1).remove('<').remove('>');
            help[heading] = m.captured(2);
        } else if (!heading.isEmpty() && line.startsWith("    ")) {
            help[heading] += ' ' + line.trimmed();
        } else {
            heading.clear();
        }
    }
    QVERIFY2(help.size() >= 9, qPrintable(QStringList(help.keys()).join(' ')));

    QFile file(QStringLiteral(CONTROLLER_SIM_MAN));
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
    const QStringList lines = QString::fromUtf8(file.readAll()).replace("\\-", "-").split('\n');
    // roff: .TP starts an entry; its next line is the heading, whose arguments .B, .BI and .BR
    // print side by side; the text runs until the next request that starts a paragraph.
    QMap<QString, QString> man;
    const int options = int(lines.indexOf(".SH OPTIONS"));
    QVERIFY(options > 0);
    for (int i = options + 1; i < lines.size() && !lines[i].startsWith(".SH"); ++i) {
        if (lines[i] != ".TP" || i + 1 >= lines.size())
            continue;
        QString title;
        static const QRegularExpression argument("\"([^\"]*)\"|(\\S+)");
        auto it = argument.globalMatch(lines[i + 1].section(' ', 1));
        while (it.hasNext()) {
            const QRegularExpressionMatch a = it.next();
            title += a.captured(a.lastCapturedIndex());
        }
        QString text;
        for (int j = i + 2; j < lines.size() && !lines[j].startsWith(".TP") &&
                            !lines[j].startsWith(".SH") && !lines[j].startsWith(".RS");
             ++j)
            text += lines[j] + ' ';
        man[title] = text.simplified();
    }
    QCOMPARE(QStringList(man.keys()), QStringList(help.keys()));
    for (auto it = help.cbegin(); it != help.cend(); ++it)
        QVERIFY2(man[it.key()].startsWith(it.value()),
                 qPrintable(it.key() + "\n  help: " + it.value() + "\n  man:  " + man[it.key()]));
}

// The same controller over SNMPv3, judged by net-snmp's tools: authPriv reads of the display and
// a key at SHA-256/AES-128 and SHA-512/AES-256, and the Reports a wrong passphrase and an
// unknown user get, in net-snmp's words.
void TestSimulatorInterop::snmpV3WithNetSnmp()
{
    QTemporaryDir dir;
    const QString secrets = dir.filePath("v3");
    QFile file(secrets);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("fp256:authpass256:privpass256\nfp512:authpass512:privpass512\n");
    file.close();
    QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
    SimProcess v3{QStringLiteral(CONTROLLER_SIM_PATH)};
    const int v3Port = v3.start({"--v3-user", "fp256:SHA-256:AES", "--v3-user", "fp512:SHA-512:AES-256",
                                 "--v3-passphrases", secrets});
    QVERIFY2(v3Port > 0, v3.process.readAllStandardError().constData());
    const QString target = QStringLiteral("127.0.0.1:%1").arg(v3Port);
    auto v3Args = [&](const char *user, const char *auth, const char *authPass, const char *priv,
                      const char *privPass) {
        return QStringList{"-v3", "-l", "authPriv", "-u", user, "-a", auth, "-A", authPass, "-x",
                           priv, "-X", privPass, "-On", "-t", "2", "-r", "1", target};
    };

    const QStringList sha256 = v3Args("fp256", "SHA-256", "authpass256", "AES", "privpass256");
    const QStringList sha512 = v3Args("fp512", "SHA-512", "authpass512", "AES256", "privpass512");
    for (const QStringList &args : {sha256, sha512}) {
        const ToolResult r = runTool("snmpget", args + QStringList{"-Ox", "-Oqv", FirstBlockOid});
        QVERIFY2(r.exitCode == 0, r.out.constData());
        const QByteArray block = hexValue(r.out);
        QCOMPARE(block.size(), 322);
        QVERIFY2(block.mid(2).startsWith("MAIN MENU"), block.constData());
    }
    // A key over v3 changes the display, as over v1.
    const ToolResult set = runTool("snmpset", sha512 + QStringList{KeyOid, "x", "02"});
    QVERIFY2(set.exitCode == 0, set.out.constData());
    const ToolResult after = runTool("snmpget", sha256 + QStringList{"-Ox", "-Oqv", FirstBlockOid});
    QVERIFY2(hexValue(after.out).mid(2).startsWith("PHASE TIMING"), after.out.constData());
    QCOMPARE(runTool("snmpset", sha256 + QStringList{KeyOid, "x", "11"}).exitCode, 0);

    const ToolResult wrong = runTool(
        "snmpget", v3Args("fp256", "SHA-256", "authpass25x", "AES", "privpass256") + QStringList{SecondBlockOid});
    QVERIFY(wrong.exitCode != 0);
    QVERIFY2(wrong.out.contains("Authentication failure"), wrong.out.constData());
    const ToolResult stranger = runTool(
        "snmpget", v3Args("nobody", "SHA-256", "authpass256", "AES", "privpass256") + QStringList{SecondBlockOid});
    QVERIFY(stranger.exitCode != 0);
    QVERIFY2(stranger.out.contains("Unknown user name"), stranger.out.constData());
    // SNMPv1 is still answered beside it.
    QCOMPARE(get(SecondBlockOid, nullptr, v3Port).size(), 320);
}

void TestSimulatorInterop::readablePassphraseFileRefused()
{
    QTemporaryDir dir;
    QFile file(dir.filePath("v3"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("fp:authpass256:privpass256\n");
    file.close();
    QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
    QProcess p;
    p.start(QStringLiteral(CONTROLLER_SIM_PATH),
            {"--port", "0", "--v3-user", "fp:SHA-256:AES", "--v3-passphrases", file.fileName()});
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 2);
    QVERIFY2(p.readAllStandardError().contains("is readable by others: chmod 600 it"), "");
}

QTEST_GUILESS_MAIN(TestSimulatorInterop)
#include "tst_simulator_interop.moc"
