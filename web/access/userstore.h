// The users file: one line per user, "name:role:parameters:salt:hash", salt and hash in base64.
// Passwords are kept only as hashes with a salt of their own: Argon2id, or PBKDF2-SHA256 in a
// file written before, which the user's next login replaces with Argon2id.
#ifndef USERSTORE_H
#define USERSTORE_H

#include "authenticator.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>

#include <mutex>

class UserStore : public Authenticator
{
public:
    // Replaces the store with the file's users; on failure "path:line: what" and the store is
    // left as it was. A missing file is an error: a server nobody can log in to is no use.
    bool load(const QString &path, QString *error);
    // The user whose password this is, or nothing. An unknown name costs the same work as a
    // known one, so the time taken does not tell which names exist. A right password kept as an
    // old kind of hash is hashed again as Argon2id, and the file's line for it replaced.
    std::optional<User> check(const QString &name, const QString &password) const;
    int count() const { return users.size(); }

    std::optional<User> authenticate(const QString &name, const QString &password,
                                     const QString &address) const override;
    std::optional<Role> currentRole(const QString &name) const override;

    // Adds the user to the file, or gives an existing one a new role and password; the file is
    // replaced as a whole and readable by its owner only.
    static bool addUser(const QString &path, const QString &name, Role role,
                        const QString &password, QString *error);

    static bool parseRole(const QString &text, Role *role);
    static QString roleName(Role role);
    static bool validName(const QString &name);

private:
    // Replaces old's line in the file with better, unless the line no longer holds the hash
    // that was checked (the user was changed meanwhile).
    bool rewrite(const User &old, const User &better, QString *error) const;

    QString path;
    QHash<QString, User> users;
    // Logins run on the password threads while the store is shared: what they upgraded is kept
    // here, under the lock, so that the next login does not do it again.
    mutable std::mutex upgradeLock;
    mutable QHash<QString, User> upgraded;
    mutable QSet<QString> notUpgraded;
};

#endif // USERSTORE_H
