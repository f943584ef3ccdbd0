#include "userstore.h"

#include "serverlog.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringList>

#include <unistd.h>

namespace {

QByteArray userLine(const User &user)
{
    return user.name.toUtf8() + ':' + UserStore::roleName(user.role).toUtf8() + ':' +
           user.password.parametersText() + ':' + user.password.salt.toBase64() + ':' +
           user.password.hash.toBase64() + '\n';
}

// Reads the users of path in file order; a missing file is no error when allowMissing.
bool readUsers(const QString &path, bool allowMissing, QList<User> *out, QString *error)
{
    QFile file(path);
    if (!file.exists() && allowMissing)
        return true;
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("%1:0: cannot read: %2").arg(path, file.errorString());
        return false;
    }
    int number = 0;
    while (!file.atEnd()) {
        ++number;
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        auto fail = [&](const QString &what) {
            *error = QStringLiteral("%1:%2: %3").arg(path).arg(number).arg(what);
            return false;
        };
        const QStringList fields = line.split(QLatin1Char(':'));
        if (fields.size() != 5)
            return fail(QStringLiteral("expected name:role:parameters:salt:hash"));
        User user;
        user.name = fields[0];
        if (!UserStore::validName(user.name))
            return fail(QStringLiteral("user name \"%1\": 1 to 64 letters, digits, _ . @ or -")
                            .arg(user.name));
        if (!UserStore::parseRole(fields[1], &user.role))
            return fail(QStringLiteral("role \"%1\": viewer or operator").arg(fields[1]));
        QString wrong;
        if (!user.password.parseParameters(fields[2], &wrong))
            return fail(wrong);
        const auto salt = QByteArray::fromBase64Encoding(fields[3].toLatin1(),
                                                         QByteArray::AbortOnBase64DecodingErrors);
        const auto hash = QByteArray::fromBase64Encoding(fields[4].toLatin1(),
                                                         QByteArray::AbortOnBase64DecodingErrors);
        if (!salt || salt.decoded.size() < 8)
            return fail(QStringLiteral("the salt is not base64 of 8 bytes or more"));
        if (!hash || hash.decoded.size() != PasswordHash::HashBytes)
            return fail(QStringLiteral("the hash is not base64 of 32 bytes"));
        user.password.salt = salt.decoded;
        user.password.hash = hash.decoded;
        for (const User &other : qAsConst(*out)) {
            if (other.name == user.name)
                return fail(QStringLiteral("user \"%1\" appears twice").arg(user.name));
        }
        out->append(user);
    }
    return true;
}

// Replaces the file with list as a whole. The new file keeps the old one's owner, group and mode,
// so that a server running as its own user can still read it; a first file is for its owner
// and group only.
bool writeUsers(const QString &path, const QList<User> &list, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("%1: cannot write: %2").arg(path, file.errorString());
        return false;
    }
    const QFileInfo old(path);
    if (old.exists()) {
        file.setPermissions(old.permissions());
        if (::fchown(file.handle(), old.ownerId(), old.groupId()) != 0) {
            // Only root may give a file away; anyone else keeps it as their own.
        }
    } else {
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                            QFileDevice::ReadGroup);
    }
    for (const User &user : list)
        file.write(userLine(user));
    if (!file.commit()) {
        *error = QStringLiteral("%1: cannot write: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace

bool UserStore::load(const QString &path, QString *error)
{
    QList<User> list;
    if (!readUsers(path, false, &list, error))
        return false;
    if (list.isEmpty()) {
        *error = QStringLiteral("%1:0: no users; add one with --add-user NAME --role operator")
                     .arg(path);
        return false;
    }
    users.clear();
    for (const User &user : qAsConst(list))
        users.insert(user.name, user);
    this->path = path;
    return true;
}

std::optional<User> UserStore::check(const QString &name, const QString &password) const
{
    std::optional<User> found;
    {
        std::lock_guard<std::mutex> lock(upgradeLock);
        auto it = upgraded.constFind(name);
        if (it != upgraded.constEnd())
            found = *it;
    }
    if (!found) {
        const auto it = users.constFind(name);
        if (it != users.constEnd())
            found = *it;
    }
    if (!found) {
        // The same work as for a user, so that the time taken does not tell the names apart.
        static const PasswordHash decoy = PasswordHash::make(QStringLiteral("decoy"));
        decoy.matches(password);
        return std::nullopt;
    }
    if (!found->password.matches(password))
        return std::nullopt;
    if (!found->password.isCurrent()) {
        std::lock_guard<std::mutex> lock(upgradeLock);
        // Tried once a run: the login goes on with the old hash, which still holds.
        if (!notUpgraded.contains(name)) {
            User better = *found;
            better.password = PasswordHash::make(password);
            QString error;
            if (better.password.hash.isEmpty() || !rewrite(*found, better, &error)) {
                notUpgraded.insert(name);
                serverLog(LogLevel::Warning,
                          "the password of user %s is kept as an older kind of hash and could "
                          "not be made Argon2id: %s",
                          qPrintable(name), qPrintable(error));
            } else {
                upgraded.insert(name, better);
                serverLog(LogLevel::Notice, "the password of user %s is now kept as Argon2id",
                          qPrintable(name));
            }
        }
    }
    return found;
}

bool UserStore::rewrite(const User &old, const User &better, QString *error) const
{
    if (path.isEmpty()) {
        *error = QStringLiteral("no users file");
        return false;
    }
    QList<User> list;
    if (!readUsers(path, false, &list, error))
        return false;
    bool replaced = false;
    for (User &user : list) {
        if (user.name == old.name && user.password.hash == old.password.hash &&
            user.password.salt == old.password.salt) {
            user.password = better.password;
            replaced = true;
        }
    }
    if (!replaced) {
        *error = QStringLiteral("the user's line in %1 has changed since it was read").arg(path);
        return false;
    }
    return writeUsers(path, list, error);
}

std::optional<User> UserStore::authenticate(const QString &name, const QString &password,
                                            const QString &) const
{
    return check(name, password);
}

std::optional<Role> UserStore::currentRole(const QString &name) const
{
    const auto it = users.constFind(name);
    return it == users.constEnd() ? std::nullopt : std::optional<Role>(it->role);
}

bool UserStore::addUser(const QString &path, const QString &name, Role role,
                        const QString &password, QString *error)
{
    if (!validName(name)) {
        *error = QStringLiteral("user name \"%1\": 1 to 64 letters, digits, _ . @ or -").arg(name);
        return false;
    }
    if (password.isEmpty()) {
        *error = QStringLiteral("an empty password is not accepted");
        return false;
    }
    QList<User> list;
    if (!readUsers(path, true, &list, error))
        return false;
    User user;
    user.name = name;
    user.role = role;
    user.password = PasswordHash::make(password);
    if (user.password.hash.isEmpty()) {
        *error = QStringLiteral("the password could not be hashed (out of memory?)");
        return false;
    }
    bool replaced = false;
    for (User &other : list) {
        if (other.name == name) {
            other = user;
            replaced = true;
        }
    }
    if (!replaced)
        list.append(user);
    return writeUsers(path, list, error);
}

bool UserStore::parseRole(const QString &text, Role *role)
{
    if (text == QLatin1String("viewer"))
        *role = Role::Viewer;
    else if (text == QLatin1String("operator"))
        *role = Role::Operator;
    else
        return false;
    return true;
}

QString UserStore::roleName(Role role)
{
    return role == Role::Operator ? QStringLiteral("operator") : QStringLiteral("viewer");
}

bool UserStore::validName(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9_.@-]{1,64}$"));
    return pattern.match(name).hasMatch();
}
