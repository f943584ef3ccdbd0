// The web server's controllers on the link engine: one link per configured controller, in the
// order of the configuration file.
#ifndef ENGINESOURCE_H
#define ENGINESOURCE_H

#include "controllersource.h"
#include "webconfig.h"

#include <QHash>
#include <QVector>

class LinkEngine;

class EngineSource : public ControllerSource
{
    Q_OBJECT

public:
    // engine must outlive the source and run on this thread.
    explicit EngineSource(LinkEngine *engine, QObject *parent = nullptr);

    // Adds a link for each controller; false, with error, when one cannot be opened.
    bool addControllers(const WebConfig &config, QString *error);

    bool snapshot(int index, ControllerSnapshot *out) const override;
    quint64 pressKey(int index, uint8_t code) override;
    void watch(int index) override;
    void unwatch(int index) override;

private:
    LinkEngine *engine;
    QVector<int> linkIds;
    // The engine's link id to the controller's index.
    QHash<int, int> indexOfLink;
};

#endif // ENGINESOURCE_H
