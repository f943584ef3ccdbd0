#include "simoptions.h"

#include "controllerbank.h"
#include "controllerserver.h"
#include "lineserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <cstdarg>
#include <cstdio>

namespace {

// A command line that cannot be run: the reason, the hint every refusal ends with, status 2.
int refuse(const char *format, ...)
{
    std::fputs("controller-sim: ", stderr);
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fputs("\nTry controller-sim --help.\n", stderr);
    return 2;
}

bool parseInt(const QString &text, int low, int high, int *out)
{
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < low || v > high)
        return false;
    *out = v;
    return true;
}

} // namespace

int parseSimOptions(const QStringList &arguments, SimOptions *options)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated traffic field controller: an SNMPv1 agent (community \"harbor\") serving a\n"
        "16 x 40 menu-driven front-panel display and accepting key presses."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption bindOption(
        QStringLiteral("bind"),
        QStringLiteral("IPv4 or IPv6 address to listen on (default 127.0.0.1; 0.0.0.0 or :: for "
                       "every interface)."),
        QStringLiteral("ADDR"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(
        QStringLiteral("port"),
        QStringLiteral("UDP port, 0 to 65535 (default 501, which needs privileges; 0 = any free "
                       "port, named on the first line)."),
        QStringLiteral("N"), QStringLiteral("501"));
    const QCommandLineOption delayOption(
        QStringLiteral("delay"),
        QStringLiteral("Hold every reply back MS milliseconds, 0 to 60000 (default 0). Up to 64 "
                       "replies per controller wait at a time; more are lost."),
        QStringLiteral("MS"), QStringLiteral("0"));
    const QCommandLineOption dropOption(
        QStringLiteral("drop"),
        QStringLiteral("Lose PERCENT of the replies at random, 0 to 100 (default 0; 100 answers "
                       "nothing)."),
        QStringLiteral("PERCENT"), QStringLiteral("0"));
    const QCommandLineOption controllersOption(
        QStringLiteral("controllers"),
        QStringLiteral("Simulate N independent controllers on consecutive ports from --port, 1 to "
                       "5000 (default 1). With more than one, the first line says \"ports "
                       "FIRST-LAST\" and each --verbose line starts with its controller's port "
                       "in brackets."),
        QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"),
                                           QStringLiteral("Print one line per request."));
    const QCommandLineOption v3UserOption(
        QStringLiteral("v3-user"),
        QStringLiteral("Answer SNMPv3 too, as this user (repeatable): AUTH SHA, SHA-224, SHA-256,\n"
                       "SHA-384 or SHA-512; PRIV AES, AES-192, AES-256 or none. The passphrases\n"
                       "come from --v3-passphrases or CONTROLLER_SIM_V3_PASSPHRASES."),
        QStringLiteral("NAME:AUTH:PRIV"));
    const QCommandLineOption v3PassphrasesOption(
        QStringLiteral("v3-passphrases"),
        QStringLiteral("File of NAME:AUTHPASS:PRIVPASS lines, readable by its owner only."),
        QStringLiteral("FILE"));
    const QCommandLineOption screensOption(
        QStringLiteral("screens"),
        QStringLiteral("Append a JSON line to FILE each time a controller serves a display that\n"
                       "differs from the last it served: the wall-clock time in milliseconds, its\n"
                       "port, the cursor (1-based row and column, 0 0 when hidden) and the 16 rows."),
        QStringLiteral("FILE"));
    const QCommandLineOption ptyOption(
        QStringLiteral("pmpp-pty"),
        QStringLiteral("Serve on a serial line instead of UDP: make a pseudo-terminal, name it on\n"
                       "the first line, and answer PMPP frames there as stations 1..N of\n"
                       "--controllers (at most 62), each only its own."));
    const QCommandLineOption deviceOption(
        QStringLiteral("pmpp-device"),
        QStringLiteral("As --pmpp-pty, on a device that exists (a serial port, or one end of a\n"
                       "socat pty pair)."),
        QStringLiteral("PATH"));
    const QCommandLineOption speedOption(
        QStringLiteral("line-speed"),
        QStringLiteral("The serial line's bit rate, 1200 to 115200 (default 9600): answers take\n"
                       "the bytes' time they would on the wire, ten bits a byte."),
        QStringLiteral("BPS"), QStringLiteral("9600"));
    parser.addOptions({bindOption, portOption, delayOption, dropOption, controllersOption,
                       verboseOption, v3UserOption, v3PassphrasesOption, screensOption, ptyOption,
                       deviceOption, speedOption});
    if (!parser.parse(arguments))
        return refuse("%s", qPrintable(parser.errorText()));
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    // Qt prints this one with its own options added, and exits.
    if (parser.isSet(QStringLiteral("help-all")))
        parser.process(arguments);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty())
        return refuse("unexpected argument '%s' (a port is given with --port)",
                      qPrintable(parser.positionalArguments().constFirst()));

    SimOptions o;
    if (!o.address.setAddress(parser.value(bindOption)))
        return refuse("--bind needs an IPv4 or IPv6 address, not '%s'",
                      qPrintable(parser.value(bindOption)));
    if (!parseInt(parser.value(portOption), 0, 65535, &o.port))
        return refuse("--port needs a number from 0 to 65535, not '%s'",
                      qPrintable(parser.value(portOption)));
    if (!parseInt(parser.value(delayOption), 0, ControllerServer::LongestDelay, &o.delay))
        return refuse("--delay needs milliseconds from 0 to %d, not '%s'",
                      ControllerServer::LongestDelay, qPrintable(parser.value(delayOption)));
    if (!parseInt(parser.value(dropOption), 0, 100, &o.dropPercent))
        return refuse("--drop needs a percentage from 0 to 100, not '%s'",
                      qPrintable(parser.value(dropOption)));
    if (!parseInt(parser.value(controllersOption), 1, ControllerBank::MostControllers,
                  &o.controllers))
        return refuse("--controllers needs a number from 1 to %d, not '%s'",
                      ControllerBank::MostControllers, qPrintable(parser.value(controllersOption)));
    if (o.port != 0 && o.port + o.controllers - 1 > 65535)
        return refuse("%d controllers from port %d would pass port 65535", o.controllers, o.port);
    o.pmppPty = parser.isSet(ptyOption);
    o.pmppDevice = parser.value(deviceOption);
    if (o.pmppPty && !o.pmppDevice.isEmpty())
        return refuse("--pmpp-pty and --pmpp-device name two lines: give one");
    if (!parseInt(parser.value(speedOption), 1200, 115200, &o.lineSpeed))
        return refuse("--line-speed needs bits a second from 1200 to 115200, not '%s'",
                      qPrintable(parser.value(speedOption)));
    if (o.pmppPty || !o.pmppDevice.isEmpty()) {
        if (o.controllers > LineServer::MostStations)
            return refuse("a serial line has at most %d stations, not %d",
                          LineServer::MostStations, o.controllers);
        if (o.delay || o.dropPercent || parser.isSet(v3UserOption))
            return refuse("--delay, --drop and --v3-user are for UDP; a line's faults come "
                          "from a relay on it");
    }
    o.verbose = parser.isSet(verboseOption);
    o.screenLog = parser.value(screensOption);

    if (parser.isSet(v3UserOption)) {
        QByteArray lines;
        if (parser.isSet(v3PassphrasesOption)) {
            const QString path = parser.value(v3PassphrasesOption);
            QFile file(path);
            if (QFileInfo(path).permissions() & (QFile::ReadGroup | QFile::ReadOther))
                return refuse("%s is readable by others: chmod 600 it", qPrintable(path));
            if (!file.open(QIODevice::ReadOnly))
                return refuse("cannot read %s", qPrintable(path));
            lines = file.readAll();
        } else {
            lines = qgetenv("CONTROLLER_SIM_V3_PASSPHRASES");
        }
        QHash<QByteArray, QPair<QByteArray, QByteArray>> passphrases;
        for (QByteArray line : lines.replace(';', '\n').split('\n')) {
            line = line.trimmed();
            const QList<QByteArray> fields = line.split(':');
            if (fields.size() == 3)
                passphrases.insert(fields[0], {fields[1], fields[2]});
        }
        for (const QString &userText : parser.values(v3UserOption)) {
            const QByteArray name = userText.section(QLatin1Char(':'), 0, 0).toUtf8();
            if (!passphrases.contains(name))
                return refuse("no passphrases for v3 user '%s' (NAME:AUTHPASS:PRIVPASS in "
                              "--v3-passphrases or CONTROLLER_SIM_V3_PASSPHRASES)",
                              name.constData());
            V3User user;
            QString error;
            if (!V3User::make(userText, passphrases[name].first, passphrases[name].second, &user,
                              &error))
                return refuse("%s", qPrintable(error));
            o.v3Users.push_back(user);
        }
    }
    *options = o;
    return -1;
}
