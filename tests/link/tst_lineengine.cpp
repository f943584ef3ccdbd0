// Controllers on a serial line: four stations of one simulated multi-drop loop at 9,600 bit/s,
// reached through a socat pty pair, through ser2net as a terminal server, and through a relay
// that flips bits; and a line that carries nothing but hostile bytes.
#include "enginethread.h"
#include "lineserver.h"
#include "snmpbytes.h"
#include "waitfor.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <mutex>

namespace {

constexpr int Stations = 4;
constexpr int Speed = 9600;

// The simulated loop's screen records, kept from its thread: each station's rows 0..7 with the
// cursor, and rows 8..15, as they were ever served.
struct Served
{
    std::mutex lock;
    QSet<QByteArray> upper[Stations + 1];
    QSet<QByteArray> lower[Stations + 1];
    QByteArray last[Stations + 1];

    void take(const char *line)
    {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        const int station = o.value("station").toInt();
        if (station < 1 || station > Stations)
            return;
        QByteArray rows;
        for (const QJsonValue &row : o.value("rows").toArray())
            rows += row.toString().toLatin1();
        const QJsonArray cursor = o.value("cursor").toArray();
        const QByteArray top = rows.left(320) + char(cursor.at(0).toInt()) +
                               char(cursor.at(1).toInt());
        std::lock_guard<std::mutex> locker(lock);
        upper[station].insert(top);
        lower[station].insert(rows.mid(320, 320));
        last[station] = rows;
    }
    QByteArray latest(int station)
    {
        std::lock_guard<std::mutex> locker(lock);
        return last[station];
    }
    // Whether both halves of the screen were served by that station at some time.
    bool wasServed(int station, const LinkState &s)
    {
        const QByteArray rows = screenText(s).left(640);
        const QByteArray top = rows.left(320) + char(s.cursorRow) + char(s.cursorColumn);
        std::lock_guard<std::mutex> locker(lock);
        return upper[station].contains(top) && lower[station].contains(rows.mid(320));
    }
};

template <int Bits> struct FourStations : LineServer
{
    FourStations() : LineServer(Stations, Bits) {}
};

// A simulated loop on its own thread at Bits a second. Made before any helper process starts:
// a thread started after a fork loses ThreadSanitizer its view of what came before.
template <int Bits = Speed> class Loop
{
public:
    Loop()
        : thread([this](FourStations<Bits> &line) {
              line.setRequestLog(true);
              line.setScreenLog([this](const char *record) { served.take(record); });
          })
    {
    }
    // Serves on the device at path.
    bool open(const QString &path)
    {
        bool opened = false;
        thread.onThread([&](FourStations<Bits> &line) {
            QString error;
            opened = line.openDevice(path, &error);
        });
        return opened;
    }
    Served served;
    LoopThread<FourStations<Bits>> thread;

    // The key codes each station was sent, in order.
    QList<int> keysAt(int station)
    {
        QList<int> keys;
        for (const LineServer::LoggedRequest &r : thread.get().requestLog()) {
            const SnmpBytes::Request q = SnmpBytes::parse(r.bytes);
            if (r.station == station && q.pduType == SnmpBytes::SetRequest && !q.value.isEmpty())
                keys << uint8_t(q.value.at(0));
        }
        return keys;
    }
};

// A process stopped with the test case that started it, and with the test should it die. The
// modifier also makes Qt fork rather than vfork, whose child runs on this thread's stack, which
// ThreadSanitizer takes for this thread's own writes.
struct Helper : QProcess
{
    Helper()
    {
        setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    }
    ~Helper() override
    {
        terminate();
        if (!waitForFinished(5000))
            kill();
        waitForFinished();
    }
};

// A socat pty pair: what is written to one end comes out of the other.
bool startPtyPair(QProcess &socat, const QString &a, const QString &b)
{
    socat.start("socat", {QStringLiteral("pty,raw,echo=0,link=%1").arg(a),
                          QStringLiteral("pty,raw,echo=0,link=%1").arg(b)});
    return socat.waitForStarted() &&
           waitFor([&] { return QFile::exists(a) && QFile::exists(b); }, Patience);
}

quint16 freeTcpPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// ser2net making the device at path a raw TCP port on loopback, as a terminal server does.
bool startSer2net(QProcess &ser2net, const QString &path, quint16 port)
{
    ser2net.start("ser2net",
                  {"-n", "-u", "-Y",
                   QStringLiteral("connection: &line#  accepter: tcp,127.0.0.1,%1#"
                                  "  connector: serialdev,%2,9600n81,local#"
                                  "  options:#    kickolduser: true")
                       .arg(port)
                       .arg(path)});
    if (!ser2net.waitForStarted())
        return false;
    // Ready once it takes a connection (which it then drops for ours).
    return waitFor(
        [&] {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            return probe.waitForConnected(200);
        },
        Patience);
}

LineState lineState(LinkEngine *engine, int line)
{
    LineState s;
    engine->readLine(line, &s);
    return s;
}

} // namespace

class TestLineEngine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void stationsShareALine_data();
    void stationsShareALine();
    void noiseNeverShowsAWrongCharacter();
    void hostileBytesOnTheLine();

private:
    // Adds the line and a watched link to each station; their ids.
    QList<int> addStations(const SerialLineConfig &config, int *line);
    void removeAll(const QList<int> &ids, int line);

    EngineThread thread;
    LinkEngine *engine = nullptr;
    QTemporaryDir scratch;
    // The pty pairs, made before the engine's thread: see pairNear().
    Helper socat[3];
    QString pairNear(int i) const { return scratch.filePath(QStringLiteral("near%1").arg(i)); }
    QString pairFar(int i) const { return scratch.filePath(QStringLiteral("far%1").arg(i)); }
};

void TestLineEngine::initTestCase()
{
    for (const char *tool : {"socat", "ser2net"})
        if (QStandardPaths::findExecutable(tool).isEmpty())
            QSKIP("socat and ser2net are needed (scripts/deps.sh test)");
    qRegisterMetaType<KeyOutcome>();
    // Every pty pair is made before the engine's thread starts: QProcess forks by clone with the
    // parent's memory shared, and ThreadSanitizer loses what a running thread has seen of this
    // one across it.
    for (int i = 0; i < 3; ++i)
        QVERIFY(startPtyPair(socat[i], pairNear(i), pairFar(i)));
    engine = thread.open();
}

QList<int> TestLineEngine::addStations(const SerialLineConfig &config, int *line)
{
    *line = thread.addLine(config);
    QList<int> ids;
    for (int station = 1; station <= Stations; ++station) {
        LinkConfig link;
        link.line = *line;
        link.station = station;
        link.pollInterval = 100;
        ids << thread.add(link);
        engine->watch(ids.back());
    }
    return ids;
}

void TestLineEngine::removeAll(const QList<int> &ids, int line)
{
    for (int id : ids)
        QVERIFY(thread.remove(id));
    QVERIFY(thread.removeLine(line));
}

void TestLineEngine::stationsShareALine_data()
{
    QTest::addColumn<bool>("terminalServer");
    QTest::newRow("pty pair") << false;
    QTest::newRow("ser2net") << true;
}

// Every station's display as the loop serves it, keys pressed on all four at once reaching each
// station exactly once and in order, and for the terminal server: its restart costs a while of
// silence and no restart of ours.
void TestLineEngine::stationsShareALine()
{
    QFETCH(bool, terminalServer);
    const QString near = pairNear(terminalServer ? 1 : 0);
    const QString far = pairFar(terminalServer ? 1 : 0);
    Loop<> loop;
    QVERIFY(loop.open(far));
    Helper ser2net;
    SerialLineConfig config;
    config.name = "corridor";
    config.speed = Speed;
    const quint16 port = freeTcpPort();
    if (terminalServer) {
        QVERIFY(startSer2net(ser2net, near, port));
        config.host = "127.0.0.1";
        config.port = port;
    } else {
        config.device = near.toStdString();
    }
    int line = 0;
    const QList<int> ids = addStations(config, &line);
    QVERIFY(line != 0);

    for (int station = 1; station <= Stations; ++station)
        QVERIFY2(waitFor(
                     [&] {
                         const QByteArray latest = loop.served.latest(station);
                         return !latest.isEmpty() &&
                                screenText(thread.state(ids[station - 1])).left(640) == latest;
                     },
                     Patience),
                 qPrintable(QStringLiteral("station %1 never showed what it served").arg(station)));

    Outcomes heard;
    heard.listen(engine);
    // Each station a sequence of its own, pressed all at once.
    QList<QList<int>> pressed;
    for (int station = 1; station <= Stations; ++station)
        pressed << QList<int>{10 + station, 21, 17};
    for (int k = 0; k < 3; ++k)
        for (int station = 1; station <= Stations; ++station)
            QVERIFY(engine->pressKey(ids[station - 1], uint8_t(pressed[station - 1][k])));
    QTRY_COMPARE_WITH_TIMEOUT(heard.outcomes.size(), 3 * Stations, Patience);
    // None refused; on a loaded machine an answer may come after its wait, which is told as
    // "no answer" and is no reason to send the key again.
    QVERIFY2(heard.outcomes.count(KeyOutcome::Dropped) == 0, qPrintable(heard.reasons.join(", ")));
    QVERIFY(heard.outcomes.count(KeyOutcome::Answered) > 0);
    for (int station = 1; station <= Stations; ++station)
        QCOMPARE(loop.keysAt(station), pressed[station - 1]);

    LineState s = lineState(engine, line);
    QCOMPARE(s.state, SerialLine::State::Open);
    QCOMPARE(s.answering, Stations);
    QCOMPARE(s.fcsErrors + s.malformed + s.otherStation, 0u);
    QVERIFY(s.framesIn > 0 && s.framesIn <= s.framesOut);
    QCOMPARE(loop.thread.get().lineCounters().fcsErrors, 0u);
    // At 9,600 bit/s, two block reads for each of four stations take about 3.7 s.
    QVERIFY2(s.displayCycleMs > 3000 && s.displayCycleMs < 4500,
             qPrintable(QString::number(s.displayCycleMs)));

    if (terminalServer) {
        ser2net.kill();
        ser2net.waitForFinished();
        QTRY_VERIFY_WITH_TIMEOUT(thread.state(ids[0]).health == LinkWait::Health::Silent,
                                 Patience);
        QVERIFY(startSer2net(ser2net, near, port));
        QTRY_COMPARE_WITH_TIMEOUT(lineState(engine, line).answering, Stations, 2 * Patience);
        QVERIFY(lineState(engine, line).reopened >= 1);
    }
    removeAll(ids, line);
}

// At a bit error rate of 1e-4 and a byte lost in 10,000, a third of the display frames are hit:
// their FCS is wrong and they are counted and dropped, the line goes on, and no screen the
// engine shows ever holds a character its station did not serve.
void TestLineEngine::noiseNeverShowsAWrongCharacter()
{
    // The fastest line: the same share of frames is hit, sooner.
    Loop<115200> loop;
    Helper relay;
    const QString stats = scratch.filePath("relay.json");
    relay.start("/usr/bin/python3", {LINERELAY_PATH, "--ber", "1e-4", "--lose-bytes", "1e-4",
                                     "--seed", "5", "--stats", stats});
    QTRY_VERIFY_WITH_TIMEOUT(relay.canReadLine(), Patience);
    const QStringList paths = QString::fromLatin1(relay.readLine()).trimmed().split(' ');
    QCOMPARE(paths.size(), 3);
    QVERIFY(loop.open(paths[2]));
    SerialLineConfig config;
    config.device = paths[1].toStdString();
    config.speed = 115200;
    int line = 0;
    const QList<int> ids = addStations(config, &line);

    int looked = 0;
    QStringList wrong;
    QObject receiver;
    connect(
        engine, &LinkEngine::screenChanged, &receiver,
        [&](int id) {
            const int station = ids.indexOf(id) + 1;
            const LinkState s = thread.state(id);
            // The first blocks land on a blank screen: judged once both halves came.
            if (s.counters.accepted < 2)
                return;
            ++looked;
            if (!loop.served.wasServed(station, s))
                wrong << QStringLiteral("station %1: %2").arg(station).arg(
                             QString::fromLatin1(screenText(s).left(640)));
        },
        Qt::QueuedConnection);
    QTRY_VERIFY_WITH_TIMEOUT(lineState(engine, line).fcsErrors >= 10, 3 * Patience);
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join('\n')));
    QVERIFY(looked > 0);
    for (int id : ids)
        QVERIFY(thread.state(id).counters.accepted > 0);
    QCOMPARE(lineState(engine, line).state, SerialLine::State::Open);

    relay.terminate();
    QVERIFY(relay.waitForFinished());
    QFile file(stats);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonObject figures = QJsonDocument::fromJson(file.readAll()).object();
    QVERIFY(figures.value("bits_flipped").toInt() > 0);
    // crcmod's word on every frame the engine sent.
    QVERIFY(figures.value("engine_frames_checked").toInt() > 20);
    QCOMPARE(figures.value("engine_frames_wrong_fcs").toInt(), 0);
    removeAll(ids, line);
}

// Random bytes, a frame without end, frames cut at an escape, a right frame for a station the
// line does not have: counted, never shown, and the line serves its station as soon as it
// speaks.
void TestLineEngine::hostileBytesOnTheLine()
{
    const QString near = pairNear(2);
    const QString far = pairFar(2);
    Loop<115200> loop;
    SerialLineConfig config;
    config.device = near.toStdString();
    config.speed = 115200;
    const int line = thread.addLine(config);
    LinkConfig link;
    link.line = line;
    link.station = 1;
    const int id = thread.add(link);
    engine->watch(id);

    const int fd = ::open(QFile::encodeName(far).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    QByteArray hostile;
    QRandomGenerator random(11);
    for (int i = 0; i < 20000; ++i)
        hostile += char(random.bounded(256));
    hostile += '\x7e' + QByteArray(3000, 'A');
    for (int i = 0; i < 50; ++i)
        hostile += QByteArray("\x7e\x05\x13\xc1\x30\x7d\x7e", 7);
    // Station 9's GetResponse-shaped frame with a right FCS: another station's business.
    NtcipPacket other;
    other.address = 9;
    other.frame[0] = 0x30;
    other.frame[1] = 0x00;
    other.frameLength = 2;
    QVERIFY(other.wrapFrame());
    hostile += QByteArray(reinterpret_cast<const char *>(other.frame), other.frameLength);
    for (int at = 0; at < hostile.size(); at += 512) {
        const int n = int(std::min<qsizetype>(512, hostile.size() - at));
        QCOMPARE(int(::write(fd, hostile.constData() + at, size_t(n))), n);
        QTest::qWait(5);
    }
    QTRY_VERIFY_WITH_TIMEOUT(lineState(engine, line).otherStation == 1, Patience);
    const LineState s = lineState(engine, line);
    QVERIFY(s.malformed + s.fcsErrors > 50);
    QCOMPARE(thread.state(id).counters.accepted, 0u);
    ::close(fd);

    // The station answers now.
    QVERIFY(loop.open(far));
    QTRY_VERIFY_WITH_TIMEOUT(screenText(thread.state(id)).contains("MAIN MENU"), Patience);
    QCOMPARE(lineState(engine, line).state, SerialLine::State::Open);
    removeAll({id}, line);
}

QTEST_GUILESS_MAIN(TestLineEngine)
#include "tst_lineengine.moc"
