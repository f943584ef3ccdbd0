// A LinkEngine on its own thread and event loop, as a server runs it (see loopthread.h); the test
// thread reads links through the engine's thread-safe calls and adds or removes them on the
// engine's thread.
#ifndef ENGINETHREAD_H
#define ENGINETHREAD_H

#include "linkengine.h"
#include "loopthread.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QStringList>

#include <memory>

class EngineThread
{
public:
    LinkEngine *open()
    {
        thread = std::make_unique<LoopThread<LinkEngine>>();
        engine = &thread->get();
        return engine;
    }

    // Runs f on the engine's thread and returns when it is done.
    template <typename F> void onEngine(F f)
    {
        thread->onThread([&f](LinkEngine &) { f(); });
    }

    int add(const LinkConfig &config)
    {
        int id = 0;
        thread->onThread([&](LinkEngine &e) { id = e.addLink(config); });
        return id;
    }

    bool remove(int id)
    {
        bool removed = false;
        thread->onThread([&](LinkEngine &e) { removed = e.removeLink(id); });
        return removed;
    }

    int addLine(const SerialLineConfig &config)
    {
        int id = 0;
        thread->onThread([&](LinkEngine &e) { id = e.addLine(config); });
        return id;
    }

    bool removeLine(int id)
    {
        bool removed = false;
        thread->onThread([&](LinkEngine &e) { removed = e.removeLine(id); });
        return removed;
    }

    LinkState state(int id) const
    {
        LinkState s;
        engine->read(id, &s);
        return s;
    }

    LinkEngine *engine = nullptr;

private:
    std::unique_ptr<LoopThread<LinkEngine>> thread;
};

// A link to 127.0.0.1:port, polled every pollInterval ms while watched.
inline LinkConfig loopbackLink(int port, int pollInterval = 10)
{
    LinkConfig config;
    config.address = QStringLiteral("127.0.0.1");
    config.port = port;
    config.pollInterval = pollInterval;
    return config;
}

// How long a test waits for a state that should come (a sanitizer build is slow).
constexpr int Patience = 20000;

inline QByteArray screenText(const LinkState &s)
{
    return QByteArray(reinterpret_cast<const char *>(s.screen), LinkRules::ScreenSize);
}

// The fate of every key, in the order the engine told it.
struct Outcomes : QObject
{
    QList<quint64> tickets;
    QList<KeyOutcome> outcomes;
    QStringList reasons;
    void listen(LinkEngine *engine)
    {
        connect(engine, &LinkEngine::keyDone, this,
                [this](int, quint64 ticket, KeyOutcome outcome, const QString &reason) {
                    tickets << ticket;
                    outcomes << outcome;
                    reasons << reason;
                });
    }
};

#endif // ENGINETHREAD_H
