// Who is on the other end of a socket the door accepted as a page: what the door hands the
// channel, and all it hands it.
#ifndef PAGEIDENTITY_H
#define PAGEIDENTITY_H

#include "accessrules.h"

#include <QByteArray>
#include <QString>

// Who is on the other end of an accepted socket.
struct PageIdentity
{
    QByteArray session;
    QString user;
    Role role = Role::Viewer;
    QString address;
};

#endif // PAGEIDENTITY_H
