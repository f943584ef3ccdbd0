// The server's configuration file: where it listens, where its users file and audit log are, and
// the controllers it shows. An INI file read through QSettings; every error names its line.
#ifndef WEBCONFIG_H
#define WEBCONFIG_H

#include "usmcrypto.h"

#include <QByteArray>
#include <QHash>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

// A serial line from a [line NAME] section: a local serial device, or a terminal server's raw
// TCP port, at a bit rate.
struct SerialLineSetting
{
    QString name;
    QString device;
    QString host;
    int port = 0;
    int speed = 9600;

    bool operator==(const SerialLineSetting &o) const
    {
        return name == o.name && device == o.device && host == o.host && port == o.port &&
               speed == o.speed;
    }
    bool operator!=(const SerialLineSetting &o) const { return !(*this == o); }
};

struct ControllerConfig
{
    QString id; // the section name: stable in URLs and the audit trail
    QString name;
    QString address;
    int port = 501;
    QByteArray community = QByteArrayLiteral("harbor");
    QString group; // a corridor or district
    int pollInterval = 100;
    // The longest a reply is waited for, however slow the link's round trips grow (ms).
    int maxWaitMs = 5000;
    // SNMPv3 instead of the community: the user, its protocols (priv None is authNoPriv) and
    // its passphrases from the secrets file, which never appear in a log, a page or an error.
    int version = 1;
    QByteArray user;
    AuthProtocol auth = AuthProtocol::Sha256;
    PrivProtocol priv = PrivProtocol::Aes128;
    QByteArray authPassphrase;
    QByteArray privPassphrase;
    // Its display is recorded even while no page watches it.
    bool recordAlways = false;
    // A station on a serial line instead of address and port: the line's settings (a changed
    // line moves its stations) and the station's PMPP address, 0 for a controller on UDP.
    SerialLineSetting line;
    int station = 0;

    // Where it is reached, for people: "10.0.0.5:501" or "line corridor, station 3".
    QString where() const
    {
        return station > 0 ? QStringLiteral("line %1, station %2").arg(line.name).arg(station)
                           : address + QLatin1Char(':') + QString::number(port);
    }
};

struct WebConfig
{
    QString listenAddress = QStringLiteral("127.0.0.1");
    int listenPort = 8080;
    // How passwords are checked: the users file, or the system's PAM stack with roles from groups.
    enum class Auth { UsersFile, Pam };
    Auth auth = Auth::UsersFile;
    QString usersFile;
    QString operatorGroup = QStringLiteral("frontpanel-operator");
    QString viewerGroup = QStringLiteral("frontpanel-viewer");
    // /metrics answers loopback, and other addresses that bring this as a bearer token.
    QByteArray metricsToken;
    QString auditLog;
    // A libpq connection string: the audit trail, and which server of a pair leads, are kept in
    // that PostgreSQL database instead of the audit log file. Empty: the server is alone.
    QString database;
    // The recordings of what the pages showed (SQLite), kept this many days and within this size;
    // "recordings = off" records nothing.
    QString recordings;
    bool recordingsOff = false;
    // The key that signs the device cookies (beside the audit log); empty: one in memory only.
    QString deviceKey;
    int recordingDays = 90;
    int recordingMaxMb = 2048;
    QString tlsCertificate;
    QString tlsKey;
    // Names the server is reached by besides its listen address, such as panel.example.org:
    // pages are accepted only from these origins.
    QStringList hostNames;
    // A session unused for this long is ended.
    int sessionIdleMinutes = 30;
    // How often a controller nobody watches is polled.
    int slowIntervalMs = 5000;
    // NAME:AUTHPASS:PRIVPASS lines for the SNMPv3 users, readable by the service alone.
    QString v3Secrets;
    QVector<ControllerConfig> controllers;
    QVector<SerialLineSetting> lines;
};

// Reads path into config. On failure returns false with "path:line: what" in error (line 0 when
// the fault is not on one line) and leaves config as it was.
bool loadWebConfig(const QString &path, WebConfig *config, QString *error);

// Gives each SNMPv3 controller of config its passphrases from config->v3Secrets. False, with an
// error that names the file and the user but never a passphrase, when the file is readable by
// group or others, cannot be read, or lacks a user.
bool loadV3Secrets(WebConfig *config, QString *error);

#endif // WEBCONFIG_H
