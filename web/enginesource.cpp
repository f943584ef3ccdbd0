#include "enginesource.h"

#include "linkengine.h"

#include <algorithm>
#include <cstring>

EngineSource::EngineSource(LinkEngine *engine, QObject *parent)
    : ControllerSource(parent), engine(engine)
{
    // The engine's signals come on its own thread, the one that changes the table; the lock
    // keeps the network thread's readers out meanwhile.
    connect(engine, &LinkEngine::screenChanged, this, [this](int id) {
        int index;
        {
            std::lock_guard<std::mutex> hold(lock);
            index = indexOfLink.value(id, -1);
        }
        if (index >= 0)
            emit screenChanged(index);
    });
    connect(engine, &LinkEngine::keyDone, this,
            [this](int id, quint64 ticket, KeyOutcome outcome, const QString &reason) {
                int index;
                {
                    std::lock_guard<std::mutex> hold(lock);
                    index = indexOfLink.value(id, -1);
                }
                if (index < 0)
                    return;
                emit keyDone(index, ticket, outcome, reason);
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
    const int id = engine->addLink(link);
    if (c.station > 0) {
        std::lock_guard<std::mutex> hold(lock);
        OpenLine &line = openLines[c.line.name];
        if (id != 0) {
            ++line.links;
            lineOfLink.insert(id, c.line.name);
        } else if (line.links == 0) {
            engine->removeLine(line.id);
            openLines.remove(c.line.name);
        }
    }
    return id;
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
    for (const ControllerConfig &c : config.controllers) {
        const int id = openLink(c);
        if (id == 0) {
            *error = QStringLiteral("cannot open a link to controller [%1]").arg(c.id);
            return false;
        }
        std::lock_guard<std::mutex> hold(lock);
        indexOfLink.insert(id, linkIds.size());
        linkIds.append(id);
        watchers.append(0);
    }
    return true;
}

// The engine tells the outcome of the link's keys as it removes it; the slot is still known
// then, so those outcomes reach the trail under the controller's id.
void EngineSource::closeLink(int index)
{
    const int id = linkOf(index);
    if (id == 0)
        return;
    engine->removeLink(id);
    std::lock_guard<std::mutex> hold(lock);
    indexOfLink.remove(id);
    linkIds[index] = 0;
    const auto line = lineOfLink.constFind(id);
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
    QStringList failed;
    for (int index : changes.removed)
        closeLink(index);
    QVector<int> open = changes.added;
    for (int index : changes.moved) {
        closeLink(index);
        open.append(index);
    }
    for (int index : open) {
        const int id = openLink(next.controllers[index]);
        if (id == 0) {
            failed.append(next.controllers[index].id);
            continue;
        }
        // Under the lock, as watch() and unwatch() count, so that none slips in between.
        std::lock_guard<std::mutex> hold(lock);
        indexOfLink.insert(id, index);
        linkIds[index] = id;
        for (int i = 0; i < watchers[index]; ++i)
            engine->watch(id);
    }
    if (!failed.isEmpty()) {
        *error = QStringLiteral("cannot open a link to controller [%1]")
                     .arg(failed.join(QStringLiteral("], [")));
        return false;
    }
    return true;
}

int EngineSource::linkOf(int index) const
{
    std::lock_guard<std::mutex> hold(lock);
    return index >= 0 && index < linkIds.size() ? linkIds[index] : 0;
}

quint64 EngineSource::strangerDatagrams() const
{
    return engine->strangerDatagrams();
}

bool EngineSource::snapshot(int index, ControllerSnapshot *out) const
{
    const int id = linkOf(index);
    LinkState state;
    if (id == 0 || !engine->read(id, &state))
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
    out->requests = state.counters.requests;
    out->accepted = state.counters.accepted;
    out->refused = state.counters.refused;
    out->noAnswer = state.counters.noAnswer;
    out->foreign = state.counters.foreign;
    out->keysSent = state.counters.keysSent;
    out->keysAnswered = state.counters.keysAnswered;
    out->late = state.counters.late;
    out->lastError = QString::fromLatin1(state.lastError);
    int line = 0;
    {
        std::lock_guard<std::mutex> hold(lock);
        const auto name = lineOfLink.constFind(id);
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

quint64 EngineSource::pressKey(int index, uint8_t code)
{
    const int id = linkOf(index);
    return id == 0 ? 0 : engine->pressKey(id, code);
}

// The count is kept per slot, so that a moved controller's new link is watched as the old one
// was. Under the lock, so that a reload in between neither loses nor doubles a watch.
void EngineSource::watch(int index)
{
    std::lock_guard<std::mutex> hold(lock);
    if (index < 0 || index >= linkIds.size())
        return;
    ++watchers[index];
    if (linkIds[index] != 0)
        engine->watch(linkIds[index]);
}

void EngineSource::unwatch(int index)
{
    std::lock_guard<std::mutex> hold(lock);
    if (index < 0 || index >= linkIds.size() || watchers[index] == 0)
        return;
    --watchers[index];
    if (linkIds[index] != 0)
        engine->unwatch(linkIds[index]);
}
