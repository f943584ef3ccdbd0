// The page channel's rules through its seams, without a socket: fake pages behind PageSink, a
// fake controller source, a real audit trail and recording in a scratch folder.
#include "auditlog.h"
#include "fakecontrollersource.h"
#include "pagechannel.h"
#include "recorder.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <sqlite3.h>

#include <memory>

namespace {

class FakePage : public PageSink
{
public:
    QVector<QJsonObject> sent;
    // Fold keys whose message the page has not been sent yet.
    QSet<QByteArray> unsent;
    QString closed;

    void send(const QByteArray &text, const QByteArray &) override
    {
        sent.append(QJsonDocument::fromJson(text).object());
    }
    bool waiting(const QByteArray &foldKey) const override { return unsent.contains(foldKey); }
    void close(const QString &reason) override { closed = reason; }

    QVector<QJsonObject> ofType(const QString &type) const
    {
        QVector<QJsonObject> out;
        for (const QJsonObject &m : sent) {
            if (m.value("type").toString() == type)
                out.append(m);
        }
        return out;
    }
};

qint64 now()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// The shared tables as the leader's writes leave them: what a server that takes over reads.
class TableMirror : public AccessMirror
{
public:
    QHash<QByteArray, AccessSnapshot::SessionRow> sessions;
    QHash<QString, AccessSnapshot::ControlRow> controls;

    void sessionSaved(const QByteArray &idHash, const QString &user, Role role,
                      qint64 idleMs) override
    {
        sessions.insert(idHash, {idHash, user, role, idleMs});
    }
    void sessionEnded(const QByteArray &idHash) override { sessions.remove(idHash); }
    void controlSaved(const QString &controller, const QString &user,
                      const QByteArray &sessionHash, qint64 idleMs) override
    {
        controls.insert(controller, {controller, user, sessionHash, idleMs});
    }
    void controlEnded(const QString &controller) override { controls.remove(controller); }

    AccessSnapshot read(qint64 idleMs) const
    {
        AccessSnapshot out;
        for (AccessSnapshot::SessionRow row : sessions) {
            row.idleMs = idleMs;
            out.sessions.append(row);
        }
        for (AccessSnapshot::ControlRow row : controls) {
            row.idleMs = idleMs;
            out.controls.append(row);
        }
        return out;
    }
};

// The waiting server of a pair: it records nothing.
class WaitingTrail : public KeyTrail
{
public:
    int recorded = 0;
    bool leading() const override { return false; }
    void record(const AuditEntry &, Done done) override
    {
        ++recorded;
        done(TrailWrite::NotLeading, 0);
    }
    void recordOutcome(qint64, const QString &, const QString &, Done) override {}
    QVector<AuditEntry> recent(const QString &) const override { return {}; }
    qint64 headSequence() const override { return 0; }
    QByteArray headHash() const override { return {}; }
    quint64 linesWritten() const override { return 0; }
    quint64 writeFailures() const override { return 0; }
};

QString padded(const QString &text)
{
    return text.leftJustified(ControllerSnapshot::Columns, ' ');
}

} // namespace

class TestPageChannel : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void rules_data();
    void rules();
    void oneOperatorAtATime();
    void fanOut_data();
    void fanOut();
    void changeOver_data();
    void changeOver();
    void waitingServerRefusesKeys();

private:
    quint64 join(FakePage *page, const QString &user, Role role);
    void say(quint64 id, const QJsonObject &message);

    std::unique_ptr<QTemporaryDir> dir;
    WebConfig config;
    std::unique_ptr<SessionStore> sessions;
    std::unique_ptr<AuditLog> audit;
    std::unique_ptr<FakeControllerSource> source;
    std::unique_ptr<Recorder> recorder;
    std::unique_ptr<PageChannel> channel;
};

void TestPageChannel::init()
{
    dir = std::make_unique<QTemporaryDir>();
    config = WebConfig();
    for (const char *id : {"c1", "c2"}) {
        ControllerConfig c;
        c.id = QString::fromLatin1(id);
        c.name = c.id;
        c.address = QStringLiteral("127.0.0.1");
        config.controllers.append(c);
    }
    sessions = std::make_unique<SessionStore>(3600 * 1000);
    audit = std::make_unique<AuditLog>();
    QString error;
    QVERIFY2(audit->open(dir->filePath("audit.log"), &error), qPrintable(error));
    source = std::make_unique<FakeControllerSource>(2);
    source->setRow(0, 0, "MAIN MENU");
    recorder = std::make_unique<Recorder>();
    QVERIFY2(recorder->open(dir->filePath("recording.db"), Recorder::Limits(), &error),
             qPrintable(error));
    channel = std::make_unique<PageChannel>(config, sessions.get(), audit.get(), source.get());
    channel->setRecorder(recorder.get());
}

void TestPageChannel::cleanup()
{
    channel.reset();
    recorder.reset();
}

quint64 TestPageChannel::join(FakePage *page, const QString &user, Role role)
{
    PageIdentity who;
    who.user = user;
    who.role = role;
    who.address = QStringLiteral("192.0.2.7");
    who.session = sessions->create(user, role, now());
    return channel->join(page, who);
}

void TestPageChannel::say(quint64 id, const QJsonObject &message)
{
    channel->receive(id, QJsonDocument(message).toJson(QJsonDocument::Compact), now());
}

// Each row: one page's messages in order, the refusals it gets and the keys that reach the
// controller. A key reaches it only from an operator holding control of the panel it has open,
// and only after its line is in the audit trail.
void TestPageChannel::rules_data()
{
    QTest::addColumn<bool>("isOperator");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QStringList>("refusals");
    QTest::addColumn<int>("keys");

    const QString watch = R"({"type":"watch","controller":"c1"})";
    const QString take = R"({"type":"take","controller":"c1"})";
    const QString key = R"({"type":"key","controller":"c1","code":1})";
    QTest::newRow("viewer presses") << false << QStringList{watch, take, key}
                                    << QStringList{"viewers cannot press keys or take control",
                                                   "viewers cannot press keys or take control"}
                                    << 0;
    QTest::newRow("operator without control")
        << true << QStringList{watch, key} << QStringList{"take control first"} << 0;
    QTest::newRow("take before the panel is open")
        << true << QStringList{take, key}
        << QStringList{"open the controller's panel first", "take control first"} << 0;
    QTest::newRow("operator with control")
        << true << QStringList{watch, take, key, key} << QStringList{} << 2;
    QTest::newRow("no such controller")
        << true << QStringList{R"({"type":"watch","controller":"c9"})"}
        << QStringList{"no such controller"} << 0;
    QTest::newRow("no such key")
        << true
        << QStringList{watch, take, R"({"type":"key","controller":"c1","code":99})",
                       R"({"type":"key","controller":"c1","code":1.5})"}
        << QStringList{"no such key", "no such key"} << 0;
    QTest::newRow("released") << true
                              << QStringList{watch, take, R"({"type":"release","controller":"c1"})",
                                             key}
                              << QStringList{"take control first"} << 0;
}

void TestPageChannel::rules()
{
    QFETCH(bool, isOperator);
    QFETCH(QStringList, messages);
    QFETCH(QStringList, refusals);
    QFETCH(int, keys);

    FakePage page;
    const quint64 id =
        join(&page, QStringLiteral("ann"), isOperator ? Role::Operator : Role::Viewer);
    for (const QString &m : messages)
        say(id, QJsonDocument::fromJson(m.toUtf8()).object());

    QStringList said;
    for (const QJsonObject &r : page.ofType("refused"))
        said.append(r.value("message").toString());
    QCOMPARE(said, refusals);
    QCOMPARE(source->pressed.size(), keys);
    // Every key sent has its line in the trail, written before it was handed on.
    QCOMPARE(audit->headSequence(), qint64(keys));
    for (const FakeControllerSource::Press &p : source->pressed) {
        QCOMPARE(p.index, 0);
        QCOMPARE(p.code, uint8_t(1));
    }
}

void TestPageChannel::oneOperatorAtATime()
{
    FakePage ann, bob;
    const quint64 a = join(&ann, QStringLiteral("ann"), Role::Operator);
    const quint64 b = join(&bob, QStringLiteral("bob"), Role::Operator);
    say(a, {{"type", "watch"}, {"controller", "c1"}});
    say(b, {{"type", "watch"}, {"controller", "c1"}});
    QCOMPARE(source->watching[0], 2);
    say(a, {{"type", "take"}, {"controller", "c1"}});
    say(b, {{"type", "take"}, {"controller", "c1"}});
    say(b, {{"type", "key"}, {"controller", "c1"}, {"code", 2}});
    QCOMPARE(bob.ofType("refused").size(), 2);
    QCOMPARE(bob.ofType("refused").last().value("message").toString(),
             QStringLiteral("ann has control"));
    QVERIFY(source->pressed.isEmpty());
    // Both panels are told who holds it; only the holder is told it is theirs.
    QCOMPARE(ann.ofType("control").last().value("yours").toBool(), true);
    QCOMPARE(bob.ofType("control").last().value("holder").toString(), QStringLiteral("ann"));
    QCOMPARE(bob.ofType("control").last().value("yours").toBool(), false);

    // The holder's page goes: control is free, its watch ends, and the other may take it.
    channel->leave(a);
    QCOMPARE(source->watching[0], 1);
    QCOMPARE(bob.ofType("control").last().value("holder").toString(), QString());
    say(b, {{"type", "take"}, {"controller", "c1"}});
    say(b, {{"type", "key"}, {"controller", "c1"}, {"code", 2}});
    QCOMPARE(source->pressed.size(), 1);
    QCOMPARE(int(source->pressed[0].code), 2);
}

// An operator holds control of c1 on one server of a pair, which then goes; the other takes
// over from what the first wrote behind. The operator's page, back with its session, is logged in
// and in control without asking; another page of the same user is not, until control ran idle.
void TestPageChannel::changeOver_data()
{
    QTest::addColumn<bool>("sameSession");
    QTest::addColumn<qint64>("idleMs");
    QTest::addColumn<bool>("inControl");

    QTest::newRow("the session that held control") << true << qint64(0) << true;
    QTest::newRow("the session, control idle too long") << true << ControlLocks::IdleMs << false;
    QTest::newRow("another session of the same user") << false << qint64(0) << false;
    QTest::newRow("another session, control idle too long")
        << false << ControlLocks::IdleMs << true;
}

void TestPageChannel::changeOver()
{
    QFETCH(bool, sameSession);
    QFETCH(qint64, idleMs);
    QFETCH(bool, inControl);

    TableMirror table;
    channel->setMirror(&table);
    FakePage before;
    PageIdentity who;
    who.user = QStringLiteral("ann");
    who.role = Role::Operator;
    who.session = sessions->create(who.user, who.role, now());
    const quint64 a = channel->join(&before, who);
    say(a, {{"type", "watch"}, {"controller", "c1"}});
    say(a, {{"type", "take"}, {"controller", "c1"}});
    QCOMPARE(table.controls.size(), 1);
    // The table knows the session by its hash only.
    QVERIFY(!table.sessions.contains(who.session));
    QVERIFY(table.sessions.contains(sessionHash(who.session)));

    // The other server, with nothing of its own yet.
    SessionStore otherSessions(3600 * 1000);
    FakeControllerSource otherSource(2);
    PageChannel other(config, &otherSessions, audit.get(), &otherSource);
    other.adopt(table.read(idleMs), now());
    QVERIFY(otherSessions.use(who.session, now()));
    if (!sameSession)
        who.session = otherSessions.create(who.user, who.role, now());
    FakePage back;
    const quint64 b = other.join(&back, who);
    auto sayOther = [&](const QJsonObject &m) {
        other.receive(b, QJsonDocument(m).toJson(QJsonDocument::Compact), now());
    };
    sayOther({{"type", "watch"}, {"controller", "c1"}});
    if (!sameSession)
        sayOther({{"type", "take"}, {"controller", "c1"}});
    sayOther({{"type", "key"}, {"controller", "c1"}, {"code", 3}});
    QCOMPARE(back.ofType("control").last().value("yours").toBool(), inControl);
    QCOMPARE(otherSource.pressed.size(), inControl ? 1 : 0);
    QCOMPARE(back.ofType("refused").isEmpty(), inControl);
}

// Keys on the server that waits are refused with words, and never reach the trail or a
// controller.
void TestPageChannel::waitingServerRefusesKeys()
{
    WaitingTrail waiting;
    PageChannel paired(config, sessions.get(), &waiting, source.get());
    FakePage page;
    PageIdentity who;
    who.user = QStringLiteral("ann");
    who.role = Role::Operator;
    who.session = sessions->create(who.user, who.role, now());
    const quint64 id = paired.join(&page, who);
    for (const char *m : {R"({"type":"watch","controller":"c1"})",
                          R"({"type":"take","controller":"c1"})",
                          R"({"type":"key","controller":"c1","code":3})"})
        paired.receive(id, m, now());
    QCOMPARE(page.ofType("refused").size(), 1);
    QCOMPARE(page.ofType("refused").last().value("message").toString(), PageChannel::ChangingOver);
    QCOMPARE(waiting.recorded, 0);
    QVERIFY(source->pressed.isEmpty());
}

// A reply's changed rows reach every page that shows the controller (panels and tiles) and the
// recording alike; a page whose last screen still waits unsent gets every row instead.
void TestPageChannel::fanOut_data()
{
    QTest::addColumn<QVector<int>>("rows");
    QTest::addColumn<bool>("cursorMoves");

    QTest::newRow("one row") << QVector<int>{5} << false;
    QTest::newRow("first and last rows") << QVector<int>{0, 15} << true;
    QTest::newRow("the cursor alone") << QVector<int>{} << true;
    QTest::newRow("nothing") << QVector<int>{} << false;
}

void TestPageChannel::fanOut()
{
    QFETCH(QVector<int>, rows);
    QFETCH(bool, cursorMoves);

    FakePage panel, viewer, tiles, behind, other;
    say(join(&panel, "ann", Role::Operator), {{"type", "watch"}, {"controller", "c1"}});
    say(join(&viewer, "vic", Role::Viewer), {{"type", "watch"}, {"controller", "c1"}});
    say(join(&tiles, "tom", Role::Viewer), {{"type", "overview"}, {"show", QJsonArray{0}}});
    say(join(&behind, "bea", Role::Viewer), {{"type", "watch"}, {"controller", "c1"}});
    say(join(&other, "oli", Role::Viewer), {{"type", "watch"}, {"controller", "c2"}});
    for (FakePage *p : {&panel, &viewer, &tiles, &behind}) {
        QCOMPARE(p->ofType("screen").size(), 1);
        QCOMPARE(p->ofType("screen")[0].value("rows").toArray()[0].toString(),
                 padded("MAIN MENU"));
        p->sent.clear();
    }
    other.sent.clear();
    behind.unsent.insert("screen:0");

    for (int r : rows)
        source->setRow(0, r, "ROW " + QByteArray::number(r) + " CHANGED");
    if (cursorMoves) {
        source->link(0).cursorRow = 3;
        source->link(0).cursorColumn = 7;
    }
    channel->screenChanged(0);

    const bool anything = !rows.isEmpty() || cursorMoves;
    for (FakePage *p : {&panel, &viewer, &tiles}) {
        const QVector<QJsonObject> screens = p->ofType("screen");
        QCOMPARE(screens.size(), anything ? 1 : 0);
        if (!anything)
            continue;
        QVERIFY(!screens[0].contains("rows"));
        const QJsonArray changed = screens[0].value("changed").toArray();
        QCOMPARE(changed.size(), rows.size());
        for (int i = 0; i < rows.size(); ++i) {
            QCOMPARE(changed[i].toArray()[0].toInt(), rows[i]);
            QCOMPARE(changed[i].toArray()[1].toString(),
                     padded(QStringLiteral("ROW %1 CHANGED").arg(rows[i])));
        }
        QCOMPARE(screens[0].value("cursor").toArray()[0].toInt(), cursorMoves ? 3 : 0);
    }
    const QVector<QJsonObject> whole = behind.ofType("screen");
    QCOMPARE(whole.size(), 1);
    QCOMPARE(whole[0].value("rows").toArray().size(), ControllerSnapshot::Rows);
    QVERIFY(other.ofType("screen").isEmpty());

    // The recording holds the display whole from the first watch, then this reply's rows.
    recorder->flush();
    sqlite3 *db = nullptr;
    QCOMPARE(sqlite3_open_v2(qPrintable(dir->filePath("recording.db")), &db, SQLITE_OPEN_READONLY,
                             nullptr),
             SQLITE_OK);
    sqlite3_stmt *query = nullptr;
    QCOMPARE(sqlite3_prepare_v2(db,
                                "SELECT kind, rows FROM events WHERE controller = 'c1'"
                                " AND kind IN (0, 1) ORDER BY rowid",
                                -1, &query, nullptr),
             SQLITE_OK);
    QVector<QPair<int, int>> events;
    while (sqlite3_step(query) == SQLITE_ROW)
        events.append({sqlite3_column_int(query, 0), sqlite3_column_int(query, 1)});
    sqlite3_finalize(query);
    sqlite3_close(db);
    int mask = 0;
    for (int r : rows)
        mask |= 1 << r;
    QVector<QPair<int, int>> expected{{Recording::Whole, (1 << ControllerSnapshot::Rows) - 1}};
    if (anything)
        expected.append({Recording::Change, mask});
    QCOMPARE(events, expected);
}

QTEST_GUILESS_MAIN(TestPageChannel)
#include "tst_pagechannel.moc"
