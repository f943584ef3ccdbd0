#include "enginesource.h"

#include "linkengine.h"

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
                const KeyResult result = outcome == KeyOutcome::Answered   ? KeyResult::Answered
                                         : outcome == KeyOutcome::NoAnswer ? KeyResult::NoAnswer
                                                                           : KeyResult::Dropped;
                emit keyDone(index, ticket, int(result), reason);
            });
}

int EngineSource::openLink(const ControllerConfig &c)
{
    LinkConfig link;
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
    return engine->addLink(link);
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
    return true;
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
