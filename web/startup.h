// Starting frontpanel-web: its command line, the adding of a user, and the checks that run before
// anything listens, so that a bad file or a risky address stops the start with one clear line.
#ifndef STARTUP_H
#define STARTUP_H

#include "authenticator.h"
#include "webconfig.h"

#include <QString>
#include <QStringList>

#include <memory>

struct StartOptions
{
    QString configFile = QStringLiteral("/etc/frontpanel-web/frontpanel-web.conf");
    // Empty: as the configuration file says.
    QString listen;
    int port = -1; // -1: as configured; 0: any free port
    QString usersFile;
    QString auditLog;
    QString tlsCertificate;
    QString tlsKey;
    bool insecureHttp = false;
    // --verify-audit: the audit log to check.
    QString verifyAudit;
    // --init-database: make or bring up to date the tables of the configured database.
    bool initDatabase = false;
    // --add-user: the user to add or change, and the role.
    QString addUser;
    QString role;
};

// False with error (the usage in it) for a bad command line.
bool parseStartOptions(const QStringList &arguments, StartOptions *options, QString *error);

// Reads the configuration file and lays the command line over it. Also refuses a non-loopback
// address without TLS unless insecure HTTP was asked for; warning then holds the warning.
bool loadStartConfig(const StartOptions &options, WebConfig *config, QString *error,
                     QString *warning);

// Who may log in under config: the users file, read now, or the PAM stack. Null, with error,
// when the users file cannot be read; warning is set when PAM's service file is missing.
std::shared_ptr<const Authenticator> makeAuthenticator(const WebConfig &config, QString *error,
                                                       QString *warning);

// --add-user: reads the password from the terminal without echo (twice), or one line from
// standard input when that is not a terminal, and writes the users file. Returns the exit code.
int addUserCommand(const StartOptions &options);

// --init-database: makes or migrates the configured database's tables. Returns the exit code.
int initDatabaseCommand(const StartOptions &options);
// --verify-audit: checks the file, or the table when given a connection string. The exit code.
int verifyAuditCommand(const StartOptions &options);

#endif // STARTUP_H
