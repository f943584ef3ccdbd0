// A reload of the server's configuration as the pages meet it: the new list of controllers, and
// the users' new roles.
#include "pagechannel.h"

#include "pagemessages.h"

void PageChannel::reconfigure(const ControllerSlots &next, const SlotChanges &changes)
{
    bySlot = next;
    controls.resize(bySlot.size());
    slotById.clear();
    for (int i = 0; i < bySlot.size(); ++i) {
        if (bySlot.live[i])
            slotById.insert(bySlot.controllers[i].id, i);
    }
    // A new link starts its counters afresh: its words start from the beginning too.
    for (int slot : changes.moved)
        words[slot] = LinkWords();
    for (int slot : changes.removed) {
        words[slot] = LinkWords();
        for (auto it = pages.begin(); it != pages.end(); ++it) {
            const auto tile = it->tiles.find(slot);
            if (tile != it->tiles.end()) {
                if (it->overview)
                    --shown[slot].viewers;
                it->tiles.erase(tile);
            }
            if (it->watching != slot)
                continue;
            leaveController(it.key(), *it);
            refuse(*it, bySlot.controllers[slot].id,
                   QStringLiteral("this controller was removed from the server's configuration"));
        }
    }
    // Their pages are sent the new words, and a new screen once it comes.
    for (int slot : changes.moved + changes.removed) {
        ++shown[slot].words;
        ++shown[slot].screen;
    }
    // The tiles' indexes and the summary's letters follow the new list.
    resizeSlots();
    // A controller removed, or no longer recorded always, stops being recorded.
    if (recorder) {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        for (int i = 0; i < bySlot.size(); ++i) {
            if (!recorded(i))
                recorder->pause(bySlot.controllers[i].id, now);
        }
    }
    // Every page learns the new list; one showing a controller that stays keeps its socket, its
    // place and its control.
    for (Page &page : pages) {
        page.sink->send(PageMessages::hello(page.who.user, page.who.role, bySlot.liveControllers()),
                        QByteArray());
        if (page.overview)
            sendSummary(page);
    }
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
