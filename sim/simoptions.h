// controller-sim's command line: what it asks for, with every value checked against its range.
#ifndef SIMOPTIONS_H
#define SIMOPTIONS_H

#include "v3agent.h"

#include <QHostAddress>
#include <QStringList>

#include <vector>

struct SimOptions
{
    QHostAddress address{QHostAddress::LocalHost};
    int port = 501;
    int delay = 0;
    int dropPercent = 0;
    int controllers = 1;
    bool verbose = false;
    // Where each display served is recorded, as JSON lines; empty for nowhere.
    QString screenLog;
    // Stations on a serial line instead of UDP: on a pseudo-terminal of its own, or on a
    // device that exists; and the line's bit rate.
    bool pmppPty = false;
    QString pmppDevice;
    int lineSpeed = 9600;
    // SNMPv3 users, their keys made from the passphrases.
    std::vector<V3User> v3Users;
};

// Reads arguments into options. Returns -1 to go on, or the status to exit with: 0 after --help
// or --version, 2 after a refusal (said on stderr, with the hint every refusal ends with).
int parseSimOptions(const QStringList &arguments, SimOptions *options);

#endif // SIMOPTIONS_H
