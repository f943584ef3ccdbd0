#include "enginesource.h"

#include "linkengine.h"
#include "serverlog.h"

#include <algorithm>
#include <cstring>

EngineSource::EngineSource(LinkEngine *engine, QObject *parent)
    : ControllerSource(parent), engine(engine)
{
    // The engine's signals come on its own thread, the one that changes the table; the lock
    // keeps the network thread's readers out meanwhile.
    connect(engine, &LinkEngine::screenChanged, this, [this](int linkId) {
        int slot;
        {
            std::lock_guard<std::mutex> hold(lock);
            slot = slotOfLink.value(linkId, -1);
        }
        if (slot >= 0)
            emit screenChanged(slot);
    });
    connect(engine, &LinkEngine::keyDone, this,
            [this](int linkId, quint64 ticket, KeyOutcome outcome, const QString &reason) {
                int slot;
                {
                    std::lock_guard<std::mutex> hold(lock);
                    slot = slotOfLink.value(linkId, -1);
                }
                if (slot < 0)
                    return;
                emit keyDone(slot, ticket, outcome, reason);
            });
}

int EngineSource::openLink(const ControllerConfig &c)
{
    LinkConfig link;
    if (c.station > 0) {
        auto found = openLines.find(c.line.name);
        if (found == openLines.end()) {
            SerialLineConfig line;
            line.name = c.line.name.toStdString();
            line.device = c.line.device.toStdString();
            line.host = c.line.host.toStdString();
            line.port = c.line.port;
            line.speed = c.line.speed;
            OpenLine opened;
            opened.id = engine->addLine(line);
            opened.setting = c.line;
            if (opened.id == 0)
                return 0;
            std::lock_guard<std::mutex> hold(lock);
            found = openLines.insert(c.line.name, opened);
        } else if (found->setting != c.line) {
            // Its stations of the old settings are still on it.
            return 0;
        }
        link.line = found->id;
        link.station = c.station;
    }
    link.name = c.name;
    link.address = c.address;
    link.port = c.port;
    link.community = c.community;
    link.pollInterval = c.pollInterval;
    link.slowInterval = slowIntervalMs;
    link.longestWait = c.maxWaitMs;
    if (c.version == 3) {
        link.v3 = true;
        link.v3Config.user = c.user;
        link.v3Config.auth = c.auth;
        link.v3Config.priv = c.priv;
        link.v3Config.authKu = stretched(c.auth, c.authPassphrase);
        if (c.priv != PrivProtocol::None)
            link.v3Config.privKu = stretched(c.auth, c.privPassphrase);
    }
    const int linkId = engine->addLink(link);
    if (c.station > 0) {
        std::lock_guard<std::mutex> hold(lock);
        OpenLine &line = openLines[c.line.name];
        if (linkId != 0) {
            ++line.links;
            lineOfLink.insert(linkId, c.line.name);
        } else if (line.links == 0) {
            engine->removeLine(line.id);
            openLines.remove(c.line.name);
        }
    }
    return linkId;
}

QByteArray EngineSource::stretched(AuthProtocol auth, const QByteArray &passphrase)
{
    const QByteArray key = QByteArray::number(int(auth)) + ':' + passphrase;
    const auto it = stretchedKeys.constFind(key);
    if (it != stretchedKeys.constEnd())
        return *it;
    uint8_t ku[UsmKeys::MaxKeyLength];
    QByteArray result;
    if (UsmKeys::passphraseToKey(auth, reinterpret_cast<const uint8_t *>(passphrase.constData()),
                                 size_t(passphrase.size()), ku))
        result = QByteArray(reinterpret_cast<const char *>(ku), UsmKeys::keyLength(auth));
    stretchedKeys.insert(key, result);
    return result;
}

bool EngineSource::addControllers(const WebConfig &config, QString *error)
{
    slowIntervalMs = config.slowIntervalMs;
    current = ControllerSlots::from(config.controllers);
    for (const ControllerConfig &c : config.controllers) {
        const int linkId = resting ? -1 : openLink(c);
        if (linkId == -1) {
            std::lock_guard<std::mutex> hold(lock);
            linkIds.append(0);
            watchers.append(0);
            continue;
        }
        if (linkId == 0) {
            *error = QStringLiteral("cannot open a link to controller [%1]").arg(c.id);
            return false;
        }
        std::lock_guard<std::mutex> hold(lock);
        slotOfLink.insert(linkId, linkIds.size());
        linkIds.append(linkId);
        watchers.append(0);
    }
    return true;
}

// The engine tells the outcome of the link's keys as it removes it; the slot is still known
// then, so those outcomes reach the trail under the controller's id.
void EngineSource::closeLink(int slot)
{
    const int linkId = linkOf(slot);
    if (linkId == 0)
        return;
    engine->removeLink(linkId);
    std::lock_guard<std::mutex> hold(lock);
    slotOfLink.remove(linkId);
    linkIds[slot] = 0;
    const auto line = lineOfLink.constFind(linkId);
    if (line == lineOfLink.constEnd())
        return;
    OpenLine &open = openLines[*line];
    if (--open.links == 0) {
        engine->removeLine(open.id);
        openLines.remove(*line);
    }
    lineOfLink.erase(line);
}

bool EngineSource::applySlots(const ControllerSlots &next, const SlotChanges &changes,
                              QString *error)
{
    {
        std::lock_guard<std::mutex> hold(lock);
        linkIds.resize(next.size());
        watchers.resize(next.size());
    }
    current = next;
    QStringList failed;
    for (int slot : changes.removed)
        closeLink(slot);
    QVector<int> open = changes.added;
    for (int slot : changes.moved) {
        closeLink(slot);
        open.append(slot);
    }
    // At rest the new links wait for the server to lead.
    for (int slot : resting ? QVector<int>() : open) {
        const int linkId = openLink(next.controllers[slot]);
        if (linkId == 0)
            failed.append(next.controllers[slot].id);
        else
            adoptLink(slot, linkId);
    }
    if (!failed.isEmpty()) {
        *error = QStringLiteral("cannot open a link to controller [%1]")
                     .arg(failed.join(QStringLiteral("], [")));
        return false;
    }
    return true;
}

void EngineSource::adoptLink(int slot, int linkId)
{
    // Under the lock, as watch() and unwatch() count, so that none slips in between.
    std::lock_guard<std::mutex> hold(lock);
    slotOfLink.insert(linkId, slot);
    linkIds[slot] = linkId;
    for (int i = 0; i < watchers[slot]; ++i)
        engine->watch(linkId);
}

void EngineSource::setResting(bool rest)
{
    if (rest == resting)
        return;
    resting = rest;
    for (int slot = 0; slot < current.size(); ++slot) {
        if (rest) {
            closeLink(slot);
            continue;
        }
        if (!current.isLive(slot) || linkOf(slot) != 0)
            continue;
        const int linkId = openLink(current.controllers[slot]);
        if (linkId != 0)
            adoptLink(slot, linkId);
        else
            serverLog(LogLevel::Error, "cannot open a link to controller [%s]",
                      qPrintable(current.controllers[slot].id));
    }
}

int EngineSource::linkOf(int slot) const
{
    std::lock_guard<std::mutex> hold(lock);
    return slot >= 0 && slot < linkIds.size() ? linkIds[slot] : 0;
}

quint64 EngineSource::strangerDatagrams() const
{
    return engine->strangerDatagrams();
}

bool EngineSource::snapshot(int slot, ControllerSnapshot *out) const
{
    const int linkId = linkOf(slot);
    LinkState state;
    if (linkId == 0 || !engine->read(linkId, &state))
        return false;
    static_assert(sizeof out->rows <= sizeof state.screen, "the screen holds every row");
    std::memcpy(out->rows, state.screen, sizeof out->rows);
    out->cursorRow = state.cursorRow;
    out->cursorColumn = state.cursorColumn;
    out->figure = state.figure;
    out->sinceReplyMs = state.lastReplyMs < 0 ? -1 : LinkEngine::clockMs() - state.lastReplyMs;
    out->health = state.health;
    out->roundTripMs = state.roundTripMs;
    out->variationMs = state.variationMs;
    out->lostPercent = state.lostPercent;
    out->keysWaiting = state.keysWaiting;
    out->counters = state.counters;
    out->lastError = QString::fromLatin1(state.lastError);
    int line = 0;
    {
        std::lock_guard<std::mutex> hold(lock);
        const auto name = lineOfLink.constFind(linkId);
        if (name != lineOfLink.constEnd())
            line = openLines.value(*name).id;
    }
    LineState ls;
    if (line != 0 && engine->readLine(line, &ls)) {
        out->lineSpeed = ls.speed;
        out->lineStations = ls.stations;
        out->lineCycleMs = ls.displayCycleMs;
        out->lineOpen = ls.state == SerialLine::State::Open;
        if (!out->lineOpen && ls.lastError[0] != '\0')
            out->lastError = QString::fromLatin1(ls.lastError);
    }
    return true;
}

QVector<LineSnapshot> EngineSource::lines() const
{
    QVector<QPair<QString, int>> named;
    {
        std::lock_guard<std::mutex> hold(lock);
        for (auto it = openLines.constBegin(); it != openLines.constEnd(); ++it)
            named.append({it.key(), it->id});
    }
    std::sort(named.begin(), named.end());
    QVector<LineSnapshot> out;
    for (const auto &line : named) {
        LineState s;
        if (!engine->readLine(line.second, &s))
            continue;
        LineSnapshot l;
        l.name = line.first;
        l.open = s.state == SerialLine::State::Open;
        l.speed = s.speed;
        l.stations = s.stations;
        l.answering = s.answering;
        l.bytesIn = s.bytesIn;
        l.bytesOut = s.bytesOut;
        l.framesIn = s.framesIn;
        l.framesOut = s.framesOut;
        l.fcsErrors = s.fcsErrors;
        l.malformed = s.malformed;
        l.otherStation = s.otherStation;
        l.reopened = s.reopened;
        out.append(l);
    }
    return out;
}

quint64 EngineSource::pressKey(int slot, uint8_t code)
{
    const int linkId = linkOf(slot);
    return linkId == 0 ? 0 : engine->pressKey(linkId, code);
}

// The count is kept per slot, so that a moved controller's new link is watched as the old one
// was. Under the lock, so that a reload in between neither loses nor doubles a watch.
void EngineSource::watch(int slot)
{
    std::lock_guard<std::mutex> hold(lock);
    if (slot < 0 || slot >= linkIds.size())
        return;
    ++watchers[slot];
    if (linkIds[slot] != 0)
        engine->watch(linkIds[slot]);
}

void EngineSource::unwatch(int slot)
{
    std::lock_guard<std::mutex> hold(lock);
    if (slot < 0 || slot >= linkIds.size() || watchers[slot] == 0)
        return;
    --watchers[slot];
    if (linkIds[slot] != 0)
        engine->unwatch(linkIds[slot]);
}
