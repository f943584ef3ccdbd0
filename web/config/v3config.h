// The configuration's SNMPv3 part, and what its reader shares with the rest of the file's:
// a controller's v3 settings, checked as they are read, and the secrets file beside it
// (loadV3Secrets, declared in webconfig.h).
#ifndef V3CONFIG_H
#define V3CONFIG_H

#include "webconfig.h"

#include <QSettings>
#include <QString>

#include <functional>

// A value as text.
QString settingText(const QSettings &settings, const QString &key);

// Says what is wrong with the setting at key; returns false, for the caller to return.
using ConfigFault = std::function<bool(const QString &key, const QString &what)>;

// A controller's SNMPv3 settings under prefix ("NAME/"), into c.
bool readV3(const QSettings &settings, const QString &prefix, ControllerConfig *c,
            const ConfigFault &fail);

#endif // V3CONFIG_H
