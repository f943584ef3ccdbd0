#include "controllerserver.h"

#include "screenrecord.h"

#include <QNetworkProxy>
#include <QRandomGenerator>
#include <QTimer>
#include <QUdpSocket>

#include <cstdio>
#include <cstring>

ControllerServer::ControllerServer(int startSecondOfDay, QObject *parent)
    : QObject(parent), model(startSecondOfDay), agent(&model)
{}

ControllerServer::~ControllerServer() = default;

bool ControllerServer::listen(const QHostAddress &address, quint16 port)
{
    socket = new QUdpSocket(this);
    // A controller answers on its own address: never ask the system proxy settings (that also
    // keeps Qt from starting its proxy-lookup thread).
    socket->setProxy(QNetworkProxy::NoProxy);
    // Not shared: a second controller on the same port must fail here rather than steal
    // requests.
    if (!socket->bind(address, port, QAbstractSocket::DontShareAddress)) {
        error = socket->errorString();
        failure = socket->error();
        delete socket;
        socket = nullptr;
        return false;
    }
    boundPort = socket->localPort();
    clock.start();
    connect(socket, &QUdpSocket::readyRead, this, &ControllerServer::readPending);
    return true;
}

void ControllerServer::setDelay(int delayMs)
{
    delay = delayMs;
    if (delay > 0 && !queue) {
        queue.reset(new PendingReply[QueueSize]);
        sendTimer = new QTimer(this);
        sendTimer->setSingleShot(true);
        connect(sendTimer, &QTimer::timeout, this, &ControllerServer::sendDue);
    }
}

void ControllerServer::setDisplay(uint8_t cursorRow, uint8_t cursorColumn,
                                  const QByteArray &rows0to7, const QByteArray &rows8to15)
{
    std::lock_guard<std::mutex> locker(lock);
    const int upper = int(qMin(rows0to7.size(), qsizetype(ControllerModel::FirstBlockSize - 2)));
    const int lower = int(qMin(rows8to15.size(), qsizetype(ControllerModel::SecondBlockSize)));
    fixedFirst[0] = cursorRow;
    fixedFirst[1] = cursorColumn;
    std::memcpy(fixedFirst + 2, rows0to7.constData(), size_t(upper));
    fixedFirstLength = 2 + upper;
    std::memcpy(fixedSecond, rows8to15.constData(), size_t(lower));
    fixedSecondLength = lower;
    fixedDisplay = true;
}

void ControllerServer::setRequestLog(bool on)
{
    std::lock_guard<std::mutex> locker(lock);
    logging = on;
}

std::vector<ControllerServer::LoggedRequest> ControllerServer::requestLog() const
{
    std::lock_guard<std::mutex> locker(lock);
    return log;
}

AgentCounters ControllerServer::counters() const
{
    std::lock_guard<std::mutex> locker(lock);
    return agent.counters;
}

void ControllerServer::readPending()
{
    while (socket->hasPendingDatagrams()) {
        QHostAddress peer;
        quint16 peerPort = 0;
        const qint64 n =
            socket->readDatagram(reinterpret_cast<char *>(request), ReceiveSize, &peer, &peerPort);
        if (n < 0)
            break;
        serve(request, int(n), peer, peerPort);
    }
}

void ControllerServer::catchUp()
{
    // The model is only ever seen through a request, so its clock moves when one comes in.
    // Steps of at most an hour keep the milliseconds in range after any idle time.
    const qint64 now = clock.elapsed();
    while (now > modelTime) {
        const int step = int(qMin(now - modelTime, qint64(3600 * 1000)));
        model.tick(step);
        modelTime += step;
    }
}

void ControllerServer::prepareDisplay(Behaviour b)
{
    if (!fixedDisplay && b != Behaviour::Oversize) {
        agent.serveDisplay(nullptr, 0, nullptr, 0);
        return;
    }
    if (fixedDisplay) {
        std::memcpy(servedFirst, fixedFirst, size_t(fixedFirstLength));
        servedFirstLength = fixedFirstLength;
        std::memcpy(servedSecond, fixedSecond, size_t(fixedSecondLength));
        servedSecondLength = fixedSecondLength;
    } else {
        model.firstBlock(servedFirst);
        servedFirstLength = ControllerModel::FirstBlockSize;
        model.secondBlock(servedSecond);
        servedSecondLength = ControllerModel::SecondBlockSize;
    }
    if (b == Behaviour::Oversize)
        servedFirst[servedFirstLength++] = 'x';
    agent.serveDisplay(servedFirst, servedFirstLength, servedSecond, servedSecondLength);
}

void ControllerServer::serve(const uint8_t *bytes, int length, const QHostAddress &peer,
                             quint16 peerPort)
{
    std::unique_lock<std::mutex> locker(lock);
    const Behaviour b = behaviour.load();
    if (logging)
        log.push_back({QByteArray(reinterpret_cast<const char *>(bytes), length), clock.elapsed()});
    catchUp();
    prepareDisplay(b);
    const int replyLength =
        v3.enabled() && V3Agent::isV3(bytes, length)
            ? v3.handle(bytes, length, reply, ReplySize, &agent, int32_t(clock.elapsed() / 1000))
            : agent.handle(bytes, length, reply, ReplySize);
    const char *fate = "";
    if (replyLength > 0) {
        const bool unanswered = b == Behaviour::Silent || (b == Behaviour::KeysUnanswered &&
                                                           agent.lastPduType() == ber::SetRequest);
        if (unanswered) {
            ++agent.counters.dropped;
            fate = " (not answered)";
        } else if (dropPercent > 0 && int(QRandomGenerator::global()->bounded(100)) < dropPercent) {
            ++agent.counters.dropped;
            fate = " (lost)";
        } else if (delay > 0) {
            fate = hold(reply, replyLength, peer, peerPort);
        } else {
            if (b == Behaviour::EmptyFirst)
                socket->writeDatagram("", 0, peer, peerPort);
            socket->writeDatagram(reinterpret_cast<const char *>(reply), replyLength, peer,
                                  peerPort);
        }
    }
    const QByteArray screenLine = screenLog && !fixedDisplay ? this->screenLine() : QByteArray();
    if (!screenLine.isEmpty()) {
        locker.unlock();
        screenLog(screenLine.constData());
        locker.lock();
    }
    if (verbose) {
        char line[200];
        agent.describeLast(line, int(sizeof line));
        locker.unlock();
        char out[300];
        std::snprintf(out, sizeof out, "%s:%u %s%s", qPrintable(peer.toString()),
                      unsigned(peerPort), line, fate);
        verbose(out);
    }
}

const char *ControllerServer::hold(const uint8_t *bytes, int length, const QHostAddress &peer,
                                   quint16 peerPort)
{
    if (queueCount == QueueSize) {
        ++agent.counters.dropped;
        return " (lost: delay queue full)";
    }
    PendingReply &r = queue[(queueHead + queueCount) % QueueSize];
    r.peer = peer;
    r.port = peerPort;
    r.due = clock.elapsed() + delay;
    r.length = length;
    std::memcpy(r.bytes, bytes, size_t(length));
    ++queueCount;
    if (!sendTimer->isActive())
        sendTimer->start(delay);
    return "";
}

void ControllerServer::sendDue()
{
    const qint64 now = clock.elapsed();
    const bool emptyFirst = behaviour.load() == Behaviour::EmptyFirst;
    while (queueCount > 0 && queue[queueHead].due <= now) {
        const PendingReply &r = queue[queueHead];
        if (emptyFirst)
            socket->writeDatagram("", 0, r.peer, r.port);
        socket->writeDatagram(reinterpret_cast<const char *>(r.bytes), r.length, r.peer, r.port);
        queueHead = (queueHead + 1) % QueueSize;
        --queueCount;
    }
    if (queueCount > 0)
        sendTimer->start(int(queue[queueHead].due - now));
}

bool ControllerServer::enableV3(const std::vector<V3User> &users, QString *error)
{
    // Enterprise 1206 (the field's), then a text engine id (format 4) that names this controller.
    const QByteArray engineId = QByteArray::fromHex("800004b604") +
                                QByteArray("controller-sim:") + QByteArray::number(port());
    std::lock_guard<std::mutex> locker(lock);
    return v3.configure(engineId, 1, users, error);
}

QByteArray ControllerServer::screenLine()
{
    QByteArray screen = screenBytes(model);
    if (screen == loggedScreen)
        return QByteArray();
    loggedScreen = screen;
    return screenRecord(model, "port", boundPort);
}
