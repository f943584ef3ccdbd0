#include "startup.h"

#include "auditlog.h"
#include "pamauthenticator.h"
#include "pgsession.h"
#include "sharedschema.h"
#include "sharedtrail.h"
#include "userstore.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QTextStream>

#include <cstdio>
#include <iostream>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

const char defaultUsersFile[] = "/etc/frontpanel-web/users";
const char defaultAuditLog[] = "/var/lib/frontpanel-web/audit.log";

// One line from standard input; on a terminal without echo, after the prompt on stderr.
bool readSecretLine(const char *prompt, bool terminal, QString *out)
{
    termios saved{};
    if (terminal) {
        std::fprintf(stderr, "%s", prompt);
        std::fflush(stderr);
        tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    std::string line;
    const bool ok = bool(std::getline(std::cin, line));
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::fprintf(stderr, "\n");
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    *out = QString::fromStdString(line);
    // The copy in the std::string is wiped; Qt's copy lives as long as the caller needs it.
    std::fill(line.begin(), line.end(), '\0');
    return ok;
}

} // namespace

bool parseStartOptions(const QStringList &arguments, StartOptions *options, QString *error)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The front panel of field controllers in any browser."));
    const QCommandLineOption config(QStringLiteral("config"),
                                    QStringLiteral("The configuration file."),
                                    QStringLiteral("file"), options->configFile);
    const QCommandLineOption listen(QStringLiteral("listen"),
                                    QStringLiteral("Address to listen on (127.0.0.1)."),
                                    QStringLiteral("address"));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("TCP port to listen on (8080)."),
                                  QStringLiteral("port"));
    const QCommandLineOption users(QStringLiteral("users"), QStringLiteral("The users file."),
                                   QStringLiteral("file"));
    const QCommandLineOption audit(QStringLiteral("audit"), QStringLiteral("The audit log."),
                                   QStringLiteral("file"));
    const QCommandLineOption cert(QStringLiteral("tls-cert"),
                                  QStringLiteral("PEM certificate: serve HTTPS."),
                                  QStringLiteral("file"));
    const QCommandLineOption key(QStringLiteral("tls-key"), QStringLiteral("PEM private key."),
                                 QStringLiteral("file"));
    const QCommandLineOption insecure(
        QStringLiteral("insecure-http"),
        QStringLiteral("Allow plain HTTP on an address other than loopback."));
    const QCommandLineOption addUser(QStringLiteral("add-user"),
                                     QStringLiteral("Add a user, or set a user's role and "
                                                    "password, and exit."),
                                     QStringLiteral("name"));
    const QCommandLineOption role(QStringLiteral("role"),
                                  QStringLiteral("With --add-user: viewer or operator."),
                                  QStringLiteral("role"));
    const QCommandLineOption verifyAudit(
        QStringLiteral("verify-audit"),
        QStringLiteral("Check the audit log's chain of lines and print its head, or the first "
                       "line that breaks it; exit 0 when it holds. Given a PostgreSQL "
                       "connection string, the shared trail's table."),
        QStringLiteral("file"));
    const QCommandLineOption initDatabase(
        QStringLiteral("init-database"),
        QStringLiteral("Make the tables of the configured database, or bring them up to date, "
                       "and exit."));
    parser.addOptions({config, listen, port, users, audit, cert, key, insecure, addUser, role,
                       verifyAudit, initDatabase});
    parser.addHelpOption();
    if (!parser.parse(arguments)) {
        *error = parser.errorText() + QLatin1Char('\n') + parser.helpText();
        return false;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        *error = parser.helpText();
        return false;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument \"%1\"\n%2")
                     .arg(parser.positionalArguments().first(), parser.helpText());
        return false;
    }
    options->configFile = parser.value(config);
    options->listen = parser.value(listen);
    if (parser.isSet(port)) {
        bool ok = false;
        options->port = parser.value(port).toInt(&ok);
        if (!ok || options->port < 0 || options->port > 65535) {
            *error = QStringLiteral("--port must be 0 to 65535");
            return false;
        }
    }
    options->usersFile = parser.value(users);
    options->auditLog = parser.value(audit);
    options->tlsCertificate = parser.value(cert);
    options->tlsKey = parser.value(key);
    options->insecureHttp = parser.isSet(insecure);
    options->addUser = parser.value(addUser);
    options->role = parser.value(role);
    options->verifyAudit = parser.value(verifyAudit);
    options->initDatabase = parser.isSet(initDatabase);
    if (parser.isSet(addUser) != parser.isSet(role)) {
        *error = QStringLiteral("--add-user and --role go together");
        return false;
    }
    if (options->tlsCertificate.isEmpty() != options->tlsKey.isEmpty()) {
        *error = QStringLiteral("--tls-cert and --tls-key go together");
        return false;
    }
    return true;
}

bool loadStartConfig(const StartOptions &options, WebConfig *config, QString *error,
                     QString *warning)
{
    WebConfig c;
    if (!loadWebConfig(options.configFile, &c, error))
        return false;
    if (!options.listen.isEmpty()) {
        if (QHostAddress(options.listen).isNull()) {
            *error =
                QStringLiteral("--listen must be an IP address, not \"%1\"").arg(options.listen);
            return false;
        }
        c.listenAddress = options.listen;
    }
    if (options.port >= 0)
        c.listenPort = options.port;
    if (!options.usersFile.isEmpty())
        c.usersFile = options.usersFile;
    if (!options.auditLog.isEmpty())
        c.auditLog = options.auditLog;
    if (!options.tlsCertificate.isEmpty()) {
        c.tlsCertificate = options.tlsCertificate;
        c.tlsKey = options.tlsKey;
    }
    if (c.usersFile.isEmpty())
        c.usersFile = QString::fromLatin1(defaultUsersFile);
    if (c.auditLog.isEmpty())
        c.auditLog = QString::fromLatin1(defaultAuditLog);
    // The recordings live beside the audit trail unless the configuration puts them elsewhere.
    if (c.recordings.isEmpty())
        c.recordings = QFileInfo(c.auditLog).absoluteDir().filePath(QStringLiteral("recordings.db"));
    // So do the device cookies' key: a known browser stays known across restarts.
    c.deviceKey = QFileInfo(c.auditLog).absoluteDir().filePath(QStringLiteral("device-key"));
    if (!loadV3Secrets(&c, error))
        return false;
    const bool loopback = QHostAddress(c.listenAddress).isLoopback();
    const bool hasTls = !c.tlsCertificate.isEmpty() && !c.tlsKey.isEmpty();
    if (!loopback && !hasTls) {
        if (!options.insecureHttp) {
            *error = QStringLiteral("listening on %1 needs --tls-cert and --tls-key (or "
                                    "--insecure-http, which sends passwords in the clear)")
                         .arg(c.listenAddress);
            return false;
        }
        *warning = QStringLiteral("warning: plain HTTP on %1: passwords and session cookies "
                                  "cross the network unencrypted")
                       .arg(c.listenAddress);
    }
    *config = c;
    return true;
}

std::shared_ptr<const Authenticator> makeAuthenticator(const WebConfig &config, QString *error,
                                                       QString *warning)
{
    if (config.auth == WebConfig::Auth::Pam) {
        const QString service =
            QStringLiteral("/etc/pam.d/") + QLatin1String(PamAuthenticator::Service);
        // pam_wrapper (in tests) reads its services elsewhere.
        if (!QFileInfo::exists(service) && qEnvironmentVariableIsEmpty("PAM_WRAPPER"))
            *warning = QStringLiteral("warning: auth = pam, but %1 is missing: PAM falls back to "
                                      "its \"other\" service, which usually refuses everyone")
                           .arg(service);
        return std::make_shared<PamAuthenticator>(config.operatorGroup, config.viewerGroup);
    }
    auto store = std::make_shared<UserStore>();
    if (!store->load(config.usersFile, error))
        return nullptr;
    return store;
}

int addUserCommand(const StartOptions &options)
{
    Role role;
    if (!UserStore::parseRole(options.role, &role)) {
        std::fprintf(stderr, "frontpanel-web: --role must be viewer or operator\n");
        return 2;
    }
    QString path = options.usersFile;
    if (path.isEmpty()) {
        WebConfig config;
        QString error;
        if (QFileInfo::exists(options.configFile)) {
            if (!loadWebConfig(options.configFile, &config, &error)) {
                std::fprintf(stderr, "frontpanel-web: %s\n", qPrintable(error));
                return 1;
            }
            path = config.usersFile;
        }
        if (path.isEmpty())
            path = QString::fromLatin1(defaultUsersFile);
    }
    const bool terminal = isatty(STDIN_FILENO);
    QString password, again;
    if (!readSecretLine("Password: ", terminal, &password) ||
        (terminal && !readSecretLine("Password again: ", terminal, &again))) {
        std::fprintf(stderr, "frontpanel-web: no password given\n");
        return 1;
    }
    if (terminal && password != again) {
        std::fprintf(stderr, "frontpanel-web: the passwords differ; nothing changed\n");
        return 1;
    }
    QString error;
    if (!UserStore::addUser(path, options.addUser, role, password, &error)) {
        std::fprintf(stderr, "frontpanel-web: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("frontpanel-web: %s is now %s in %s\n", qPrintable(options.addUser),
                qPrintable(options.role), qPrintable(path));
    return 0;
}


int initDatabaseCommand(const StartOptions &options)
{
    WebConfig config;
    QString error, warning, report;
    if (!loadWebConfig(options.configFile, &config, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    if (config.database.isEmpty()) {
        std::fprintf(stderr, "%s: no database is configured ([server] database = ...)\n",
                     qPrintable(options.configFile));
        return 2;
    }
    PgSession db;
    if (!db.open(config.database, &error) || !SharedSchema::create(db, &report, &error)) {
        std::fprintf(stderr, "the database: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("%s\n", qPrintable(report));
    return 0;
}

int verifyAuditCommand(const StartOptions &options)
{
    QString report;
    const bool intact = PgSession::looksLikeConnection(options.verifyAudit)
                            ? SharedTrail::verify(options.verifyAudit, &report)
                            : AuditLog::verify(options.verifyAudit, &report);
    std::fprintf(intact ? stdout : stderr, "%s\n", qPrintable(report));
    return intact ? 0 : 1;
}
