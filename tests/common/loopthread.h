// An object of type T on a thread of the test's own with a Qt event loop: a std::thread started
// and joined with the standard library, and work handed over under a std::mutex. ThreadSanitizer
// sees all of that (QThread::wait and blocking queued calls synchronise inside Qt, where it
// cannot look), so whatever one test function's thread left behind is ordered before the next
// function's fixture, which may be built at the same stack address.
#ifndef LOOPTHREAD_H
#define LOOPTHREAD_H

#include <QEventLoop>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

template <class T> class LoopThread
{
public:
    // Builds the object on the new thread, runs setup on it there, and returns once that is done.
    explicit LoopThread(std::function<void(T &)> setup = {})
        : thread([this, setup] { run(setup); })
    {
        std::unique_lock<std::mutex> locker(lock);
        changed.wait(locker, [this] { return object != nullptr; });
    }

    ~LoopThread()
    {
        stopRequested.store(true);
        thread.join();
    }

    // Its thread-safe calls may be made from the test's thread; anything else goes through
    // onThread().
    T &get() { return *object; }

    // Runs f on the object's thread and returns when it is done.
    void onThread(std::function<void(T &)> f)
    {
        std::unique_lock<std::mutex> locker(lock);
        const uint64_t ticket = ++queued;
        jobs.push_back(std::move(f));
        changed.wait(locker, [this, ticket] { return done >= ticket; });
    }

private:
    void run(const std::function<void(T &)> &setup)
    {
        // First the loop: it gives this thread, which Qt did not start, its event dispatcher,
        // which the object's sockets and timers need.
        QEventLoop loop;
        T own;
        if (setup)
            setup(own);
        // Stops and jobs are looked for by the loop itself, not posted into it from the test's
        // thread, so that nothing of ours is handed across inside Qt.
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, &loop, [this, &loop, &own] {
            runJobs(own);
            if (stopRequested.load())
                loop.quit();
        });
        check.start(2);
        {
            std::lock_guard<std::mutex> locker(lock);
            object = &own;
        }
        changed.notify_all();
        loop.exec();
        runJobs(own);
    }

    void runJobs(T &own)
    {
        std::unique_lock<std::mutex> locker(lock);
        while (!jobs.empty()) {
            std::function<void(T &)> job = std::move(jobs.front());
            jobs.pop_front();
            locker.unlock();
            job(own);
            locker.lock();
            ++done;
            changed.notify_all();
        }
    }

    std::mutex lock;
    std::condition_variable changed;
    T *object = nullptr;
    std::deque<std::function<void(T &)>> jobs;
    uint64_t queued = 0, done = 0;
    std::atomic<bool> stopRequested{false};
    std::thread thread; // last: it starts once everything above is built
};

#endif // LOOPTHREAD_H
