#include "webconfig.h"

#include "v3config.h"

#include "linkwait.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSettings>
#include <QStringList>

namespace {

const QStringList serverKeys = {
    QStringLiteral("listen"),
    QStringLiteral("port"),
    QStringLiteral("users"),
    QStringLiteral("audit"),
    QStringLiteral("database"),
    QStringLiteral("tls-cert"),
    QStringLiteral("tls-key"),
    QStringLiteral("session-idle-minutes"),
    QStringLiteral("slow-interval"),
    QStringLiteral("host-names"),
    QStringLiteral("auth"),
    QStringLiteral("operator-group"),
    QStringLiteral("viewer-group"),
    QStringLiteral("metrics-token"),
    QStringLiteral("v3-secrets"),
    QStringLiteral("recordings"),
    QStringLiteral("recording-days"),
    QStringLiteral("recording-max-mb"),
};
const QStringList controllerKeys = {
    QStringLiteral("name"),      QStringLiteral("address"),  QStringLiteral("port"),
    QStringLiteral("community"), QStringLiteral("group"),    QStringLiteral("poll"),
    QStringLiteral("version"),   QStringLiteral("user"),     QStringLiteral("auth"),
    QStringLiteral("priv"),      QStringLiteral("security"), QStringLiteral("record"),
    QStringLiteral("max-wait"),  QStringLiteral("line"),     QStringLiteral("station"),
};
const QStringList lineKeys = {
    QStringLiteral("device"),
    QStringLiteral("tcp"),
    QStringLiteral("speed"),
};
const QString linePrefix = QStringLiteral("line ");
// The bit rates a serial port is set to.
const QList<int> lineSpeeds = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
// A PMPP station: 63 is the address of every station, so a controller has 1..62.
constexpr int LastStation = 62;

// Where each section and key stands in the file. QSettings forgets lines, so the file is read
// once by hand for them, and for the faults QSettings would pass over in silence.
struct LineIndex
{
    QStringList sections;      // in file order
    QHash<QString, int> lines; // "section" and "section/key" to their 1-based line
};

bool indexLines(const QString &path, LineIndex *index, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("%1:0: cannot read: %2").arg(path, file.errorString());
        return false;
    }
    static const QRegularExpression sectionName(QStringLiteral("^[A-Za-z0-9_.-]+$"));
    QString section;
    int number = 0;
    while (!file.atEnd()) {
        ++number;
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        auto fail = [&](const QString &what) {
            *error = QStringLiteral("%1:%2: %3").arg(path).arg(number).arg(what);
            return false;
        };
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) ||
            line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            if (!line.endsWith(QLatin1Char(']')))
                return fail(QStringLiteral("a section header needs its closing ]"));
            section = line.mid(1, line.size() - 2).trimmed();
            if (!sectionName.match(section.startsWith(linePrefix) ? section.mid(linePrefix.size())
                                                                   : section)
                     .hasMatch())
                return fail(QStringLiteral("section name \"%1\": use letters, digits, _ . and -")
                                .arg(section));
            if (index->lines.contains(section))
                return fail(QStringLiteral("section [%1] appears twice").arg(section));
            index->sections.append(section);
            index->lines.insert(section, number);
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0)
            return fail(QStringLiteral("expected key = value, a [section] or a ; comment"));
        if (section.isEmpty())
            return fail(QStringLiteral("a key before the first [section]"));
        const QString key = line.left(equals).trimmed();
        const QStringList &known = section == QLatin1String("server") ? serverKeys
                                   : section.startsWith(linePrefix) ? lineKeys
                                                                    : controllerKeys;
        if (!known.contains(key))
            return fail(QStringLiteral("unknown key \"%1\" in [%2]").arg(key, section));
        // QSettings reads past the end of a line to find a closing quote, swallowing the lines
        // after it; the fault is on this line, so it is named here.
        const QString value = line.mid(equals + 1);
        int quotes = 0;
        for (int i = 0; i < value.size(); ++i) {
            if (value[i] == QLatin1Char('\\'))
                ++i;
            else if (value[i] == QLatin1Char('"'))
                ++quotes;
        }
        if (quotes % 2 != 0)
            return fail(QStringLiteral("a quote \" that is never closed"));
        const QString where = section + QLatin1Char('/') + key;
        if (index->lines.contains(where))
            return fail(QStringLiteral("key \"%1\" appears twice in [%2]").arg(key, section));
        index->lines.insert(where, number);
    }
    return true;
}

} // namespace

bool loadWebConfig(const QString &path, WebConfig *config, QString *error)
{
    LineIndex index;
    if (!indexLines(path, &index, error))
        return false;
    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        *error = QStringLiteral("%1:0: not a readable INI file").arg(path);
        return false;
    }

    WebConfig result;
    const QDir base = QFileInfo(path).absoluteDir();
    auto fail = [&](const QString &where, const QString &what) {
        *error = QStringLiteral("%1:%2: %3").arg(path).arg(index.lines.value(where)).arg(what);
        return false;
    };
    auto number = [&](const QString &where, int low, int high, int *out) {
        if (!settings.contains(where))
            return true;
        bool ok = false;
        const int value = settingText(settings, where).toInt(&ok);
        if (!ok || value < low || value > high)
            return fail(where, QStringLiteral("%1 must be a whole number from %2 to %3")
                                   .arg(where.section(QLatin1Char('/'), 1))
                                   .arg(low)
                                   .arg(high));
        *out = value;
        return true;
    };
    auto file = [&](const QString &where, QString *out) {
        if (settings.contains(where))
            *out = base.absoluteFilePath(settingText(settings, where));
    };

    if (settings.contains(QStringLiteral("server/listen"))) {
        result.listenAddress = settingText(settings, QStringLiteral("server/listen"));
        if (QHostAddress(result.listenAddress).isNull())
            return fail(QStringLiteral("server/listen"),
                        QStringLiteral("listen must be an IP address, not \"%1\"")
                            .arg(result.listenAddress));
    }
    if (!number(QStringLiteral("server/port"), 1, 65535, &result.listenPort) ||
        !number(QStringLiteral("server/session-idle-minutes"), 1, 24 * 60,
                &result.sessionIdleMinutes) ||
        !number(QStringLiteral("server/slow-interval"), 100, 600000, &result.slowIntervalMs) ||
        !number(QStringLiteral("server/recording-days"), 1, 3650, &result.recordingDays) ||
        !number(QStringLiteral("server/recording-max-mb"), 1, 1024 * 1024, &result.recordingMaxMb))
        return false;
    const QVariant names = settings.value(QStringLiteral("server/host-names"));
    for (const QString &name : names.toStringList()) {
        if (!name.trimmed().isEmpty())
            result.hostNames.append(name.trimmed().toLower());
    }
    if (settings.contains(QStringLiteral("server/auth"))) {
        const QString auth = settingText(settings, QStringLiteral("server/auth"));
        if (auth == QLatin1String("pam"))
            result.auth = WebConfig::Auth::Pam;
        else if (auth != QLatin1String("users"))
            return fail(QStringLiteral("server/auth"),
                        QStringLiteral("auth must be users or pam, not \"%1\"").arg(auth));
    }
    static const QRegularExpression groupName(
        QStringLiteral("^[A-Za-z0-9_][A-Za-z0-9_.@-]{0,63}$"));
    for (auto [key, out] :
         {std::pair{QStringLiteral("server/operator-group"), &result.operatorGroup},
          std::pair{QStringLiteral("server/viewer-group"), &result.viewerGroup}}) {
        if (!settings.contains(key))
            continue;
        *out = settingText(settings, key);
        if (!groupName.match(*out).hasMatch())
            return fail(key, QStringLiteral("%1 \"%2\" is not a group name")
                                 .arg(key.section(QLatin1Char('/'), 1), *out));
    }
    if (settings.contains(QStringLiteral("server/metrics-token"))) {
        result.metricsToken = settingText(settings, QStringLiteral("server/metrics-token")).toUtf8();
        // A short token is guessed; one with spaces or quotes cannot be sent as a bearer token.
        static const QRegularExpression tokenText(QStringLiteral("^[A-Za-z0-9._~+/=-]{24,256}$"));
        if (!tokenText.match(QString::fromUtf8(result.metricsToken)).hasMatch())
            return fail(QStringLiteral("server/metrics-token"),
                        QStringLiteral("metrics-token must be 24 to 256 letters, digits or "
                                       "._~+/=- (openssl rand -base64 32 makes one)"));
    }
    file(QStringLiteral("server/users"), &result.usersFile);
    file(QStringLiteral("server/v3-secrets"), &result.v3Secrets);
    file(QStringLiteral("server/audit"), &result.auditLog);
    result.database = settingText(settings, QStringLiteral("server/database"));
    // The configuration is readable by more than the service: a password goes in a passfile.
    static const QRegularExpression password(
        QStringLiteral("(^|\\s)password\\s*=|^postgres(ql)?://[^/@]*:[^/@]*@|[?&]password="));
    if (password.match(result.database).hasMatch())
        return fail(QStringLiteral("server/database"),
                    QStringLiteral("database must not hold the password: name a file that only "
                                   "the service reads with passfile=..."));
    if (settings.contains(QStringLiteral("server/recordings")) &&
        settingText(settings, QStringLiteral("server/recordings")) == QLatin1String("off"))
        result.recordingsOff = true;
    else
        file(QStringLiteral("server/recordings"), &result.recordings);
    file(QStringLiteral("server/tls-cert"), &result.tlsCertificate);
    file(QStringLiteral("server/tls-key"), &result.tlsKey);

    QHash<QString, SerialLineSetting> lines;
    for (const QString &section : qAsConst(index.sections)) {
        if (!section.startsWith(linePrefix))
            continue;
        const QString prefix = section + QLatin1Char('/');
        SerialLineSetting line;
        line.name = section.mid(linePrefix.size());
        line.device = settingText(settings, prefix + QLatin1String("device"));
        const QString tcp = settingText(settings, prefix + QLatin1String("tcp"));
        if (line.device.isEmpty() == tcp.isEmpty())
            return fail(section, QStringLiteral("[%1] needs device = /dev/... or tcp = HOST:PORT, "
                                                "one of them")
                                     .arg(section));
        if (!tcp.isEmpty()) {
            line.host = tcp.section(QLatin1Char(':'), 0, 0);
            bool ok = false;
            line.port = tcp.section(QLatin1Char(':'), 1).toInt(&ok);
            if (QHostAddress(line.host).protocol() != QAbstractSocket::IPv4Protocol || !ok ||
                line.port < 1 || line.port > 65535)
                return fail(prefix + QLatin1String("tcp"),
                            QStringLiteral("tcp must be an IPv4 address and a port such as "
                                           "10.0.0.20:4001, not \"%1\"")
                                .arg(tcp));
        } else if (!line.device.startsWith(QLatin1Char('/'))) {
            return fail(prefix + QLatin1String("device"),
                        QStringLiteral("device must be a path such as /dev/ttyS0"));
        }
        if (!number(prefix + QLatin1String("speed"), 1200, 115200, &line.speed))
            return false;
        if (!lineSpeeds.contains(line.speed))
            return fail(prefix + QLatin1String("speed"),
                        QStringLiteral("speed must be 1200, 2400, 4800, 9600, 19200, 38400, "
                                       "57600 or 115200"));
        for (const SerialLineSetting &other : qAsConst(lines))
            if ((!line.device.isEmpty() && other.device == line.device) ||
                (!line.host.isEmpty() && other.host == line.host && other.port == line.port))
                return fail(section, QStringLiteral("[%1] and [line %2] name the same line")
                                         .arg(section, other.name));
        lines.insert(line.name, line);
        result.lines.append(line);
    }

    QHash<QString, QString> stationOwner;
    for (const QString &section : qAsConst(index.sections)) {
        if (section == QLatin1String("server") || section.startsWith(linePrefix))
            continue;
        const QString prefix = section + QLatin1Char('/');
        ControllerConfig c;
        c.id = section;
        c.name = settings.contains(prefix + QLatin1String("name"))
                     ? settingText(settings, prefix + QLatin1String("name"))
                     : section;
        c.group = settingText(settings, prefix + QLatin1String("group"));
        c.address = settingText(settings, prefix + QLatin1String("address"));
        if (settings.contains(prefix + QLatin1String("line"))) {
            const QString name = settingText(settings, prefix + QLatin1String("line"));
            if (!lines.contains(name))
                return fail(prefix + QLatin1String("line"),
                            QStringLiteral("no [line %1] section for this line").arg(name));
            if (settings.contains(prefix + QLatin1String("address")) ||
                settings.contains(prefix + QLatin1String("port")))
                return fail(prefix + QLatin1String("line"),
                            QStringLiteral("a controller on a line has a station, not an address "
                                           "or a port"));
            if (!settings.contains(prefix + QLatin1String("station")))
                return fail(section, QStringLiteral("controller [%1] on a line needs its "
                                                    "station = 1..%2")
                                         .arg(section)
                                         .arg(LastStation));
            c.line = lines.value(name);
            if (!number(prefix + QLatin1String("station"), 1, LastStation, &c.station))
                return false;
            const QString key = name + QLatin1Char('#') + QString::number(c.station);
            if (stationOwner.contains(key))
                return fail(prefix + QLatin1String("station"),
                            QStringLiteral("station %1 on line %2 is [%3] already")
                                .arg(c.station)
                                .arg(name, stationOwner.value(key)));
            stationOwner.insert(key, section);
        } else if (settings.contains(prefix + QLatin1String("station"))) {
            return fail(prefix + QLatin1String("station"),
                        QStringLiteral("a station needs its line = NAME"));
        } else if (c.address.isEmpty()) {
            return fail(section, QStringLiteral("controller [%1] needs an address").arg(section));
        } else if (QHostAddress(c.address).protocol() != QAbstractSocket::IPv4Protocol)
            return fail(
                prefix + QLatin1String("address"),
                QStringLiteral("address must be an IPv4 address, not \"%1\"").arg(c.address));
        if (!number(prefix + QLatin1String("port"), 13, 65535, &c.port) ||
            !number(prefix + QLatin1String("poll"), 10, 1000, &c.pollInterval) ||
            !number(prefix + QLatin1String("max-wait"), LinkWait::ShortestMs,
                    LinkWait::LongestAllowedMs, &c.maxWaitMs))
            return false;
        if (settings.contains(prefix + QLatin1String("community"))) {
            c.community = settingText(settings, prefix + QLatin1String("community")).toUtf8();
            // The packet's community field holds 19 characters and its terminator.
            if (c.community.isEmpty() || c.community.size() > 19)
                return fail(prefix + QLatin1String("community"),
                            QStringLiteral("community must be 1 to 19 characters"));
        }
        if (!readV3(settings, prefix, &c, fail))
            return false;
        if (c.station > 0 && c.version == 3)
            return fail(prefix + QLatin1String("version"),
                        QStringLiteral("a controller on a serial line speaks SNMPv1"));
        if (settings.contains(prefix + QLatin1String("record"))) {
            const QString record = settingText(settings, prefix + QLatin1String("record"));
            if (record != QLatin1String("always") && record != QLatin1String("watched"))
                return fail(
                    prefix + QLatin1String("record"),
                    QStringLiteral("record must be always or watched, not \"%1\"").arg(record));
            c.recordAlways = record == QLatin1String("always");
        }
        result.controllers.append(c);
    }
    for (const ControllerConfig &c : qAsConst(result.controllers)) {
        if (c.version == 3 && result.v3Secrets.isEmpty())
            return fail(c.id + QLatin1String("/version"),
                        QStringLiteral("SNMPv3 controllers need v3-secrets in [server]: a file of "
                                       "NAME:AUTHPASS:PRIVPASS lines"));
    }
    if (result.controllers.isEmpty()) {
        *error = QStringLiteral("%1:0: no controllers: add a section such as [main-5th] with "
                                "address = 10.0.0.5")
                     .arg(path);
        return false;
    }
    *config = result;
    return true;
}
