// The device cookie: after a login, the browser is given a note signed by the server that says
// "this browser has logged in as this user before". It lets the user's own browsers past the
// brake on guesses at that user from everywhere, which a stranger spreading guesses over many
// addresses cannot get past. The note holds no secret and grants no session.
#ifndef DEVICEKEY_H
#define DEVICEKEY_H

#include <QByteArray>
#include <QString>

class DeviceKey
{
public:
    static constexpr char CookieName[] = "fpdevice";
    // A browser is known for half a year after its last login.
    static constexpr qint64 LifetimeMs = 183LL * 24 * 60 * 60 * 1000;
    static constexpr int KeyBytes = 32;

    // A key of its own, in memory: notes from before a restart are not recognised.
    DeviceKey();
    // The key kept in path (created, readable by its owner only, when missing), so that notes
    // outlive a restart; false, with error, when the file cannot be read or made or is not a
    // key. The key in memory stays then.
    bool load(const QString &path, QString *error);

    // The cookie's value for user, signed, as of nowMs (wall-clock milliseconds).
    QByteArray issue(const QString &user, qint64 nowMs) const;
    // Whether value is a note this key signed for user within the lifetime.
    bool vouchesFor(const QByteArray &value, const QString &user, qint64 nowMs) const;

private:
    QByteArray sign(const QByteArray &text) const;

    QByteArray key;
};

#endif // DEVICEKEY_H
