// The users file: one line per user, "name:role:iterations:salt:hash", salt and hash in base64.
// Passwords are kept only as PBKDF2-SHA256 with a salt of their own.
#ifndef USERSTORE_H
#define USERSTORE_H

#include "authenticator.h"

#include <QByteArray>
#include <QHash>
#include <QString>

class UserStore : public Authenticator
{
public:
    // About 50 ms per check on this class of machine: slow for a guesser, unnoticed at login.
    static constexpr int Iterations = 20000;

    // Replaces the store with the file's users; on failure "path:line: what" and the store is
    // left as it was. A missing file is an error: a server nobody can log in to is no use.
    bool load(const QString &path, QString *error);
    // The user whose password this is, or null. An unknown name costs the same work as a known
    // one, so the time taken does not tell which names exist.
    const User *check(const QString &name, const QString &password) const;
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
    QHash<QString, User> users;
};

#endif // USERSTORE_H
