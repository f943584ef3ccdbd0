#include "replayquery.h"

#include "recordingformats.h"
#include "recordingreader.h"
#include "recordingstore.h"
#include "serverlog.h"

#include <QDateTime>
#include <QUrl>
#include <QUrlQuery>

namespace Replays {

QByteArray parse(const QByteArray &queryText, ReplayQuery *query)
{
    const QUrlQuery fields(QString::fromUtf8(queryText));
    const QString controller = fields.queryItemValue(QStringLiteral("controller"),
                                                     QUrl::FullyDecoded);
    bool fromOk = false, toOk = false;
    const qint64 from = fields.queryItemValue(QStringLiteral("from")).toLongLong(&fromOk);
    const qint64 to = fields.queryItemValue(QStringLiteral("to")).toLongLong(&toOk);
    const QString format = fields.queryItemValue(QStringLiteral("format"));
    if (controller.isEmpty() || controller.size() > MaxControllerIdLength || !fromOk || !toOk ||
        from < 0)
        return "a replay needs controller, from and to (milliseconds since 1970)\n";
    if (to <= from || to - from > MaxSpanMs)
        return "the time range must end after it starts and span at most 24 hours\n";
    if (format.isEmpty() || format == QLatin1String("json"))
        query->format = ReplayQuery::Format::Json;
    else if (format == QLatin1String("cast"))
        query->format = ReplayQuery::Format::Asciicast;
    else if (format == QLatin1String("txt"))
        query->format = ReplayQuery::Format::Text;
    else
        return "format must be json, cast or txt\n";
    query->controller = controller;
    query->fromMs = from;
    query->toMs = to;
    return QByteArray();
}

ReplayAnswer answer(const ReplayQuery &query)
{
    ReplayAnswer a;
    Replay replay;
    QString error;
    if (!query.store || !query.store->read(query.controller, query.fromMs, query.toMs, MaxEvents,
                                           &replay, &error)) {
        serverLog(LogLevel::Error, "%s", qPrintable(error));
        a.status = 503;
        a.body = "the recordings cannot be read now\n";
        return a;
    }
    if (query.format == ReplayQuery::Format::Json) {
        a.type = "application/json";
        a.body = RecordingFormats::json(replay);
        return a;
    }
    const bool cast = query.format == ReplayQuery::Format::Asciicast;
    a.type = cast ? "application/x-asciicast" : "text/plain; charset=utf-8";
    a.body = cast ? RecordingFormats::asciicast(replay, query.title)
                  : RecordingFormats::plainText(replay, query.title);
    // The file's name: the controller's id in safe letters, and the start in UTC.
    for (const QChar c : query.controller)
        a.fileName += c.isLetterOrNumber() && c.unicode() < 128 ? c : QLatin1Char('_');
    a.fileName += QDateTime::fromMSecsSinceEpoch(query.fromMs, Qt::UTC)
                      .toString(QStringLiteral("-yyyyMMdd'T'HHmmss'Z'"));
    a.fileName += cast ? QStringLiteral(".cast") : QStringLiteral(".txt");
    return a;
}

} // namespace Replays
