#include "enginesource.h"

#include "linkengine.h"

#include <cstring>

EngineSource::EngineSource(LinkEngine *engine, QObject *parent)
    : ControllerSource(parent), engine(engine)
{
    connect(engine, &LinkEngine::screenChanged, this, [this](int id) {
        const auto it = indexOfLink.constFind(id);
        if (it != indexOfLink.constEnd())
            emit screenChanged(*it);
    });
    connect(engine, &LinkEngine::keyDone, this,
            [this](int id, quint64 ticket, KeyOutcome outcome, const QString &reason) {
                const auto it = indexOfLink.constFind(id);
                if (it == indexOfLink.constEnd())
                    return;
                const KeyResult result = outcome == KeyOutcome::Answered   ? KeyResult::Answered
                                         : outcome == KeyOutcome::NoAnswer ? KeyResult::NoAnswer
                                                                           : KeyResult::Dropped;
                emit keyDone(*it, ticket, int(result), reason);
            });
}

bool EngineSource::addControllers(const WebConfig &config, QString *error)
{
    for (const ControllerConfig &c : config.controllers) {
        LinkConfig link;
        link.name = c.name;
        link.address = c.address;
        link.port = c.port;
        link.community = c.community;
        link.pollInterval = c.pollInterval;
        link.slowInterval = config.slowIntervalMs;
        const int id = engine->addLink(link);
        if (id == 0) {
            *error = QStringLiteral("cannot open a link to controller [%1]").arg(c.id);
            return false;
        }
        indexOfLink.insert(id, linkIds.size());
        linkIds.append(id);
    }
    return true;
}

bool EngineSource::snapshot(int index, ControllerSnapshot *out) const
{
    if (index < 0 || index >= linkIds.size())
        return false;
    LinkState state;
    if (!engine->read(linkIds[index], &state))
        return false;
    static_assert(sizeof out->rows <= sizeof state.screen, "the screen holds every row");
    std::memcpy(out->rows, state.screen, sizeof out->rows);
    out->cursorRow = state.cursorRow;
    out->cursorColumn = state.cursorColumn;
    out->figure = state.figure;
    out->sinceReplyMs = state.lastReplyMs < 0 ? -1 : LinkEngine::clockMs() - state.lastReplyMs;
    out->accepted = state.counters.accepted;
    out->refused = state.counters.refused;
    out->noAnswer = state.counters.noAnswer;
    out->lastError = QString::fromLatin1(state.lastError);
    return true;
}

quint64 EngineSource::pressKey(int index, uint8_t code)
{
    return index >= 0 && index < linkIds.size() ? engine->pressKey(linkIds[index], code) : 0;
}

void EngineSource::watch(int index)
{
    if (index >= 0 && index < linkIds.size())
        engine->watch(linkIds[index]);
}

void EngineSource::unwatch(int index)
{
    if (index >= 0 && index < linkIds.size())
        engine->unwatch(linkIds[index]);
}
