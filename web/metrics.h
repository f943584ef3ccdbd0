// /metrics in the Prometheus text format (version 0.0.4): the figures a city's monitoring
// scrapes, named by Prometheus' conventions (counters end in _total, units in the name).
#ifndef METRICS_H
#define METRICS_H

#include "controllersource.h"
#include "linkwords.h"
#include "processfigures.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <cstdint>

struct ControllerFigures
{
    QString id, name, group, address;
    LinkState state = LinkState::Waiting;
    // Seconds since the last accepted reply; negative when there was none yet.
    double lastReplyAgeSeconds = -1;
    LinkCounters counters;
    // The link's smoothed round trip and its variation in seconds (negative before the first
    // reply), and the share of its last polls lost, 0 to 1.
    double roundTripSeconds = -1, roundTripVariationSeconds = -1, lostRatio = 0;
};

struct ServerFigures
{
    int sessions = 0, pages = 0, connections = 0;
    // HTTP answers by status code, 100 to 599; the others are not kept.
    const uint64_t *responses = nullptr;
    uint64_t refusedUpgrades = 0, loginFailures = 0;
    // Logins answered "try again later" by each brake on guessing: per user at one address,
    // per address, per user from everywhere.
    uint64_t heldUserAtAddress = 0, heldAddress = 0, heldUser = 0;
    // The most connections the descriptors allow, and those closed unfinished to make room.
    int connectionCap = 0;
    uint64_t connectionsClosedForRoom = 0;
    uint64_t auditLines = 0, auditWriteFailures = 0;
    // Whether this server leads (sends keys); a server alone always does.
    bool leading = true;
    // Datagrams to the links' shared socket from no configured controller.
    uint64_t strangerDatagrams = 0;
    // The recordings of what the pages showed: events written, events lost, and the database's
    // size on disk.
    uint64_t recordingEvents = 0, recordingWriteFailures = 0, recordingBytes = 0;
};

QByteArray formatMetrics(const QVector<ControllerFigures> &controllers,
                         const QVector<LineSnapshot> &lines, const ServerFigures &server,
                         const ProcessFigures &process);

#endif // METRICS_H
