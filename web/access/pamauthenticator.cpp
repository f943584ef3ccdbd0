#include "pamauthenticator.h"

#include "serverlog.h"

#include <security/pam_appl.h>

#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <vector>

namespace {

struct Conversation
{
    const QByteArray *name;
    const QByteArray *password;
};

// Answers PAM's prompts: the password to a hidden prompt, the name to a visible one; messages
// for a person at a terminal are passed over. PAM frees what is handed back.
int converse(int count, const struct pam_message **messages, struct pam_response **responses,
             void *data)
{
    if (count <= 0 || count > PAM_MAX_NUM_MSG)
        return PAM_CONV_ERR;
    const auto *conversation = static_cast<const Conversation *>(data);
    auto *answers = static_cast<pam_response *>(std::calloc(size_t(count), sizeof(pam_response)));
    if (!answers)
        return PAM_BUF_ERR;
    for (int i = 0; i < count; ++i) {
        const QByteArray *text = nullptr;
        if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF)
            text = conversation->password;
        else if (messages[i]->msg_style == PAM_PROMPT_ECHO_ON)
            text = conversation->name;
        if (text && !(answers[i].resp = strdup(text->constData()))) {
            for (int j = 0; j < i; ++j) {
                if (answers[j].resp) {
                    explicit_bzero(answers[j].resp, std::strlen(answers[j].resp));
                    std::free(answers[j].resp);
                }
            }
            std::free(answers);
            return PAM_BUF_ERR;
        }
    }
    *responses = answers;
    return PAM_SUCCESS;
}

// Our own throttle brakes guessing; PAM's delay after a failure would only hold the password
// thread while other logins wait.
void noDelay(int, unsigned, void *) {}

// The numeric id of a group, or false when there is no such group.
bool groupId(const QByteArray &name, gid_t *gid)
{
    group entry;
    group *found = nullptr;
    std::vector<char> buffer(16384);
    while (getgrnam_r(name.constData(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 22))
        buffer.resize(buffer.size() * 2);
    if (!found)
        return false;
    *gid = found->gr_gid;
    return true;
}

} // namespace

PamAuthenticator::PamAuthenticator(const QString &operatorGroup, const QString &viewerGroup)
    : operatorGroup(operatorGroup.toUtf8()), viewerGroup(viewerGroup.toUtf8())
{
}

std::optional<User> PamAuthenticator::authenticate(const QString &name, const QString &password,
                                                   const QString &address) const
{
    const QByteArray nameBytes = name.toUtf8();
    QByteArray passwordBytes = password.toUtf8();
    // A name with a NUL in it would be cut short in C strings and mean someone else.
    if (nameBytes.isEmpty() || nameBytes.contains('\0') || passwordBytes.contains('\0'))
        return std::nullopt;
    Conversation conversation{&nameBytes, &passwordBytes};
    const pam_conv conv{converse, &conversation};
    pam_handle_t *handle = nullptr;
    int result = pam_start(Service, nameBytes.constData(), &conv, &handle);
    if (result != PAM_SUCCESS) {
        serverLog(LogLevel::Error, "PAM cannot start the %s service", Service);
        return std::nullopt;
    }
    const QByteArray remote = address.toUtf8();
    pam_set_item(handle, PAM_RHOST, remote.constData());
    pam_set_item(handle, PAM_FAIL_DELAY, reinterpret_cast<const void *>(&noDelay));
    result = pam_authenticate(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (result == PAM_SUCCESS) {
        result = pam_acct_mgmt(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
        // An expired password cannot be changed from a login form: the account is refused
        // until it is changed where the directory allows it.
        if (result != PAM_SUCCESS)
            serverLog(LogLevel::Notice, "PAM refused the account of a login from %s: %s",
                      qPrintable(address), pam_strerror(handle, result));
    }
    // A module may give the user the directory's own spelling of the name.
    QString canonical = name;
    const void *item = nullptr;
    if (result == PAM_SUCCESS && pam_get_item(handle, PAM_USER, &item) == PAM_SUCCESS && item)
        canonical = QString::fromUtf8(static_cast<const char *>(item));
    pam_end(handle, result);
    explicit_bzero(passwordBytes.data(), size_t(passwordBytes.size()));
    if (result != PAM_SUCCESS)
        return std::nullopt;
    const std::optional<Role> role = currentRole(canonical);
    if (!role) {
        serverLog(LogLevel::Notice, "login of %s refused: in neither %s nor %s",
                  qPrintable(canonical), operatorGroup.constData(), viewerGroup.constData());
        return std::nullopt;
    }
    User user;
    user.name = canonical;
    user.role = *role;
    return user;
}

std::optional<Role> PamAuthenticator::currentRole(const QString &name) const
{
    const QByteArray nameBytes = name.toUtf8();
    passwd entry;
    passwd *found = nullptr;
    std::vector<char> buffer(16384);
    while (getpwnam_r(nameBytes.constData(), &entry, buffer.data(), buffer.size(), &found) ==
               ERANGE &&
           buffer.size() < (1u << 22))
        buffer.resize(buffer.size() * 2);
    if (!found)
        return std::nullopt;
    // getgrouplist says how many there are when the array is too small.
    std::vector<gid_t> groups(64);
    int count = int(groups.size());
    while (getgrouplist(nameBytes.constData(), found->pw_gid, groups.data(), &count) < 0 &&
           count > int(groups.size()) && count < 65536) {
        groups.resize(size_t(count));
        count = int(groups.size());
    }
    groups.resize(size_t(std::max(count, 0)));
    auto member = [&](const QByteArray &groupName) {
        gid_t gid;
        if (!groupId(groupName, &gid))
            return false;
        for (gid_t g : groups) {
            if (g == gid)
                return true;
        }
        return false;
    };
    if (member(operatorGroup))
        return Role::Operator;
    if (member(viewerGroup))
        return Role::Viewer;
    return std::nullopt;
}
