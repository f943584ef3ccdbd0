// What the web server needs from the links to its controllers: a copy of a display, keys, and
// whether anyone is watching. The link engine provides it in the program; tests can provide
// their own.
#ifndef CONTROLLERSOURCE_H
#define CONTROLLERSOURCE_H

#include "displaygeometry.h"
#include "keyoutcome.h"
#include "linkcounters.h"
#include "linkwait.h"

#include <QObject>
#include <QString>
#include <QVector>

#include <cstdint>

struct ControllerSnapshot
{
    static constexpr int Rows = PanelDisplay::Rows;
    static constexpr int Columns = PanelDisplay::Columns;
    char rows[Rows][Columns];
    // 1-based; 0 when the controller shows no cursor.
    int cursorRow = 0;
    int cursorColumn = 0;
    // The round trip of the last accepted reply in ms; 0 before the first.
    int figure = 0;
    // Milliseconds since the last accepted reply; -1 for never.
    qint64 sinceReplyMs = -1;
    LinkWait::Health health = LinkWait::Health::Waiting;
    // The link's smoothed round trip and its variation in ms (-1 before the first reply), and
    // the share of its last polls that went unanswered.
    int roundTripMs = -1;
    int variationMs = -1;
    int lostPercent = 0;
    // Keys queued for the controller or awaiting its answer.
    int keysWaiting = 0;
    // Counted since the link started; the server tells the state from how they move.
    LinkCounters counters;
    QString lastError;
    // For a station on a serial line: the line's bit rate (0 for a controller on UDP), its
    // stations, how long the line takes to read each of their displays once, and whether the
    // line is open.
    int lineSpeed = 0;
    int lineStations = 0;
    int lineCycleMs = 0;
    bool lineOpen = true;
};

// A serial line's figures, for /metrics.
struct LineSnapshot
{
    QString name;
    bool open = false;
    int speed = 0;
    int stations = 0;
    int answering = 0;
    quint64 bytesIn = 0, bytesOut = 0, framesIn = 0, framesOut = 0;
    quint64 fcsErrors = 0, malformed = 0, otherStation = 0, reopened = 0;
};

class ControllerSource : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Controllers are numbered by slot: from 0 in the order of the configuration file at the
    // start, then as a reload adds them (see ControllerSlots); a removed one's number is never
    // given to another.
    virtual bool snapshot(int slot, ControllerSnapshot *out) const = 0;
    // Queues the key; a ticket that keyDone() names later, or 0 when it cannot be queued.
    virtual quint64 pressKey(int slot, uint8_t code) = 0;
    // Counted: a watched controller is polled at its poll interval, others at the slow one.
    virtual void watch(int slot) = 0;
    virtual void unwatch(int slot) = 0;
    // Datagrams that came from no controller of ours; any thread.
    virtual quint64 strangerDatagrams() const { return 0; }
    // The serial lines the controllers are on, by name; any thread.
    virtual QVector<LineSnapshot> lines() const { return {}; }

signals:
    // A reply changed the controller's display or cursor.
    void screenChanged(int slot);
    // The fate of the key with that ticket; reason is set when it was dropped.
    void keyDone(int slot, quint64 ticket, KeyOutcome outcome, const QString &reason);
};

#endif // CONTROLLERSOURCE_H
