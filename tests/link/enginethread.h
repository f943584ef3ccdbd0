// A LinkEngine on its own thread and event loop, as a server runs it; the test thread reads
// links through the engine's thread-safe calls and adds or removes them on the engine's thread.
#ifndef ENGINETHREAD_H
#define ENGINETHREAD_H

#include "linkengine.h"

#include <QThread>

#include <condition_variable>
#include <mutex>

class EngineThread : public QThread
{
public:
    ~EngineThread() override
    {
        quit();
        wait();
    }

    LinkEngine *open()
    {
        start();
        std::unique_lock<std::mutex> locker(lock);
        readyChanged.wait(locker, [this] { return ready; });
        return engine;
    }

    // Runs f on the engine's thread and returns when it is done.
    template <typename F> void onEngine(F f)
    {
        QMetaObject::invokeMethod(engine, f, Qt::BlockingQueuedConnection);
    }

    int add(const LinkConfig &config)
    {
        int id = 0;
        onEngine([&] { id = engine->addLink(config); });
        return id;
    }

    bool remove(int id)
    {
        bool removed = false;
        onEngine([&] { removed = engine->removeLink(id); });
        return removed;
    }

    LinkState state(int id) const
    {
        LinkState s;
        engine->read(id, &s);
        return s;
    }

    LinkEngine *engine = nullptr;

protected:
    void run() override
    {
        LinkEngine own;
        {
            std::lock_guard<std::mutex> locker(lock);
            engine = &own;
            ready = true;
        }
        readyChanged.notify_all();
        exec();
    }

private:
    std::mutex lock;
    std::condition_variable readyChanged;
    bool ready = false;
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

#endif // ENGINETHREAD_H
