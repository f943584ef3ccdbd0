#include "controllerbank.h"

#include <QTime>

#include <cstdio>

namespace {

// Tries at a run of free ports when the system picks the first one.
constexpr int PortRunTries = 20;

} // namespace

bool ControllerBank::listen(const QHostAddress &address, int firstPort, int count)
{
    const int tries = firstPort == 0 ? PortRunTries : 1;
    for (int t = 0; t < tries; ++t) {
        servers.clear();
        int next = firstPort;
        while (int(servers.size()) < count && next <= 65535) {
            // Each controller's clock starts at the local time of day.
            auto server = std::make_unique<ControllerServer>(
                QTime::currentTime().msecsSinceStartOfDay() / 1000);
            if (!server->listen(address, quint16(next))) {
                error = server->errorString();
                failureKind = server->bindError();
                failedPort = next;
                break;
            }
            next = server->port() + 1;
            servers.push_back(std::move(server));
        }
        if (int(servers.size()) == count)
            return true;
        if (next > 65535) {
            error = QStringLiteral("not enough ports left below 65536");
            failureKind = QAbstractSocket::UnknownSocketError;
            failedPort = next - 1;
        }
    }
    servers.clear();
    return false;
}

QString ControllerBank::failure(const QHostAddress &address) const
{
    const QString where = QStringLiteral("%1 port %2").arg(address.toString()).arg(failedPort);
    QString text;
    if (failureKind == QAbstractSocket::AddressInUseError)
        text = QStringLiteral("%1 is already in use by another program.").arg(where);
    else if (failureKind == QAbstractSocket::SocketAccessError && failedPort < 1024)
        text = QStringLiteral("cannot listen on %1: ports below 1024 need privileges.").arg(where);
    else
        text = QStringLiteral("cannot listen on %1: %2").arg(where, error);
    return text + QStringLiteral("\nRun it on a free port, e.g.\n"
                                 "  controller-sim --port 1501\n"
                                 "(or --port 0 for any free one) and point the front panel at it.");
}

void ControllerBank::setDelay(int ms)
{
    for (const auto &server : servers)
        server->setDelay(ms);
}

void ControllerBank::setDropPercent(int percent)
{
    for (const auto &server : servers)
        server->setDropPercent(percent);
}

bool ControllerBank::enableV3(const std::vector<V3User> &users, QString *error)
{
    for (const auto &server : servers) {
        if (!server->enableV3(users, error))
            return false;
    }
    return true;
}

void ControllerBank::setVerbose(const std::function<void(const char *)> &print)
{
    const bool several = servers.size() > 1;
    for (const auto &server : servers) {
        server->setVerbose([print, several, port = server->port()](const char *line) {
            if (!several) {
                print(line);
                return;
            }
            char prefixed[512];
            std::snprintf(prefixed, sizeof prefixed, "[%u] %s", unsigned(port), line);
            print(prefixed);
        });
    }
}

void ControllerBank::setScreenLog(const std::function<void(const char *)> &print)
{
    for (const auto &server : servers)
        server->setScreenLog(print);
}

AgentCounters ControllerBank::counters() const
{
    AgentCounters sum;
    for (const auto &server : servers)
        sum += server->counters();
    return sum;
}
