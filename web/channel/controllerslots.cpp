#include "controllerslots.h"

#include <QHash>

ControllerSlots ControllerSlots::from(const QVector<ControllerConfig> &controllers)
{
    ControllerSlots bySlot;
    bySlot.controllers = controllers;
    bySlot.live.fill(true, controllers.size());
    return bySlot;
}

QVector<ControllerConfig> ControllerSlots::liveControllers() const
{
    QVector<ControllerConfig> out;
    for (int i = 0; i < controllers.size(); ++i) {
        if (live[i])
            out.append(controllers[i]);
    }
    return out;
}

ControllerSlots nextSlots(const ControllerSlots &current, const QVector<ControllerConfig> &next,
                          SlotChanges *changes)
{
    ControllerSlots result = current;
    QHash<QString, int> liveSlot;
    for (int i = 0; i < current.size(); ++i) {
        if (current.live[i])
            liveSlot.insert(current.controllers[i].id, i);
    }
    QVector<bool> kept(current.size(), false);
    for (const ControllerConfig &c : next) {
        const int slot = liveSlot.value(c.id, -1);
        if (slot < 0) {
            changes->added.append(result.size());
            result.controllers.append(c);
            result.live.append(true);
            continue;
        }
        kept[slot] = true;
        const ControllerConfig &old = current.controllers[slot];
        if (old.address != c.address || old.port != c.port || old.community != c.community ||
            old.pollInterval != c.pollInterval || old.maxWaitMs != c.maxWaitMs ||
            old.version != c.version || old.user != c.user || old.auth != c.auth ||
            old.priv != c.priv || old.authPassphrase != c.authPassphrase ||
            old.privPassphrase != c.privPassphrase || old.line != c.line ||
            old.station != c.station)
            changes->moved.append(slot);
        else if (old.name != c.name || old.group != c.group)
            changes->renamed.append(slot);
        result.controllers[slot] = c;
    }
    for (int i = 0; i < current.size(); ++i) {
        if (current.live[i] && !kept[i]) {
            result.live[i] = false;
            changes->removed.append(i);
        }
    }
    return result;
}
