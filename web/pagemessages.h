// The messages the server sends a page, as compact JSON text, built from plain values. Messages
// are JSON objects with a "type":
//   hello {user, role, controllers, keys}; screen {controller, rows, cursor, figure};
//   state {controller, text, kind}; control {controller, holder, yours};
//   keys {controller, keys}; refused {controller, message}; error {message}
// and a page sends: overview; watch {controller}; take {controller}; release {controller};
// key {controller, code}.
#ifndef PAGEMESSAGES_H
#define PAGEMESSAGES_H

#include "auditlog.h"
#include "controllersource.h"
#include "linkwords.h"
#include "userstore.h"
#include "webconfig.h"

#include <QByteArray>
#include <QString>
#include <QVector>

namespace PageMessages {

QByteArray hello(const QString &user, Role role, const QVector<ControllerConfig> &controllers);
QByteArray screen(const QString &controller, const ControllerSnapshot &snapshot);
QByteArray state(const QString &controller, const LinkWords &words);
QByteArray control(const QString &controller, const QString &holder, bool yours);
QByteArray keys(const QString &controller, const QVector<AuditEntry> &recent);
QByteArray refused(const QString &controller, const QString &message);
QByteArray error(const QString &message);

} // namespace PageMessages

#endif // PAGEMESSAGES_H
