// The web server's controllers on the link engine: one link per live controller slot. The server
// asks for snapshots and keys from its network thread while a reload changes the links on the
// engine's thread, so the table of links is kept under a lock.
#ifndef ENGINESOURCE_H
#define ENGINESOURCE_H

#include "controllerslots.h"
#include "controllersource.h"
#include "webconfig.h"

#include <QHash>
#include <QVector>

#include <mutex>

class LinkEngine;

class EngineSource : public ControllerSource
{
    Q_OBJECT

public:
    // engine must outlive the source and run on this thread.
    explicit EngineSource(LinkEngine *engine, QObject *parent = nullptr);

    // Adds a link for each controller; false, with error, when one cannot be opened.
    bool addControllers(const WebConfig &config, QString *error);
    // On the engine's thread: links for the added and moved controllers, none for the removed
    // ones (their waiting keys are dropped, and said so). Watchers carry over to a moved
    // controller's new link. False, with error, when a link could not be opened; the others are
    // still changed.
    bool applySlots(const ControllerSlots &next, const SlotChanges &changes, QString *error);
    // On the engine's thread, for a server of a pair: resting, it has no links (the server that
    // leads polls the controllers; a serial line has room for one master), and the keys still
    // waiting on them are dropped; waking, it opens them again, watched as before.
    void setResting(bool rest);

    bool snapshot(int slot, ControllerSnapshot *out) const override;
    quint64 pressKey(int slot, uint8_t code) override;
    void watch(int slot) override;
    void unwatch(int slot) override;
    quint64 strangerDatagrams() const override;
    QVector<LineSnapshot> lines() const override;

private:
    int openLink(const ControllerConfig &c);
    // A passphrase stretched into a key (Ku): a 1 MiB hash, done once per passphrase however
    // many controllers share the user. On the engine's thread only.
    QByteArray stretched(AuthProtocol auth, const QByteArray &passphrase);
    void closeLink(int slot);
    int linkOf(int slot) const;

    // Registers linkId as slot's link, watched as often as the slot is.
    void adoptLink(int slot, int linkId);

    LinkEngine *engine;
    int slowIntervalMs = 5000;
    ControllerSlots current;
    bool resting = false;
    mutable std::mutex lock;
    // By slot; 0 for a slot without a link.
    QVector<int> linkIds;
    QVector<int> watchers;
    // The engine's link id to the controller's slot.
    QHash<int, int> slotOfLink;
    QHash<QByteArray, QByteArray> stretchedKeys;
    // The serial lines in use, by name, with the settings they were opened with and how many
    // links are on each; a line goes when its last station does.
    struct OpenLine
    {
        int id = 0;
        SerialLineSetting setting;
        int links = 0;
    };
    QHash<QString, OpenLine> openLines;
    // The engine's link id to its line's name, for links on one.
    QHash<int, QString> lineOfLink;
};

#endif // ENGINESOURCE_H
