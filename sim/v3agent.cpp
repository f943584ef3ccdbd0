#include "v3agent.h"

#include "snmpv3message.h"
#include "usmkeys.h"

#include <QRandomGenerator>
#include <QStringList>

#include <cstdlib>
#include <cstring>

namespace {

using SnmpV3::UsmStat;

const char Community[] = "harbor";

// The request id of a PDU, or 0 when it cannot be read.
int32_t requestIdOf(const uint8_t *pdu, int length)
{
    ber::Reader r(pdu, pdu + length);
    uint8_t tag;
    ber::Reader body;
    int32_t id = 0;
    if (!r.readElement(&tag, &body) || !body.readInteger(&id))
        return 0;
    return id;
}

int32_t requestIdOfScoped(const uint8_t *scoped, int length)
{
    const uint8_t *context, *pdu;
    int contextLength, pduLength;
    const char *error;
    if (!SnmpV3::readScopedPdu(scoped, length, &context, &contextLength, &pdu, &pduLength, &error))
        return 0;
    return requestIdOf(pdu, pduLength);
}

} // namespace

bool V3User::make(const QString &userText, const QByteArray &authPassphrase,
                  const QByteArray &privPassphrase, V3User *out, QString *error)
{
    const QStringList parts = userText.split(QLatin1Char(':'));
    if (parts.size() != 3 || parts[0].isEmpty() || parts[0].size() > SnmpV3::MaxUserNameLength) {
        *error = QStringLiteral("--v3-user needs NAME:AUTH:PRIV with a name of 1 to 32 "
                                "characters, not '%1'").arg(userText);
        return false;
    }
    V3User u;
    u.name = parts[0].toUtf8();
    const QString auth = parts[1].toUpper(), priv = parts[2].toUpper();
    if (auth == QLatin1String("MD5") || priv == QLatin1String("DES")) {
        *error = QStringLiteral("--v3-user %1: MD5 and DES are not offered; use SHA-256 or "
                                "stronger, and AES").arg(parts[0]);
        return false;
    }
    if (!UsmKeys::parseAuthProtocol(auth.toLatin1().constData(), &u.auth)) {
        *error = QStringLiteral("--v3-user %1: AUTH is SHA, SHA-224, SHA-256, SHA-384 or SHA-512, "
                                "not '%2'").arg(parts[0], parts[1]);
        return false;
    }
    if (!UsmCrypto::parsePrivProtocol(priv.toLatin1().constData(), &u.priv)) {
        *error = QStringLiteral("--v3-user %1: PRIV is AES, AES-192, AES-256 or none, not '%2'")
                     .arg(parts[0], parts[2]);
        return false;
    }
    uint8_t key[UsmKeys::MaxKeyLength];
    const int length = UsmKeys::keyLength(u.auth);
    auto stretch = [&](const QByteArray &passphrase, QByteArray *ku) {
        if (!UsmKeys::passphraseToKey(u.auth, reinterpret_cast<const uint8_t *>(passphrase.constData()),
                                      size_t(passphrase.size()), key))
            return false;
        *ku = QByteArray(reinterpret_cast<const char *>(key), length);
        return true;
    };
    if (!stretch(authPassphrase, &u.authKu) ||
        (u.priv != PrivProtocol::None && !stretch(privPassphrase, &u.privKu))) {
        *error = QStringLiteral("--v3-user %1: its passphrases must be at least %2 characters")
                     .arg(parts[0])
                     .arg(UsmKeys::MinPassphraseLength);
        return false;
    }
    *out = u;
    return true;
}

bool V3Agent::configure(const QByteArray &id, int32_t engineBoots,
                        const std::vector<V3User> &list, QString *error)
{
    engineId = id;
    boots = engineBoots;
    users.clear();
    salt = QRandomGenerator::system()->generate64();
    const auto *engine = reinterpret_cast<const uint8_t *>(engineId.constData());
    for (const V3User &u : list) {
        auto keyed = std::make_unique<Keyed>();
        keyed->user = u;
        uint8_t authKey[UsmKeys::MaxKeyLength], privLocal[UsmKeys::MaxKeyLength], privKey[32];
        const bool privacy = u.priv != PrivProtocol::None;
        const bool ok =
            UsmKeys::localizeKey(u.auth, reinterpret_cast<const uint8_t *>(u.authKu.constData()),
                                 engine, size_t(engineId.size()), authKey) &&
            (!privacy ||
             (UsmKeys::localizeKey(u.auth, reinterpret_cast<const uint8_t *>(u.privKu.constData()),
                                   engine, size_t(engineId.size()), privLocal) &&
              UsmKeys::privacyKey(u.auth, privLocal, UsmCrypto::privKeyLength(u.priv), privKey))) &&
            keyed->crypto.setKeys(u.auth, authKey, u.priv, privacy ? privKey : nullptr);
        if (!ok) {
            *error = QStringLiteral("v3 user %1: OpenSSL cannot give its algorithms")
                         .arg(QString::fromUtf8(u.name));
            return false;
        }
        users.push_back(std::move(keyed));
    }
    return true;
}

bool V3Agent::isV3(const uint8_t *bytes, int length)
{
    // A peek at the version, not a parse: the V3 reader judges the rest.
    if (length < 5 || bytes[0] != ber::Sequence)
        return false;
    int at = 2;
    if (bytes[1] == 0x81)
        at = 3;
    else if (bytes[1] == 0x82)
        at = 4;
    return length >= at + 3 && bytes[at] == ber::Integer && bytes[at + 1] == 1 && bytes[at + 2] == 3;
}

int V3Agent::handle(const uint8_t *request, int length, uint8_t *reply, int cap, SnmpAgent *agent,
                    int32_t engineTime)
{
    SnmpV3::Message m;
    const char *error = nullptr;
    if (length > int(sizeof sealed) || !SnmpV3::read(request, length, &m, &error))
        return 0;
    const int32_t messageId = m.header.messageId;
    const bool reportable = m.header.flags & SnmpV3::ReportableFlag;
    const int32_t plainRequestId = m.encrypted ? 0 : requestIdOfScoped(m.data, m.dataLength);

    if (m.usm.engineIdLength != engineId.size() ||
        std::memcmp(m.usm.engineId, engineId.constData(), size_t(engineId.size())) != 0) {
        ++counters.unknownEngineIds;
        return reportable ? report(reply, cap, UsmStat::UnknownEngineIds,
                                   counters.unknownEngineIds, messageId, plainRequestId, nullptr,
                                   engineTime)
                          : 0;
    }
    Keyed *user = nullptr;
    for (const auto &u : users) {
        if (u->user.name.size() == m.usm.userNameLength &&
            std::memcmp(u->user.name.constData(), m.usm.userName, size_t(m.usm.userNameLength)) == 0)
            user = u.get();
    }
    if (!user) {
        ++counters.unknownUserNames;
        return reportable ? report(reply, cap, UsmStat::UnknownUserNames,
                                   counters.unknownUserNames, messageId, plainRequestId, nullptr,
                                   engineTime)
                          : 0;
    }
    const bool auth = m.header.flags & SnmpV3::AuthFlag;
    const bool priv = m.header.flags & SnmpV3::PrivFlag;
    const bool userPriv = user->user.priv != PrivProtocol::None;
    if (!auth || priv != userPriv) {
        ++counters.unsupportedSecLevels;
        return reportable ? report(reply, cap, UsmStat::UnsupportedSecLevels,
                                   counters.unsupportedSecLevels, messageId, plainRequestId,
                                   nullptr, engineTime)
                          : 0;
    }
    // The HMAC is checked on a copy: its parameter is zeroed for the computation.
    std::memcpy(sealed, request, size_t(length));
    if (m.usm.authLength != user->crypto.macLength() ||
        !user->crypto.verify(sealed, length, m.authOffset)) {
        ++counters.wrongDigests;
        return reportable ? report(reply, cap, UsmStat::WrongDigests,
                                   counters.wrongDigests, messageId, plainRequestId, nullptr,
                                   engineTime)
                          : 0;
    }
    if (m.usm.engineBoots != boots || std::abs(m.usm.engineTime - engineTime) > TimeWindowSeconds) {
        ++counters.notInTimeWindows;
        // Authenticated, so that the manager may believe the boots and time it carries.
        return report(reply, cap, UsmStat::NotInTimeWindows,
                      counters.notInTimeWindows, messageId, plainRequestId, user, engineTime);
    }
    const uint8_t *scopedPdu = m.data;
    int scopedLength = m.dataLength;
    if (priv) {
        if (m.usm.privLength != SnmpV3::PrivLength || m.dataLength > int(sizeof plain) ||
            !user->crypto.decrypt(m.data, m.dataLength, plain, m.usm.engineBoots,
                                  m.usm.engineTime, m.usm.priv)) {
            ++counters.decryptionErrors;
            return report(reply, cap, UsmStat::DecryptionErrors,
                          counters.decryptionErrors, messageId, 0, nullptr, engineTime);
        }
        scopedPdu = plain;
    }
    const uint8_t *context, *pdu;
    int contextLength, pduLength;
    if (!SnmpV3::readScopedPdu(scopedPdu, scopedLength, &context, &contextLength, &pdu, &pduLength,
                               &error)) {
        if (!priv)
            return 0;
        ++counters.decryptionErrors;
        return report(reply, cap, UsmStat::DecryptionErrors,
                      counters.decryptionErrors, messageId, 0, nullptr, engineTime);
    }

    // The SNMPv1 agent answers the PDU as if it had come with the community.
    const int asked = SnmpV3::writeV1Message(v1, int(sizeof v1),
                                             reinterpret_cast<const uint8_t *>(Community),
                                             int(sizeof Community) - 1, pdu, pduLength);
    if (asked <= 0)
        return 0;
    const int answered = agent->handle(v1, asked, v1Reply, int(sizeof v1Reply));
    const uint8_t *community, *answer;
    int communityLength, answerLength;
    if (answered <= 0 || !SnmpV3::readV1Message(v1Reply, answered, &community, &communityLength,
                                                &answer, &answerLength))
        return 0;
    return respond(reply, cap, answer, answerLength, messageId,
                   m.header.flags & (SnmpV3::AuthFlag | SnmpV3::PrivFlag), user, engineTime);
}
int V3Agent::report(uint8_t *reply, int cap, UsmStat stat, uint64_t count, int32_t messageId,
                    int32_t requestId, Keyed *signer, int32_t engineTime)
{
    uint8_t oid[SnmpV3::UsmStatOidLength];
    const int oidLength = int(sizeof oid);
    SnmpV3::writeUsmStatOid(stat, oid);
    uint8_t pdu[128];
    ber::Writer w(pdu, int(sizeof pdu));
    const uint32_t value = uint32_t(count);
    const int binding = ber::elementSize(oidLength) + ber::elementSize(ber::unsignedSize(value));
    const int list = ber::elementSize(binding);
    const int body = ber::elementSize(ber::integerSize(requestId)) + 2 * ber::elementSize(1) +
                     ber::elementSize(list);
    w.header(ber::Report, body);
    w.integer(requestId);
    w.integer(0);
    w.integer(0);
    w.header(ber::Sequence, list);
    w.header(ber::Sequence, binding);
    w.element(ber::ObjectIdentifier, oid, oidLength);
    w.unsignedValue(ber::Counter32, value);
    if (!w.ok())
        return 0;
    return respond(reply, cap, pdu, w.size(), messageId, signer ? SnmpV3::AuthFlag : 0, signer,
                   engineTime);
}

int V3Agent::respond(uint8_t *reply, int cap, const uint8_t *pdu, int pduLength, int32_t messageId,
                     uint8_t flags, Keyed *user, int32_t engineTime)
{
    const int scopedLength =
        SnmpV3::writeScopedPdu(scoped, int(sizeof scoped), reinterpret_cast<const uint8_t *>(engineId.constData()),
                               int(engineId.size()), pdu, pduLength);
    if (scopedLength <= 0)
        return 0;
    SnmpV3::Header header;
    header.messageId = messageId;
    header.maxSize = 1472;
    header.flags = flags;
    SnmpV3::UsmParameters usm;
    std::memcpy(usm.engineId, engineId.constData(), size_t(engineId.size()));
    usm.engineIdLength = int(engineId.size());
    usm.engineBoots = boots;
    usm.engineTime = engineTime;
    if (user) {
        std::memcpy(usm.userName, user->user.name.constData(), size_t(user->user.name.size()));
        usm.userNameLength = int(user->user.name.size());
    }
    const uint8_t *data = scoped;
    if (flags & SnmpV3::AuthFlag) {
        usm.authLength = user->crypto.macLength();
        std::memset(usm.auth, 0, sizeof usm.auth);
    }
    if (flags & SnmpV3::PrivFlag) {
        ++salt;
        for (int i = 0; i < 8; ++i)
            usm.priv[i] = uint8_t(salt >> (56 - 8 * i));
        usm.privLength = SnmpV3::PrivLength;
        if (!user->crypto.encrypt(scoped, scopedLength, sealed, boots, engineTime, usm.priv))
            return 0;
        data = sealed;
    }
    int authOffset = -1;
    const int length = SnmpV3::write(reply, cap, header, usm, data, scopedLength, &authOffset);
    if (length <= 0)
        return 0;
    if ((flags & SnmpV3::AuthFlag) && !user->crypto.sign(reply, length, authOffset))
        return 0;
    return length;
}
