// Logins through the system's PAM stack (the service file /etc/pam.d/frontpanel-web), so that
// directory accounts (LDAP, Active Directory through sssd) and local ones work as the city's IT
// has set them up; the role comes from membership of two groups.
#ifndef PAMAUTHENTICATOR_H
#define PAMAUTHENTICATOR_H

#include "authenticator.h"

#include <QString>

class PamAuthenticator : public Authenticator
{
public:
    static constexpr char Service[] = "frontpanel-web";

    PamAuthenticator(const QString &operatorGroup, const QString &viewerGroup);

    // PAM's auth and account stages; then the role from the groups. Each call has its own PAM
    // handle, so calls from several threads do not meet.
    std::optional<User> authenticate(const QString &name, const QString &password,
                                     const QString &address) const override;
    std::optional<Role> currentRole(const QString &name) const override;

private:
    QByteArray operatorGroup, viewerGroup;
};

#endif // PAMAUTHENTICATOR_H
