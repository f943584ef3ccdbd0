#include "v3config.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QPair>

// QSettings hands back a list for an unquoted value with commas: joined again here.
QString settingText(const QSettings &settings, const QString &key)
{
    const QVariant value = settings.value(key);
    if (value.userType() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", "));
    return value.toString().trimmed();
}

// A controller's SNMPv3 settings. MD5, DES and noAuthNoPriv are refused by name: they would
// leave the keys of a field controller to anyone on the path.
bool readV3(const QSettings &settings, const QString &prefix, ControllerConfig *c,
            const ConfigFault &fail)
{
    const QString version = settings.contains(prefix + QLatin1String("version"))
                                ? settingText(settings, prefix + QLatin1String("version"))
                                : QStringLiteral("1");
    if (version != QLatin1String("1") && version != QLatin1String("3"))
        return fail(prefix + QLatin1String("version"),
                    QStringLiteral("version must be 1 or 3, not \"%1\"").arg(version));
    c->version = version.toInt();
    const QStringList v3Keys = {QStringLiteral("user"), QStringLiteral("auth"),
                                QStringLiteral("priv"), QStringLiteral("security")};
    if (c->version == 1) {
        for (const QString &key : v3Keys) {
            if (settings.contains(prefix + key))
                return fail(prefix + key, QStringLiteral("%1 is for version = 3").arg(key));
        }
        return true;
    }
    c->user = settingText(settings, prefix + QLatin1String("user")).toUtf8();
    if (c->user.isEmpty() || c->user.size() > 32 || c->user.contains(':'))
        return fail(prefix + QLatin1String(settings.contains(prefix + QLatin1String("user"))
                                               ? "user"
                                               : "version"),
                    QStringLiteral("version = 3 needs a user of 1 to 32 characters, without :"));
    const QString auth = settings.contains(prefix + QLatin1String("auth"))
                             ? settingText(settings, prefix + QLatin1String("auth")).toUpper()
                             : QStringLiteral("SHA-256");
    if (auth == QLatin1String("MD5"))
        return fail(prefix + QLatin1String("auth"),
                    QStringLiteral("MD5 is refused: use SHA-256 or stronger"));
    if (!UsmKeys::parseAuthProtocol(auth.toLatin1().constData(), &c->auth))
        return fail(prefix + QLatin1String("auth"),
                    QStringLiteral("auth must be SHA, SHA-224, SHA-256, SHA-384 or SHA-512, not "
                                   "\"%1\"")
                        .arg(auth));
    const QString security = settings.contains(prefix + QLatin1String("security"))
                                 ? settingText(settings, prefix + QLatin1String("security"))
                                 : QStringLiteral("authPriv");
    if (security == QLatin1String("noAuthNoPriv"))
        return fail(prefix + QLatin1String("security"),
                    QStringLiteral("noAuthNoPriv is refused: keys would go unauthenticated"));
    if (security != QLatin1String("authPriv") && security != QLatin1String("authNoPriv"))
        return fail(
            prefix + QLatin1String("security"),
            QStringLiteral("security must be authPriv or authNoPriv, not \"%1\"").arg(security));
    const QString priv = settings.contains(prefix + QLatin1String("priv"))
                             ? settingText(settings, prefix + QLatin1String("priv")).toUpper()
                             : QStringLiteral("AES");
    if (priv == QLatin1String("DES"))
        return fail(prefix + QLatin1String("priv"), QStringLiteral("DES is refused: use AES"));
    // authNoPriv is said by security; priv names a cipher.
    if (security == QLatin1String("authNoPriv"))
        c->priv = PrivProtocol::None;
    else if (!UsmCrypto::parsePrivProtocol(priv.toLatin1().constData(), &c->priv) ||
             c->priv == PrivProtocol::None)
        return fail(prefix + QLatin1String("priv"),
                    QStringLiteral("priv must be AES, AES-192 or AES-256, not \"%1\"").arg(priv));
    return true;
}

bool loadV3Secrets(WebConfig *config, QString *error)
{
    bool any = false;
    for (const ControllerConfig &c : qAsConst(config->controllers))
        any = any || c.version == 3;
    if (!any)
        return true;
    const QString &path = config->v3Secrets;
    const QFileInfo info(path);
    if (!info.exists()) {
        *error = QStringLiteral("%1:0: cannot read the SNMPv3 secrets").arg(path);
        return false;
    }
    if (info.permissions() &
        (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther)) {
        *error = QStringLiteral("%1:0: the SNMPv3 secrets may be read by group or others: chmod "
                                "600 it")
                     .arg(path);
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1:0: cannot read the SNMPv3 secrets").arg(path);
        return false;
    }
    QHash<QByteArray, QPair<QByteArray, QByteArray>> secrets;
    int number = 0;
    while (!file.atEnd()) {
        ++number;
        const QByteArray line = file.readLine().trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> fields = line.split(':');
        // The line is never quoted back: it holds passphrases.
        if (fields.size() != 3 || fields[0].isEmpty()) {
            *error = QStringLiteral("%1:%2: expected NAME:AUTHPASS:PRIVPASS").arg(path).arg(number);
            return false;
        }
        secrets.insert(fields[0], {fields[1], fields[2]});
    }
    for (ControllerConfig &c : config->controllers) {
        if (c.version != 3)
            continue;
        const auto it = secrets.constFind(c.user);
        if (it == secrets.constEnd()) {
            *error = QStringLiteral("%1:0: no passphrases for the SNMPv3 user \"%2\" of [%3]")
                         .arg(path, QString::fromUtf8(c.user), c.id);
            return false;
        }
        if (it->first.size() < UsmKeys::MinPassphraseLength ||
            (c.priv != PrivProtocol::None && it->second.size() < UsmKeys::MinPassphraseLength)) {
            *error = QStringLiteral("%1:0: the passphrases of the SNMPv3 user \"%2\" must be at "
                                    "least %3 characters")
                         .arg(path, QString::fromUtf8(c.user))
                         .arg(UsmKeys::MinPassphraseLength);
            return false;
        }
        c.authPassphrase = it->first;
        c.privPassphrase = it->second;
    }
    return true;
}
