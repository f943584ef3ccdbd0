// A replay or export of one controller's recording as a page asks for it: the query's fields
// checked, then the answer read from the recordings and written in the format asked for. No
// HTTP here: the door checks the session and frames what this gives back.
#ifndef REPLAYQUERY_H
#define REPLAYQUERY_H

#include <QByteArray>
#include <QString>

class RecordingStore;

struct ReplayQuery
{
    enum class Format { Json, Asciicast, Text };
    const RecordingStore *store = nullptr;
    QString controller;
    QString title;
    qint64 fromMs = 0, toMs = 0;
    Format format = Format::Json;
};

struct ReplayAnswer
{
    int status = 200;
    const char *type = "text/plain";
    QByteArray body;
    // For an export (cast or text), the file name a browser saves it under; empty otherwise.
    QString fileName;
};

namespace Replays {

// Longest time range a replay or export may span, and the most changes and keys it holds.
constexpr qint64 MaxSpanMs = 24 * 60 * 60 * 1000;
constexpr int MaxEvents = 200000;
// Longer than any controller id the configuration allows.
constexpr int MaxControllerIdLength = 200;

// Reads controller=ID&from=MS&to=MS[&format=json|cast|txt] (the text after '?') into query
// (all but store and title). Empty when it can be answered, else the reason for a 400 answer.
QByteArray parse(const QByteArray &queryText, ReplayQuery *query);

// Reads the range from the recordings and writes it out. Takes as long as the range
// is long: run it off the network thread.
ReplayAnswer answer(const ReplayQuery &query);

} // namespace Replays

#endif // REPLAYQUERY_H
