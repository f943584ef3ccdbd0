// The controllers by slot: the number the link engine's source and the page channel both know a
// controller by. A reload never renumbers: a controller that stays keeps its slot, a new one gets
// the next, and a removed one keeps its slot (and id, for the outcomes of its last keys) but is
// no longer live.
#ifndef CONTROLLERSLOTS_H
#define CONTROLLERSLOTS_H

#include "webconfig.h"

#include <QVector>

struct ControllerSlots
{
    QVector<ControllerConfig> controllers;
    QVector<bool> live;

    static ControllerSlots from(const QVector<ControllerConfig> &controllers);
    int size() const { return controllers.size(); }
    bool isLive(int slot) const { return slot >= 0 && slot < live.size() && live[slot]; }
    // The live controllers, in slot order.
    QVector<ControllerConfig> liveControllers() const;
};

struct SlotChanges
{
    QVector<int> added, removed;
    // Still there, but reached differently (address, port, community, poll, or its SNMPv3
    // user, protocols or passphrases): a new link.
    QVector<int> moved;
    // Only its name or group changed.
    QVector<int> renamed;
    bool any() const
    {
        return !added.isEmpty() || !removed.isEmpty() || !moved.isEmpty() || !renamed.isEmpty();
    }
};

// The slots after the configuration's controllers became next.
ControllerSlots nextSlots(const ControllerSlots &current, const QVector<ControllerConfig> &next,
                          SlotChanges *changes);

#endif // CONTROLLERSLOTS_H
