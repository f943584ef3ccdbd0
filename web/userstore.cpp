#include "userstore.h"

#include <QFile>
#include <QFileInfo>
#include <QPasswordDigestor>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringList>

#include <unistd.h>

namespace {

constexpr int SaltBytes = 16;
constexpr int HashBytes = 32;

QByteArray derive(const QString &password, const QByteArray &salt, int iterations)
{
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password.toUtf8(), salt,
                                              iterations, HashBytes);
}

// Compares without stopping at the first difference.
bool sameBytes(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (int i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

QByteArray userLine(const User &user)
{
    return user.name.toUtf8() + ':' + UserStore::roleName(user.role).toUtf8() + ':' +
           QByteArray::number(user.iterations) + ':' + user.salt.toBase64() + ':' +
           user.hash.toBase64() + '\n';
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
            return fail(QStringLiteral("expected name:role:iterations:salt:hash"));
        User user;
        user.name = fields[0];
        if (!UserStore::validName(user.name))
            return fail(QStringLiteral("user name \"%1\": 1 to 64 letters, digits, _ . @ or -")
                            .arg(user.name));
        if (!UserStore::parseRole(fields[1], &user.role))
            return fail(QStringLiteral("role \"%1\": viewer or operator").arg(fields[1]));
        bool ok = false;
        user.iterations = fields[2].toInt(&ok);
        if (!ok || user.iterations < 1000)
            return fail(QStringLiteral("iterations must be a number of at least 1000"));
        const auto salt = QByteArray::fromBase64Encoding(fields[3].toLatin1(),
                                                         QByteArray::AbortOnBase64DecodingErrors);
        const auto hash = QByteArray::fromBase64Encoding(fields[4].toLatin1(),
                                                         QByteArray::AbortOnBase64DecodingErrors);
        if (!salt || salt.decoded.size() < 8)
            return fail(QStringLiteral("the salt is not base64 of 8 bytes or more"));
        if (!hash || hash.decoded.size() != HashBytes)
            return fail(QStringLiteral("the hash is not base64 of 32 bytes"));
        user.salt = salt.decoded;
        user.hash = hash.decoded;
        for (const User &other : qAsConst(*out)) {
            if (other.name == user.name)
                return fail(QStringLiteral("user \"%1\" appears twice").arg(user.name));
        }
        out->append(user);
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
    return true;
}

const User *UserStore::check(const QString &name, const QString &password) const
{
    const auto it = users.constFind(name);
    if (it == users.constEnd()) {
        static const QByteArray decoySalt(SaltBytes, 'x');
        derive(password, decoySalt, Iterations);
        return nullptr;
    }
    return sameBytes(derive(password, it->salt, it->iterations), it->hash) ? &*it : nullptr;
}

std::optional<User> UserStore::authenticate(const QString &name, const QString &password,
                                            const QString &) const
{
    const User *user = check(name, password);
    return user ? std::optional<User>(*user) : std::nullopt;
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
    user.iterations = Iterations;
    user.salt.resize(SaltBytes);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(user.salt.data()),
                                          SaltBytes / 4);
    user.hash = derive(password, user.salt, user.iterations);

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("%1: cannot write: %2").arg(path, file.errorString());
        return false;
    }
    // The new file keeps the old one's owner, group and mode, so that a server running as its
    // own user can still read it; a first file is for its owner and group only.
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
    bool replaced = false;
    for (const User &other : qAsConst(list)) {
        if (other.name == name) {
            file.write(userLine(user));
            replaced = true;
        } else {
            file.write(userLine(other));
        }
    }
    if (!replaced)
        file.write(userLine(user));
    if (!file.commit()) {
        *error = QStringLiteral("%1: cannot write: %2").arg(path, file.errorString());
        return false;
    }
    return true;
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
