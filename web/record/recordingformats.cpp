#include "recordingformats.h"

#include "recorder.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

namespace RecordingFormats {

namespace {

using namespace Recording;

QJsonValue cursorJson(int cursor)
{
    if (cursor < 0)
        return QJsonValue::Null;
    return QJsonArray{cursor / Columns, cursor % Columns};
}

QString rowText(const QByteArray &display, int r)
{
    return QString::fromLatin1(display.constData() + r * Columns, Columns);
}

QString isoTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

// Changes and keys in one line of time; a key and a change at the same instant: the key first.
template <typename OnChange, typename OnKey>
void inOrder(const Replay &replay, OnChange onChange, OnKey onKey)
{
    int c = 0, k = 0;
    while (c < replay.changes.size() || k < replay.keys.size()) {
        if (k < replay.keys.size() &&
            (c == replay.changes.size() || replay.keys[k].timeMs <= replay.changes[c].timeMs))
            onKey(replay.keys[k++]);
        else
            onChange(replay.changes[c++]);
    }
}

QString keyLine(const ReplayKey &key)
{
    return QStringLiteral("%1 by %2: %3")
        .arg(key.key, key.user, key.outcome.isEmpty() ? QStringLiteral("no outcome recorded")
                                                       : key.outcome);
}

QByteArray castEvent(qint64 ms, qint64 fromMs, const char *type, const QString &data)
{
    QJsonArray event{double(ms - fromMs) / 1000.0, QString::fromLatin1(type), data};
    return QJsonDocument(event).toJson(QJsonDocument::Compact) + '\n';
}

QString moveTo(int row, int column)
{
    return QStringLiteral("\x1b[%1;%2H").arg(row + 1).arg(column + 1);
}

// The terminal's cursor ends where the display's is, or hidden when it is off the display.
QString placeCursor(int cursor)
{
    if (cursor < 0)
        return QStringLiteral("\x1b[?25l");
    return moveTo(cursor / Columns, cursor % Columns) + QStringLiteral("\x1b[?25h");
}

QString cursorWords(int cursor)
{
    if (cursor < 0)
        return QStringLiteral("no cursor");
    return QStringLiteral("cursor row %1, column %2").arg(cursor / Columns + 1).arg(cursor % Columns + 1);
}

} // namespace

QByteArray json(const Replay &replay)
{
    QJsonArray display;
    for (int r = 0; r < Rows; ++r)
        display.append(rowText(replay.display, r));
    QJsonArray changes;
    for (const ReplayChange &change : replay.changes) {
        if (change.pause) {
            changes.append(QJsonArray{double(change.timeMs), QJsonValue::Null});
            continue;
        }
        QJsonArray rows;
        int at = 0;
        for (int r = 0; r < Rows; ++r) {
            if (change.rowMask & (1 << r)) {
                rows.append(QJsonArray{r, QString::fromLatin1(change.rows.constData() + at, Columns)});
                at += Columns;
            }
        }
        changes.append(QJsonArray{double(change.timeMs), rows, cursorJson(change.cursor)});
    }
    QJsonArray keys;
    for (const ReplayKey &key : replay.keys)
        keys.append(QJsonArray{double(key.timeMs), key.user, key.key, key.outcome, double(key.seq)});
    const QJsonObject object{
        {QStringLiteral("type"), QStringLiteral("replay")},
        {QStringLiteral("controller"), replay.controller},
        {QStringLiteral("from"), double(replay.fromMs)},
        {QStringLiteral("to"), double(replay.toMs)},
        {QStringLiteral("recorded"), replay.recordedAtStart},
        {QStringLiteral("display"), display},
        {QStringLiteral("cursor"), cursorJson(replay.cursor)},
        {QStringLiteral("changes"), changes},
        {QStringLiteral("keys"), keys},
        {QStringLiteral("cut"), replay.cut},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray asciicast(const Replay &replay, const QString &title)
{
    const QJsonObject header{
        {QStringLiteral("version"), 2},
        {QStringLiteral("width"), Columns},
        {QStringLiteral("height"), Rows},
        {QStringLiteral("timestamp"), double(replay.fromMs / 1000)},
        {QStringLiteral("title"), title},
    };
    QByteArray out = QJsonDocument(header).toJson(QJsonDocument::Compact) + '\n';
    QString first = QStringLiteral("\x1b[H\x1b[2J");
    for (int r = 0; r < Rows; ++r)
        first += moveTo(r, 0) + rowText(replay.display, r);
    out += castEvent(replay.fromMs, replay.fromMs, "o", first + placeCursor(replay.cursor));
    inOrder(
        replay,
        [&](const ReplayChange &change) {
            if (change.pause) {
                out += castEvent(change.timeMs, replay.fromMs, "m",
                                 QStringLiteral("nobody watching: not recorded"));
                return;
            }
            QString data;
            int at = 0;
            for (int r = 0; r < Rows; ++r) {
                if (change.rowMask & (1 << r)) {
                    data += moveTo(r, 0) + QString::fromLatin1(change.rows.constData() + at, Columns);
                    at += Columns;
                }
            }
            out += castEvent(change.timeMs, replay.fromMs, "o", data + placeCursor(change.cursor));
        },
        [&](const ReplayKey &key) {
            out += castEvent(key.timeMs, replay.fromMs, "m", keyLine(key));
        });
    return out;
}

QByteArray plainText(const Replay &replay, const QString &title)
{
    QString out = QStringLiteral("%1 from %2 to %3\n")
                      .arg(title, isoTime(replay.fromMs), isoTime(replay.toMs));
    out += QStringLiteral("%1 display (%2)%3:\n")
               .arg(isoTime(replay.fromMs), cursorWords(replay.cursor),
                    replay.recordedAtStart ? QString() : QStringLiteral(", nothing recorded"));
    for (int r = 0; r < Rows; ++r)
        out += QStringLiteral("  %1 |%2|\n").arg(r + 1, 2).arg(rowText(replay.display, r));
    inOrder(
        replay,
        [&](const ReplayChange &change) {
            if (change.pause) {
                out += isoTime(change.timeMs) + QStringLiteral(" nobody watching: not recorded\n");
                return;
            }
            out += QStringLiteral("%1 %2 (%3):\n")
                       .arg(isoTime(change.timeMs),
                            change.rowMask == (1 << Rows) - 1 ? QStringLiteral("display")
                                                              : QStringLiteral("changed"),
                            cursorWords(change.cursor));
            int at = 0;
            for (int r = 0; r < Rows; ++r) {
                if (change.rowMask & (1 << r)) {
                    out += QStringLiteral("  %1 |%2|\n")
                               .arg(r + 1, 2)
                               .arg(QString::fromLatin1(change.rows.constData() + at, Columns));
                    at += Columns;
                }
            }
        },
        [&](const ReplayKey &key) {
            out += isoTime(key.timeMs) + QStringLiteral(" key ") + keyLine(key) + QLatin1Char('\n');
        });
    if (replay.cut)
        out += QStringLiteral("(cut short: choose a shorter time range for the rest)\n");
    return out.toUtf8();
}

} // namespace RecordingFormats
