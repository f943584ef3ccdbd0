// Many simulated controllers in one process: one ControllerServer each, on consecutive ports,
// all served by the one event loop.
#ifndef CONTROLLERBANK_H
#define CONTROLLERBANK_H

#include "controllerserver.h"

#include <QAbstractSocket>
#include <QHostAddress>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class ControllerBank
{
public:
    static constexpr int MostControllers = 5000;

    // count controllers from firstPort on. With firstPort 0 the system picks the first port and
    // the others must follow it; a run that meets a busy port, or the end of the port range, is
    // given up and another one tried. False, with failure() saying why, when none could be had.
    bool listen(const QHostAddress &address, int firstPort, int count);
    // Why listen() failed, in words for the command line, with a hint how to go on.
    QString failure(const QHostAddress &address) const;

    void setDelay(int ms);
    void setDropPercent(int percent);
    // Every controller answers SNMPv3 as these users too; false, with error, when it cannot.
    bool enableV3(const std::vector<V3User> &users, QString *error);
    // Each controller's request lines, to print; prefixed with its port when there are several.
    void setVerbose(const std::function<void(const char *line)> &print);
    // Each controller's record of the displays it served (ControllerServer::setScreenLog).
    void setScreenLog(const std::function<void(const char *line)> &print);

    int count() const { return int(servers.size()); }
    quint16 firstPort() const { return servers.empty() ? 0 : servers.front()->port(); }
    // Summed over every controller.
    AgentCounters counters() const;

private:
    std::vector<std::unique_ptr<ControllerServer>> servers;
    QString error;
    QAbstractSocket::SocketError failureKind = QAbstractSocket::UnknownSocketError;
    int failedPort = 0;
};

#endif // CONTROLLERBANK_H
