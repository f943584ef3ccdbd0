#include "pagechannel.h"

#include "keytable.h"
#include "pagemessages.h"
#include "serverlog.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>


QByteArray PageChannel::foldKey(const char *type, int slot)
{
    return QByteArray(type) + ':' + QByteArray::number(slot);
}

const QString PageChannel::ChangingOver =
    QStringLiteral("the server is changing over: try again in a moment");

PageChannel::PageChannel(const WebConfig &config, SessionStore *sessions, KeyTrail *audit,
                         ControllerSource *source)
    : bySlot(ControllerSlots::from(config.controllers)), sessions(sessions), audit(audit),
      source(source), controls(bySlot.size())
{
    for (int i = 0; i < bySlot.size(); ++i)
        slotById.insert(bySlot.controllers[i].id, i);
    resizeSlots();
}

void PageChannel::resizeSlots()
{
    words.resize(bySlot.size());
    shown.resize(bySlot.size());
    liveSlots.clear();
    for (int i = 0; i < bySlot.size(); ++i) {
        if (bySlot.isLive(i))
            liveSlots.append(i);
    }
    kinds = kindLetters();
    ++kindsChange;
}

quint64 PageChannel::join(PageSink *sink, const PageIdentity &who)
{
    const quint64 id = ++lastPageId;
    Page &page = pages[id];
    page.sink = sink;
    page.who = who;
    sink->send(PageMessages::hello(who.user, who.role, bySlot.liveControllers()), QByteArray());
    return id;
}

void PageChannel::leave(quint64 id)
{
    auto it = pages.find(id);
    if (it == pages.end())
        return;
    Page page = *it;
    pages.erase(it);
    leaveController(id, page);
    suspendTiles(page);
}

// What a page may send: each message's checks are in the table, its work in its handler.
const PageChannel::Handler PageChannel::handlers[] = {
    {"overview", Names::Nothing, true, false, &PageChannel::onOverview},
    {"watch", Names::Controller, true, false, &PageChannel::onWatch},
    {"take", Names::Controller, false, true, &PageChannel::onTake},
    {"release", Names::Controller, false, true, &PageChannel::onRelease},
    {"key", Names::Controller, false, true, &PageChannel::onKey},
};

void PageChannel::receive(quint64 id, const QByteArray &text, qint64 nowMs)
{
    auto it = pages.find(id);
    if (it == pages.end())
        return;
    Page &page = *it;
    // Logout or the idle timeout may have ended the session since the socket opened.
    if (!sessions->use(page.who.session, nowMs)) {
        page.sink->close(QStringLiteral("session ended"));
        return;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        page.sink->send(PageMessages::error(QStringLiteral("malformed JSON")), QByteArray());
        return;
    }
    const QJsonObject message = document.object();
    const QString type = message.value(QStringLiteral("type")).toString();
    const Handler *handler = nullptr;
    for (const Handler &h : handlers) {
        if (type == QLatin1String(h.type))
            handler = &h;
    }
    if (!handler) {
        page.sink->send(
            PageMessages::error(QStringLiteral("unknown message type \"%1\"").arg(type.left(MaxEchoedName))),
            QByteArray());
        return;
    }
    if (handler->changesView && !currentView(page, message))
        return;
    int slot = -1;
    const QString controllerId = message.value(QStringLiteral("controller")).toString();
    if (handler->names == Names::Controller) {
        slot = slotById.value(controllerId, -1);
        if (slot < 0) {
            refuse(page, controllerId.left(MaxEchoedName), QStringLiteral("no such controller"));
            return;
        }
    }
    if (handler->operatorOnly && page.who.role != Role::Operator) {
        refuse(page, controllerId, QStringLiteral("viewers cannot press keys or take control"));
        return;
    }
    (this->*handler->run)(Request{id, page, slot, controllerId, message, nowMs});
}

void PageChannel::onOverview(const Request &r)
{
    leaveController(r.id, r.page);
    QVector<int> inView;
    for (const QJsonValue &v : r.message.value(QStringLiteral("show")).toArray()) {
        if (inView.size() == MaxTilesInView)
            break;
        const double n = v.toDouble(-1);
        if (n >= 0 && n < liveSlots.size() && n == double(int(n)))
            inView.append(liveSlots[int(n)]);
    }
    showTiles(r.page, inView);
}

void PageChannel::onWatch(const Request &r)
{
    Page &page = r.page;
    if (page.watching != r.slot) {
        leaveController(r.id, page);
        page.watching = r.slot;
        page.panel = Seen();
        ++shown[r.slot].viewers;
        ++shown[r.slot].watchers;
        source->watch(r.slot);
    }
    watch(r.id, page, r.slot, r.nowMs);
}

void PageChannel::onTake(const Request &r)
{
    if (r.page.watching != r.slot)
        refuse(r.page, r.controller, QStringLiteral("open the controller's panel first"));
    else if (!controls.take(r.slot, r.id, r.page.who.user, r.page.who.session, r.nowMs))
        refuse(r.page, r.controller, QStringLiteral("%1 has control").arg(controls.holder(r.slot)));
    else
        sendControl(r.slot);
}

void PageChannel::onRelease(const Request &r)
{
    if (controls.release(r.slot, r.id))
        sendControl(r.slot);
}

void PageChannel::onKey(const Request &r)
{
    press(r.id, r.page, r.slot, r.message.value(QStringLiteral("code")), r.nowMs);
}

bool PageChannel::currentView(Page &page, const QJsonObject &message)
{
    // Pages that do not number their views are taken at their word, message by message.
    const QJsonValue value = message.value(QStringLiteral("view"));
    if (!value.isDouble())
        return true;
    const double view = value.toDouble();
    if (view < page.view)
        return false;
    page.view = view;
    return true;
}

void PageChannel::watch(quint64 id, Page &page, int slot, qint64 nowMs)
{
    const QString &controller = bySlot.controllers[slot].id;
    suspendTiles(page);
    refresh(page, page.panel, slot, true);
    recordDisplay(slot);
    // A page back after its server changed over finds its operator's control kept for it.
    if (controls.claim(slot, id, page.who.session, nowMs))
        sendControl(slot);
    else
        page.sink->send(
            PageMessages::control(controller, controls.holder(slot), controls.holds(slot, id)),
            foldKey("control", slot));
    page.sink->send(PageMessages::keys(controller, audit->recent(controller)),
                    foldKey("keys", slot));
}

void PageChannel::press(quint64 id, Page &page, int slot, const QJsonValue &code, qint64 nowMs)
{
    const QString &controller = bySlot.controllers[slot].id;
    const KeyTable::Key *key = code.isDouble() ? KeyTable::keyOf(code.toInt()) : nullptr;
    if (!key || code.toDouble() != double(code.toInt())) {
        refuse(page, controller, QStringLiteral("no such key"));
        return;
    }
    if (!controls.useForKey(slot, id, nowMs)) {
        const QString holder = controls.holder(slot);
        refuse(page, controller,
               holder.isEmpty() ? QStringLiteral("take control first")
                                : QStringLiteral("%1 has control").arg(holder));
        return;
    }
    if (!audit->leading()) {
        refuse(page, controller, ChangingOver);
        return;
    }
    AuditEntry entry;
    entry.time = QDateTime::currentDateTimeUtc();
    entry.user = page.who.user;
    entry.address = page.who.address;
    entry.controller = controller;
    entry.code = key->code;
    entry.keyName = QString::fromLatin1(key->name);
    // The trail holds the key before the controller gets it.
    audit->record(entry, [this, slot, id, entry](TrailWrite written, qint64 seq) {
        recorded(slot, id, entry, written, seq);
    });
}

void PageChannel::recorded(int slot, quint64 id, const AuditEntry &entry, TrailWrite written,
                           qint64 seq)
{
    const QString &controller = bySlot.controllers[slot].id;
    auto page = pages.find(id);
    if (written != TrailWrite::Written) {
        if (page != pages.end())
            refuse(*page, controller,
                   written == TrailWrite::NotLeading
                       ? ChangingOver
                       : QStringLiteral("the audit log cannot be written: the key was not sent"));
        return;
    }
    if (recorder)
        recorder->key(controller, entry.time.toMSecsSinceEpoch(), entry.user, entry.keyName, seq);
    // A key the trail took long over is no longer the one the operator meant to press now.
    if (entry.time.msecsTo(QDateTime::currentDateTimeUtc()) > MaxRecordMs) {
        recordOutcome(slot, seq, id, KeyOutcome::Dropped,
                      QStringLiteral("the audit trail took too long to record it"));
        return;
    }
    const quint64 ticket = source->pressKey(slot, uint8_t(entry.code));
    if (ticket == 0) {
        recordOutcome(slot, seq, id, KeyOutcome::Dropped,
                      QStringLiteral("too many keys are waiting for this controller"));
        return;
    }
    keysInFlight.insert(ticket, KeyInFlight{seq, id});
    toViewers(slot, PageMessages::keys(controller, audit->recent(controller)),
              foldKey("keys", slot));
}

void PageChannel::keyDone(int slot, quint64 ticket, KeyOutcome outcome, const QString &reason)
{
    // A removed controller's last keys still get their outcome: its slot keeps its id.
    const auto it = keysInFlight.find(ticket);
    if (it == keysInFlight.end() || slot < 0 || slot >= words.size())
        return;
    const KeyInFlight key = *it;
    keysInFlight.erase(it);
    recordOutcome(slot, key.seq, key.page, outcome, reason);
}

// The outcome goes into the trail tied to the key's line, to the panels as the key's state, and
// for a key never sent, to the page that pressed it with the reason.
void PageChannel::recordOutcome(int slot, qint64 seq, quint64 page, KeyOutcome outcome,
                                const QString &dropReason)
{
    const QString &controller = bySlot.controllers[slot].id;
    const QString text = keyOutcomeWords(outcome, dropReason);
    if (recorder)
        recorder->outcome(controller, QDateTime::currentMSecsSinceEpoch(), seq, text);
    audit->recordOutcome(seq, controller, text, [this, slot, seq, text](TrailWrite written, qint64) {
        const QString &controller = bySlot.controllers[slot].id;
        if (written != TrailWrite::Written)
            serverLog(LogLevel::Error,
                      "the audit log cannot be written: the outcome of key %lld (%s) is not in it",
                      (long long)seq, qPrintable(text));
        toViewers(slot, PageMessages::keys(controller, audit->recent(controller)),
                  foldKey("keys", slot));
    });
    auto presser = pages.find(page);
    if (outcome == KeyOutcome::Dropped && presser != pages.end())
        refuse(*presser, controller, QStringLiteral("key not sent: ") + dropReason);
}

void PageChannel::refuse(Page &page, const QString &controller, const QString &message)
{
    page.sink->send(PageMessages::refused(controller, message), QByteArray());
}

void PageChannel::leaveController(quint64 id, Page &page)
{
    if (page.watching < 0)
        return;
    const int slot = page.watching;
    page.watching = -1;
    --shown[slot].viewers;
    --shown[slot].watchers;
    source->unwatch(slot);
    if (recorder && !recorded(slot))
        recorder->pause(bySlot.controllers[slot].id, QDateTime::currentMSecsSinceEpoch());
    if (controls.release(slot, id))
        sendControl(slot);
}

void PageChannel::sendControl(int slot)
{
    const QString &controller = bySlot.controllers[slot].id;
    const QString holder = controls.holder(slot);
    for (auto it = pages.begin(); it != pages.end(); ++it) {
        if (it->watching == slot)
            it->sink->send(
                PageMessages::control(controller, holder, controls.holds(slot, it.key())),
                foldKey("control", slot));
    }
}

void PageChannel::setMirror(AccessMirror *mirror)
{
    sessions->setMirror(mirror);
    controls.setMirror(mirror, [this](int slot) { return bySlot.controllers[slot].id; });
}

void PageChannel::adopt(const AccessSnapshot &left, qint64 nowMs)
{
    sessions->adopt(left.sessions, nowMs);
    // Control as the table has it, for every controller: what this server held before it
    // waited may have changed hands meanwhile.
    QHash<QString, const AccessSnapshot::ControlRow *> byId;
    for (const AccessSnapshot::ControlRow &row : left.controls)
        byId.insert(row.controller, &row);
    for (int slot = 0; slot < bySlot.size(); ++slot) {
        const AccessSnapshot::ControlRow *row = byId.value(bySlot.controllers[slot].id);
        if (!row && controls.holder(slot).isEmpty())
            continue;
        if (row)
            controls.adopt(slot, row->user, row->sessionHash, nowMs - row->idleMs);
        else
            controls.adopt(slot, QString(), QByteArray(), 0);
        sendControl(slot);
    }
}

void PageChannel::endSession(const QByteArray &session)
{
    for (Page &page : pages) {
        if (page.who.session == session)
            page.sink->close(QStringLiteral("logged out"));
    }
}

void PageChannel::tick(qint64 nowMs)
{
    for (int slot : controls.expire(nowMs))
        sendControl(slot);
    // Pushes to a page do not keep its session alive; only what the user does.
    sessions->expire(nowMs);
    for (Page &page : pages) {
        if (!sessions->has(page.who.session))
            page.sink->close(QStringLiteral("session ended"));
    }
    for (int i : liveSlots)
        look(i, false);
    // The summary goes out at most once a second, and only when a controller's kind changed.
    const QByteArray now = kindLetters();
    if (now != kinds) {
        kinds = now;
        ++kindsChange;
        for (Page &page : pages) {
            if (page.overview)
                sendSummary(page);
        }
    }
}

QStringList PageChannel::sessionUsers() const
{
    return sessions->users();
}

void PageChannel::toViewers(int slot, const QByteArray &text, const QByteArray &key)
{
    for (Page &page : pages) {
        if (page.watching == slot)
            page.sink->send(text, key);
    }
}
