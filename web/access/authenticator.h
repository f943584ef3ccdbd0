// Who may log in, and with which role: the users file or the system's PAM stack. Both are asked
// from the password thread while the network thread serves pages, and a reload swaps in a new one
// while logins may still use the old: they are shared, never changed once made.
#ifndef AUTHENTICATOR_H
#define AUTHENTICATOR_H

#include "passwordhash.h"

#include <QString>

#include <optional>

enum class Role { Viewer, Operator };

struct User
{
    QString name;
    Role role = Role::Viewer;
    // For the users file: how its password is kept.
    PasswordHash password;
};

class Authenticator
{
public:
    virtual ~Authenticator() = default;
    // The user, with the name to record (a directory may spell it its own way) and role, when
    // the password is right and the account may log in now. From any thread.
    virtual std::optional<User> authenticate(const QString &name, const QString &password,
                                             const QString &address) const = 0;
    // The role the user would get at a login now, or nothing when the user could no longer log
    // in (removed, or in no group). Checked for every session at a reload.
    virtual std::optional<Role> currentRole(const QString &name) const = 0;
};

#endif // AUTHENTICATOR_H
