// The messages the server sends a page, as compact JSON text, built from plain values. Messages
// are JSON objects with a "type":
//   hello {user, role, controllers, keys, display {rows, columns}};
//   screen {controller, rows, cursor} with all 16 rows, or {controller, changed, cursor} with
//     only the rows that changed since the page's last screen of it, as [row, text] pairs;
//   state {controller, text, kind, figure}; summary {kinds, counts};
//   control {controller, holder, yours}; keys {controller, keys}; refused {controller, message};
//   error {message}
// and a page sends: overview {show: indexes into hello's controllers, the tiles in view};
// watch {controller}; take {controller}; release {controller}; key {controller, code}.
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
// A display as 16 rows of 40 printable ASCII characters: anything else shows as a blank.
QByteArray displayText(const ControllerSnapshot &snapshot);
// A screen with all the rows of display, or with only the changed ones (PanelDisplay::changedRows'
// bits) when they are given. Empty when they are given and neither a row nor the cursor changed.
QByteArray screen(const QString &controller, const QByteArray &display, int cursorRow,
                  int cursorColumn, const uint32_t *changedRows = nullptr,
                  int cursorRowBefore = 0, int cursorColumnBefore = 0);
QByteArray state(const QString &controller, const LinkWords &words);
// kinds holds one letter (a, s, r or w) for each controller of the hello, in its order.
QByteArray summary(const QByteArray &kinds);
QByteArray control(const QString &controller, const QString &holder, bool yours);
QByteArray keys(const QString &controller, const QVector<AuditEntry> &recent);
QByteArray refused(const QString &controller, const QString &message);
QByteArray error(const QString &message);

} // namespace PageMessages

#endif // PAGEMESSAGES_H
