#include "pagechannel.h"

#include "keytable.h"
#include "pagemessages.h"
#include "serverlog.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstring>

namespace {

QByteArray foldKey(const char *type, int index)
{
    return QByteArray(type) + ':' + QByteArray::number(index);
}

} // namespace

PageChannel::PageChannel(const WebConfig &config, SessionStore *sessions, AuditLog *audit,
                         ControllerSource *source)
    : bySlot(ControllerSlots::from(config.controllers)), sessions(sessions), audit(audit),
      source(source), controls(bySlot.size()), words(bySlot.size())
{
    for (int i = 0; i < bySlot.size(); ++i)
        indexById.insert(bySlot.controllers[i].id, i);
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
}

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
    const QString controllerId = message.value(QStringLiteral("controller")).toString();

    if (type == QLatin1String("overview")) {
        leaveController(id, page);
        page.overview = true;
        for (int i = 0; i < words.size(); ++i) {
            if (!bySlot.isLive(i))
                continue;
            page.sink->send(currentScreen(i), foldKey("screen", i));
            page.sink->send(PageMessages::state(bySlot.controllers[i].id, words[i]),
                            foldKey("state", i));
        }
        return;
    }
    if (type != QLatin1String("watch") && type != QLatin1String("take") &&
        type != QLatin1String("release") && type != QLatin1String("key")) {
        page.sink->send(PageMessages::error(
                            QStringLiteral("unknown message type \"%1\"").arg(type.left(40))),
                        QByteArray());
        return;
    }
    const int index = indexById.value(controllerId, -1);
    if (index < 0) {
        refuse(page, controllerId.left(40), QStringLiteral("no such controller"));
        return;
    }
    if (type == QLatin1String("watch")) {
        if (page.watching != index) {
            leaveController(id, page);
            page.watching = index;
            source->watch(index);
        }
        watch(id, page, index);
        return;
    }
    if (page.who.role != Role::Operator) {
        refuse(page, controllerId, QStringLiteral("viewers cannot press keys or take control"));
        return;
    }
    if (type == QLatin1String("take")) {
        if (page.watching != index)
            refuse(page, controllerId, QStringLiteral("open the controller's panel first"));
        else if (!controls.take(index, id, page.who.user, nowMs))
            refuse(page, controllerId, QStringLiteral("%1 has control").arg(controls.holder(index)));
        else
            sendControl(index);
        return;
    }
    if (type == QLatin1String("release")) {
        if (controls.release(index, id))
            sendControl(index);
        return;
    }
    press(id, page, index, message.value(QStringLiteral("code")), nowMs);
}

void PageChannel::watch(quint64 id, Page &page, int index)
{
    const QString &controller = bySlot.controllers[index].id;
    page.overview = false;
    page.sink->send(currentScreen(index), foldKey("screen", index));
    page.sink->send(PageMessages::state(controller, words[index]), foldKey("state", index));
    page.sink->send(PageMessages::control(controller, controls.holder(index),
                                          controls.holds(index, id)),
                    foldKey("control", index));
    page.sink->send(PageMessages::keys(controller, audit->recent(controller)),
                    foldKey("keys", index));
}

void PageChannel::press(quint64 id, Page &page, int index, const QJsonValue &code, qint64 nowMs)
{
    const QString &controller = bySlot.controllers[index].id;
    const KeyTable::Key *key = code.isDouble() ? KeyTable::keyOf(code.toInt()) : nullptr;
    if (!key || code.toDouble() != double(code.toInt())) {
        refuse(page, controller, QStringLiteral("no such key"));
        return;
    }
    if (!controls.useForKey(index, id, nowMs)) {
        const QString holder = controls.holder(index);
        refuse(page, controller,
               holder.isEmpty() ? QStringLiteral("take control first")
                                : QStringLiteral("%1 has control").arg(holder));
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
    if (!audit->append(entry)) {
        refuse(page, controller,
               QStringLiteral("the audit log cannot be written: the key was not sent"));
        return;
    }
    const qint64 seq = audit->headSequence();
    const quint64 ticket = source->pressKey(index, key->code);
    if (ticket == 0) {
        recordOutcome(index, seq, id, QStringLiteral("dropped"),
                      QStringLiteral("too many keys are waiting for this controller"));
        return;
    }
    keysInFlight.insert(ticket, KeyInFlight{seq, id});
    toViewers(index, PageMessages::keys(controller, audit->recent(controller)),
              foldKey("keys", index), false);
}

void PageChannel::keyDone(int index, quint64 ticket, int result, const QString &reason)
{
    // A removed controller's last keys still get their outcome: its slot keeps its id.
    const auto it = keysInFlight.find(ticket);
    if (it == keysInFlight.end() || index < 0 || index >= words.size())
        return;
    const KeyInFlight key = *it;
    keysInFlight.erase(it);
    const KeyResult r = KeyResult(result);
    recordOutcome(index, key.seq, key.page,
                  r == KeyResult::Answered   ? QStringLiteral("answered")
                  : r == KeyResult::NoAnswer ? QStringLiteral("no answer")
                                             : QStringLiteral("dropped"),
                  reason);
}

// The outcome goes into the trail tied to the key's line, to the panels as the key's state, and
// for a key never sent, to the page that pressed it with the reason.
void PageChannel::recordOutcome(int index, qint64 seq, quint64 page, const QString &outcome,
                                const QString &dropReason)
{
    const QString &controller = bySlot.controllers[index].id;
    const QString text =
        outcome == QLatin1String("dropped") ? outcome + QStringLiteral(": ") + dropReason : outcome;
    if (!audit->appendOutcome(seq, controller, text))
        serverLog(LogLevel::Error,
                  "the audit log cannot be written: the outcome of key %lld (%s) is not in it",
                  (long long)seq, qPrintable(text));
    toViewers(index, PageMessages::keys(controller, audit->recent(controller)),
              foldKey("keys", index), false);
    auto presser = pages.find(page);
    if (outcome == QLatin1String("dropped") && presser != pages.end())
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
    const int index = page.watching;
    page.watching = -1;
    source->unwatch(index);
    if (controls.release(index, id))
        sendControl(index);
}

void PageChannel::sendControl(int index)
{
    const QString &controller = bySlot.controllers[index].id;
    const QString holder = controls.holder(index);
    for (auto it = pages.begin(); it != pages.end(); ++it) {
        if (it->watching == index)
            it->sink->send(PageMessages::control(controller, holder, controls.holds(index, it.key())),
                           foldKey("control", index));
    }
}

void PageChannel::endSession(const QByteArray &session)
{
    for (Page &page : pages) {
        if (page.who.session == session)
            page.sink->close(QStringLiteral("logged out"));
    }
}

void PageChannel::screenChanged(int index)
{
    if (bySlot.isLive(index))
        look(index, true);
}

void PageChannel::look(int index, bool screenToo)
{
    ControllerSnapshot s;
    if (!source->snapshot(index, &s))
        return;
    const LinkWords next = nextLinkWords(words[index], s);
    const bool changed = !next.sameWords(words[index]);
    words[index] = next;
    // The words are kept for whoever looks later; the messages are built only for a page that
    // shows this controller now, not for every reply of every controller.
    if (!shownOnAnyPage(index))
        return;
    const QString &controller = bySlot.controllers[index].id;
    if (screenToo)
        toViewers(index, PageMessages::screen(controller, s), foldKey("screen", index), true);
    if (changed)
        toViewers(index, PageMessages::state(controller, next), foldKey("state", index), true);
}

bool PageChannel::shownOnAnyPage(int index) const
{
    for (const Page &page : pages) {
        if (page.watching == index || page.overview)
            return true;
    }
    return false;
}

void PageChannel::tick(qint64 nowMs)
{
    for (int index : controls.expire(nowMs))
        sendControl(index);
    // Pushes to a page do not keep its session alive; only what the user does.
    sessions->expire(nowMs);
    for (Page &page : pages) {
        if (!sessions->has(page.who.session))
            page.sink->close(QStringLiteral("session ended"));
    }
    for (int i = 0; i < words.size(); ++i) {
        if (bySlot.isLive(i))
            look(i, false);
    }
}

void PageChannel::reconfigure(const ControllerSlots &next, const SlotChanges &changes)
{
    bySlot = next;
    controls.resize(bySlot.size());
    words.resize(bySlot.size());
    indexById.clear();
    for (int i = 0; i < bySlot.size(); ++i) {
        if (bySlot.live[i])
            indexById.insert(bySlot.controllers[i].id, i);
    }
    // A new link starts its counters afresh: its words start from the beginning too.
    for (int index : changes.moved)
        words[index] = LinkWords();
    for (int index : changes.removed) {
        words[index] = LinkWords();
        for (auto it = pages.begin(); it != pages.end(); ++it) {
            if (it->watching != index)
                continue;
            leaveController(it.key(), *it);
            refuse(*it, bySlot.controllers[index].id,
                   QStringLiteral("this controller was removed from the server's configuration"));
        }
    }
    // Every page learns the new list; one showing a controller that stays keeps its socket, its
    // place and its control.
    for (Page &page : pages)
        page.sink->send(PageMessages::hello(page.who.user, page.who.role, bySlot.liveControllers()),
                        QByteArray());
}

void PageChannel::applyRoles(const QHash<QString, std::optional<Role>> &roles)
{
    for (auto it = roles.constBegin(); it != roles.constEnd(); ++it) {
        const QString &user = it.key();
        if (!it.value()) {
            sessions->endUser(user);
            continue;
        }
        const Role role = *it.value();
        sessions->setRole(user, role);
        for (auto page = pages.begin(); page != pages.end(); ++page) {
            if (page->who.user != user || page->who.role == role)
                continue;
            page->who.role = role;
            if (role == Role::Viewer && page->watching >= 0 &&
                controls.release(page->watching, page.key()))
                sendControl(page->watching);
            page->sink->send(PageMessages::hello(user, role, bySlot.liveControllers()),
                             QByteArray());
        }
    }
    // Pages of the sessions just ended are closed with the reason their page logs in again on.
    for (Page &page : pages) {
        if (!sessions->has(page.who.session))
            page.sink->close(QStringLiteral("session ended"));
    }
}

QStringList PageChannel::sessionUsers() const
{
    return sessions->users();
}

void PageChannel::toViewers(int index, const QByteArray &text, const QByteArray &key,
                            bool overviewToo)
{
    for (Page &page : pages) {
        if (page.watching == index || (overviewToo && page.overview))
            page.sink->send(text, key);
    }
}

QByteArray PageChannel::currentScreen(int index) const
{
    ControllerSnapshot s;
    if (!source->snapshot(index, &s)) {
        std::memset(s.rows, ' ', sizeof s.rows);
    }
    return PageMessages::screen(bySlot.controllers[index].id, s);
}
