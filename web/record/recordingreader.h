// Reads back one controller's recording over a time range: the display as it was at the start,
// then every change, pause and key (with its outcome) up to the end. Opens the database read-only
// beside the writer; what it reads is checked, since the file may have been damaged or altered.
#ifndef RECORDINGREADER_H
#define RECORDINGREADER_H

#include <QByteArray>
#include <QString>
#include <QVector>

struct ReplayChange
{
    qint64 timeMs = 0;
    bool pause = false; // from here nobody watched, until the next change
    int rowMask = 0;    // the rows in rows, 40 characters each, in row order
    QByteArray rows;
    int cursor = -1; // row * 40 + column, or -1 when off the display
};

struct ReplayKey
{
    qint64 timeMs = 0;
    QString user;
    QString key;
    qint64 seq = 0; // the key's line in the audit trail
    QString outcome; // empty when none was recorded
};

struct Replay
{
    QString controller;
    qint64 fromMs = 0, toMs = 0;
    // The display at fromMs (blanks when nothing was recorded then), and its cursor.
    QByteArray display;
    int cursor = -1;
    bool recordedAtStart = false;
    QVector<ReplayChange> changes;
    QVector<ReplayKey> keys;
    // More changes and keys than the reader may return: the replay ends at toMs, moved earlier.
    bool cut = false;
};

// False with a reason when the database cannot be read.
bool readReplay(const QString &path, const QString &controller, qint64 fromMs, qint64 toMs,
                int maxEvents, Replay *replay, QString *error);

// Applies a change to a 640-character display.
void applyChange(const ReplayChange &change, QByteArray *display, int *cursor);

#endif // RECORDINGREADER_H
