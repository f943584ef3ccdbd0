// Reads back one controller's recording over a time range: the display as it was at the start,
// then every change, pause and key (with its outcome) up to the end. Opens the database read-only
// beside the writer; what it reads is checked, since the file may have been damaged or altered.
#ifndef RECORDINGREADER_H
#define RECORDINGREADER_H

#include "recordingstore.h"

#include <QByteArray>
#include <QHash>
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

// Builds a replay from one controller's rows, read in time order (and in the order written
// within a millisecond) from the last whole display at or before fromMs, which wholeSince
// finds; what it is given is checked, since the store may have been damaged or altered.
class ReplayBuilder
{
public:
    // An outcome may come well after its key (no answer is known only after the retries).
    static constexpr qint64 OutcomeGraceMs = 60000;

    ReplayBuilder(const QString &controller, qint64 fromMs, qint64 toMs, int maxEvents,
                  Replay *replay);
    // The last time worth reading.
    qint64 readUntil() const { return lastMs; }
    // False once the rows are past what the replay needs: read no more.
    bool take(const RecordingEvent &row);

private:
    Replay *replay;
    const qint64 fromMs;
    const qint64 lastMs;
    const int maxEvents;
    int taken = 0;
    QHash<qint64, int> keyBySeq;
};

// Only printable ASCII leaves the recordings: a replay or an export goes to a terminal.
QByteArray printableText(const QByteArray &bytes);

// Reads the recordings file at path. False with a reason when the database cannot be read.
bool readReplay(const QString &path, const QString &controller, qint64 fromMs, qint64 toMs,
                int maxEvents, Replay *replay, QString *error);

// Applies a change to a 640-character display.
void applyChange(const ReplayChange &change, QByteArray *display, int *cursor);

#endif // RECORDINGREADER_H
