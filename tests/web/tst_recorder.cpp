// The recordings: what goes in comes back at any instant, a damaged row is passed over, a stuck
// database costs counted events and never a wait, and the size limit holds over a long run.
#include "recorder.h"
#include "recordingformats.h"
#include "recordingreader.h"
#include "replayquery.h"

#include <sqlite3.h>

#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr qint64 Start = 1796000000000; // an instant in 2026, in ms

// A display whose row r reads "<tag> r"; with a tag per step each step changes every row.
QByteArray display(const QByteArray &tag, int changedRow = -1, const QByteArray &rowText = {})
{
    QByteArray text;
    for (int r = 0; r < Recording::Rows; ++r) {
        QByteArray row = (r == changedRow ? rowText : tag + ' ' + QByteArray::number(r))
                             .leftJustified(Recording::Columns, ' ', true);
        text += row;
    }
    return text;
}

// The first column of the first row, as text.
QString scalar(const QString &path, const char *sql)
{
    sqlite3 *db = nullptr;
    sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt *s = nullptr;
    QString value;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
        value = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(s, 0)));
    sqlite3_finalize(s);
    sqlite3_close(db);
    return value;
}

} // namespace

class TestRecorder : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void replayAtAnyInstant_data();
    void replayAtAnyInstant();
    void damagedRowsArePassedOver();
    void stuckDatabaseCostsEventsNotWaits();
    void sizeLimitHoldsOverALongRun();
    void ageLimitRemovesOldRecordings();
    void replayQueries_data();
    void replayQueries();

private:
    // One controller's history: 150 s of displays, a change a second (one row, then the cursor),
    // two keys with their outcomes, a pause at 100 s and a new start at 110 s.
    void recordHistory(Recorder *recorder);
    // The display and cursor the history had at instant t.
    QPair<QByteArray, int> expectedAt(qint64 t) const;

    QTemporaryDir dir;
    QString path;
    QVector<QPair<qint64, QPair<QByteArray, int>>> history;
};

void TestRecorder::init()
{
    path = dir.filePath(QStringLiteral("rec-%1.db").arg(QRandomGenerator::global()->generate()));
    history.clear();
}

void TestRecorder::recordHistory(Recorder *recorder)
{
    QByteArray shown = display("MAIN");
    int cursor = 0;
    for (int s = 0; s < 150; ++s) {
        const qint64 t = Start + s * 1000;
        if (s == 100) {
            recorder->pause(QStringLiteral("c1"), t);
            history.append({t, {QByteArray(), -1}});
            continue;
        }
        if (s > 100 && s < 110)
            continue;
        if (s % 2 == 0)
            shown = display("MAIN", s % Recording::Rows, "CLOCK " + QByteArray::number(s));
        else
            cursor = (s * 7) % Recording::DisplayBytes;
        recorder->screen(QStringLiteral("c1"), t, shown, cursor / Recording::Columns + 1,
                         cursor % Recording::Columns + 1);
        // Another controller's screens in the same moments must stay out of c1's replay.
        recorder->screen(QStringLiteral("c2"), t, display("OTHER" + QByteArray::number(s)), 0, 0);
        history.append({t, {shown, cursor}});
    }
    recorder->key(QStringLiteral("c1"), Start + 30500, QStringLiteral("ann"),
                  QStringLiteral("NEXT"), 41);
    recorder->key(QStringLiteral("c1"), Start + 31500, QStringLiteral("bob"),
                  QStringLiteral("ENTER"), 42);
    recorder->outcome(QStringLiteral("c1"), Start + 31000, 41, QStringLiteral("answered"));
    recorder->outcome(QStringLiteral("c1"), Start + 36000, 42, QStringLiteral("no answer"));
}

QPair<QByteArray, int> TestRecorder::expectedAt(qint64 t) const
{
    QPair<QByteArray, int> at{QByteArray(), -1};
    for (const auto &step : history) {
        if (step.first <= t)
            at = step.second;
    }
    return at;
}

void TestRecorder::replayAtAnyInstant_data()
{
    QTest::addColumn<qint64>("from");
    QTest::addColumn<qint64>("to");
    QTest::newRow("from the first display") << Start << Start + 20000;
    QTest::newRow("between whole displays") << Start + 95400 << Start + 99999;
    QTest::newRow("across the keys") << Start + 25000 << Start + 40000;
    QTest::newRow("in the pause") << Start + 104000 << Start + 120000;
    QTest::newRow("past the end") << Start + 149000 << Start + 200000;
}

void TestRecorder::replayAtAnyInstant()
{
    QFETCH(qint64, from);
    QFETCH(qint64, to);
    {
        Recorder recorder;
        QString error;
        QVERIFY2(recorder.open(path, Recorder::Limits(), &error), qPrintable(error));
        recordHistory(&recorder);
    } // written and closed

    Replay replay;
    QString error;
    QVERIFY2(readReplay(path, QStringLiteral("c1"), from, to, 100000, &replay, &error),
             qPrintable(error));
    QByteArray shown = replay.display;
    int cursor = replay.cursor;
    const auto start = expectedAt(from);
    QCOMPARE(replay.recordedAtStart, !start.first.isEmpty());
    if (replay.recordedAtStart) {
        QCOMPARE(shown, start.first);
        QCOMPARE(cursor, start.second);
    }
    // Every step of the history in the range, in order, and the display after each as it was.
    QVector<qint64> times;
    for (const ReplayChange &change : replay.changes) {
        applyChange(change, &shown, &cursor);
        times << change.timeMs;
        const auto want = expectedAt(change.timeMs);
        if (change.pause) {
            QVERIFY(want.first.isEmpty());
            continue;
        }
        QCOMPARE(shown, want.first);
        QCOMPARE(cursor, want.second);
    }
    QVector<qint64> wanted;
    for (const auto &step : history) {
        if (step.first > from && step.first <= to)
            wanted << step.first;
    }
    QCOMPARE(times, wanted);

    // The keys in the range, with their outcomes whenever they came.
    QStringList keys;
    for (const ReplayKey &key : replay.keys)
        keys << QStringLiteral("%1 %2 %3 %4").arg(key.user, key.key, key.outcome).arg(key.seq);
    QStringList wantedKeys;
    if (from < Start + 30500 && to >= Start + 30500)
        wantedKeys << QStringLiteral("ann NEXT answered 41");
    if (from < Start + 31500 && to >= Start + 31500)
        wantedKeys << QStringLiteral("bob ENTER no answer 42");
    QCOMPARE(keys, wantedKeys);

    // The text export names each key and ends with the range's last display.
    const QString text = QString::fromUtf8(RecordingFormats::plainText(replay, "Main & 5th"));
    for (const ReplayKey &key : replay.keys)
        QVERIFY(text.contains(QStringLiteral(" key %1 by %2: %3").arg(key.key, key.user, key.outcome)));
    if (!shown.isEmpty() && !replay.changes.isEmpty() && !replay.changes.last().pause)
        QVERIFY(text.contains(QString::fromLatin1(shown.mid(15 * 40, 40))));
}

void TestRecorder::damagedRowsArePassedOver()
{
    {
        Recorder recorder;
        QString error;
        QVERIFY2(recorder.open(path, Recorder::Limits(), &error), qPrintable(error));
        recorder.screen(QStringLiteral("c1"), Start, display("MAIN"), 3, 4);
    }
    // Someone altered the file: rows that do not fit their mask, a terminal's escape, a
    // cursor far off the display.
    sqlite3 *db = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
    const char *altered =
        "INSERT INTO events(controller, t, kind, rows, cursor, data) VALUES"
        "('c1', 1796000001000, 0, 3, 5, x'41'),"
        "('c1', 1796000002000, 0, 1, 999999, x'1b5b324a1b5d303b6576696c07" // ESC[2J ESC]0;evil BEL
        "202020202020202020202020202020202020202020202020202020'),"
        "('c1', 1796000003000, 7, 0, 0, NULL),"
        "('c1', 1796000004000, 0, -1, 0, x'00')";
    QCOMPARE(sqlite3_exec(db, altered, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);

    Replay replay;
    QString error;
    QVERIFY2(readReplay(path, QStringLiteral("c1"), Start - 1, Start + 10000, 1000, &replay, &error),
             qPrintable(error));
    QCOMPARE(replay.changes.size(), 2); // the whole display and the escape row, made harmless
    QCOMPARE(replay.changes[1].cursor, -1);
    QVERIFY(!replay.changes[1].rows.contains('\x1b'));
    QVERIFY(!replay.changes[1].rows.contains('\x07'));
    const QByteArray cast = RecordingFormats::asciicast(replay, "c1");
    // Only the export's own escapes (cursor moves) reach a terminal that plays it.
    QVERIFY(cast.contains("]0;evil"));
    QVERIFY(!cast.contains("\\u001b]0;evil"));
    QVERIFY(!cast.contains("\\u0007"));
}

// A database someone else holds locked (or a disk that stopped answering): the events of the
// batches that could not be written are counted, handing events over never waits for the disk,
// and writing resumes once the lock goes.
void TestRecorder::stuckDatabaseCostsEventsNotWaits()
{
    Recorder recorder;
    Recorder::Limits limits;
    limits.batchMs = 50;
    limits.queueCap = 200;
    QString error;
    QVERIFY2(recorder.open(path, limits, &error), qPrintable(error));

    sqlite3 *other = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(path).constData(), &other), SQLITE_OK);
    // The writer may hold the lock for a moment as it starts (its age and size pass): this
    // connection waits its turn rather than fail, and then holds the lock for the rest.
    sqlite3_busy_timeout(other, 10000);
    QCOMPARE(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);

    QElapsedTimer handing;
    handing.start();
    for (int i = 0; i < 1000; ++i)
        recorder.screen(QStringLiteral("c1"), Start + i, display(QByteArray::number(i)), 0, 0);
    const qint64 handOverMs = handing.elapsed();
    recorder.flush();
    QCOMPARE(recorder.eventsWritten(), 0u);
    QCOMPARE(recorder.writeFailures(), 1000u);
    // Each batch waits out the busy time on the writer's thread; 1,000 hand-overs took that
    // long at most in all (said, not timed: a loaded machine may be slow at anything).
    qInfo("1,000 events handed over to a stuck database in %lld ms", handOverMs);

    QCOMPARE(sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    recorder.screen(QStringLiteral("c1"), Start + 5000, display("AFTER"), 0, 0);
    recorder.flush();
    QCOMPARE(recorder.eventsWritten(), 1u);
    QCOMPARE(scalar(path, "SELECT count(*) FROM events"), QStringLiteral("1"));
}

void TestRecorder::sizeLimitHoldsOverALongRun()
{
    Recorder recorder;
    Recorder::Limits limits;
    limits.maxBytes = 256 * 1024;
    limits.batchMs = 20;
    QString error;
    QVERIFY2(recorder.open(path, limits, &error), qPrintable(error));
    // About 2.5 MB of changes from 20 controllers, in many batches: ten times the limit.
    qint64 t = QDateTime::currentMSecsSinceEpoch() - 3600 * 1000;
    qint64 largest = 0;
    for (int round = 0; round < 60; ++round) {
        for (int c = 0; c < 20; ++c) {
            for (int i = 0; i < 30; ++i) {
                const QByteArray tag = QByteArray::number(round * 1000 + i);
                recorder.screen(QStringLiteral("c%1").arg(c), ++t, display(tag), i % 16, c);
            }
        }
        recorder.flush();
        largest = qMax(largest, QFileInfo(path).size());
    }
    recorder.flush();
    // The writer trims after the batch that passed the limit; a batch here is about 200 kB.
    const qint64 now = QFileInfo(path).size() + QFileInfo(path + "-wal").size();
    qInfo("file %lld bytes at the end, %lld at most between batches; %llu events removed", now,
          largest, quint64(recorder.eventsRemoved()));
    QVERIFY2(now <= limits.maxBytes, qPrintable(QString::number(now)));
    QVERIFY(recorder.eventsRemoved() > 0);
    QCOMPARE(recorder.writeFailures(), 0u);
    // What was kept is the newest, and it still replays: the last display of c19.
    Replay replay;
    QVERIFY2(readReplay(path, QStringLiteral("c19"), t - 1000, t, 1000, &replay, &error),
             qPrintable(error));
    QVERIFY(!replay.changes.isEmpty());
    QByteArray shown = replay.display;
    int cursor = replay.cursor;
    for (const ReplayChange &change : replay.changes)
        applyChange(change, &shown, &cursor);
    QCOMPARE(shown, display(QByteArray::number(59 * 1000 + 29)));
    QCOMPARE(scalar(path, "PRAGMA integrity_check"), QStringLiteral("ok"));
}

// Recordings older than the age limit go, the first time the writer looks (at its start, then
// once a minute); the rest stays.
void TestRecorder::ageLimitRemovesOldRecordings()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 day = 24 * 3600 * 1000;
    QString error;
    {
        Recorder recorder;
        QVERIFY2(recorder.open(path, Recorder::Limits(), &error), qPrintable(error));
        for (int age = 0; age < 10; ++age)
            recorder.screen(QStringLiteral("c1"), now - age * day - 1000, display(QByteArray::number(age)), 1, 1);
    }
    QCOMPARE(scalar(path, "SELECT count(*) FROM events"), QStringLiteral("10"));
    Recorder recorder;
    Recorder::Limits limits;
    limits.days = 3;
    QVERIFY2(recorder.open(path, limits, &error), qPrintable(error));
    recorder.flush();
    QTRY_COMPARE(scalar(path, "SELECT count(*) FROM events"), QStringLiteral("3"));
    QCOMPARE(scalar(path, "SELECT min(t) FROM events"), QString::number(now - 2 * day - 1000));
}

QTEST_GUILESS_MAIN(TestRecorder)
// What a page may ask a replay for: the fields it needs, the range's limits, the formats; a
// controller id comes percent-decoded.
void TestRecorder::replayQueries_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("refusal");
    QTest::addColumn<QString>("controller");
    QTest::addColumn<int>("format");
    const QByteArray needs = "a replay needs controller, from and to (milliseconds since 1970)\n";
    const QByteArray range = "the time range must end after it starts and span at most 24 hours\n";
    const int json = int(ReplayQuery::Format::Json);
    QTest::newRow("json by default") << QByteArray("controller=c1&from=1000&to=2000")
                                     << QByteArray() << "c1" << json;
    QTest::newRow("cast, id decoded") << QByteArray("controller=Main%20%26%20Elm&from=0&to=1&format=cast")
                                      << QByteArray() << "Main & Elm"
                                      << int(ReplayQuery::Format::Asciicast);
    QTest::newRow("24 hours exactly") << QByteArray("controller=c1&from=0&to=86400000&format=txt")
                                      << QByteArray() << "c1" << int(ReplayQuery::Format::Text);
    QTest::newRow("a millisecond more") << QByteArray("controller=c1&from=0&to=86400001")
                                        << range << QString() << json;
    QTest::newRow("ends before it starts") << QByteArray("controller=c1&from=2000&to=1000")
                                           << range << QString() << json;
    QTest::newRow("no controller") << QByteArray("from=0&to=1") << needs << QString() << json;
    QTest::newRow("negative start") << QByteArray("controller=c1&from=-5&to=1") << needs
                                    << QString() << json;
    QTest::newRow("not a number") << QByteArray("controller=c1&from=0x10&to=99") << needs
                                  << QString() << json;
    QTest::newRow("id longer than any") << "controller=" + QByteArray(201, 'a') + "&from=0&to=1"
                                        << needs << QString() << json;
    QTest::newRow("unknown format") << QByteArray("controller=c1&from=0&to=1&format=html")
                                    << QByteArray("format must be json, cast or txt\n")
                                    << QString() << json;
}

void TestRecorder::replayQueries()
{
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, refusal);
    QFETCH(QString, controller);
    QFETCH(int, format);
    ReplayQuery parsed;
    QCOMPARE(Replays::parse(query, &parsed), refusal);
    if (!refusal.isEmpty())
        return;
    QCOMPARE(parsed.controller, controller);
    QCOMPARE(int(parsed.format), format);
    QVERIFY(parsed.toMs > parsed.fromMs);
}

#include "tst_recorder.moc"
