#include "v3link.h"

#include "ber.h"
#include "snmpv3message.h"

#include <QRandomGenerator>

#include <cstring>

namespace {

// A GetRequest with no bindings: what a discovery probe carries. Request id, error status and
// error index are all 0; the binding list is empty.
const uint8_t ProbePdu[] = {ber::GetRequest, 11,
                            ber::Integer, 1, 0,
                            ber::Integer, 1, 0,
                            ber::Integer, 1, 0,
                            ber::Sequence, 0};

} // namespace

V3Link::V3Link(const V3LinkConfig &config)
    : config(config), messageId(int32_t(QRandomGenerator::system()->bounded(1 << 30))),
      salt(QRandomGenerator::system()->generate64())
{
    for (int32_t &id : recentIds)
        id = -1;
}

int32_t V3Link::engineTimeAt(int64_t nowMs) const
{
    return time + int32_t((nowMs - timeLearnedMs) / 1000);
}

bool V3Link::localise()
{
    uint8_t authKey[UsmKeys::MaxKeyLength], privLocal[UsmKeys::MaxKeyLength], privKey[32];
    const int length = UsmKeys::keyLength(config.auth);
    if (config.authKu.size() != length ||
        (config.priv != PrivProtocol::None && config.privKu.size() != length))
        return false;
    const bool privacy = config.priv != PrivProtocol::None;
    keysReady = UsmKeys::localizeKey(config.auth,
                                     reinterpret_cast<const uint8_t *>(config.authKu.constData()),
                                     engineId, size_t(engineIdLength), authKey) &&
                (!privacy ||
                 (UsmKeys::localizeKey(config.auth,
                                       reinterpret_cast<const uint8_t *>(config.privKu.constData()),
                                       engineId, size_t(engineIdLength), privLocal) &&
                  UsmKeys::privacyKey(config.auth, privLocal, UsmCrypto::privKeyLength(config.priv),
                                      privKey))) &&
                crypto.setKeys(config.auth, authKey, config.priv, privacy ? privKey : nullptr);
    return keysReady;
}

int V3Link::wrap(const uint8_t *v1Message, int v1Length, uint8_t *out, int cap, int64_t nowMs,
                 bool *probe, Scratch *scratch)
{
    uint8_t *scoped = scratch->scoped;
    uint8_t *sealed = scratch->sealed;
    SnmpV3::Header header;
    header.messageId = messageId = (messageId + 1) & 0x7FFFFFFF;
    header.maxSize = 1472;
    SnmpV3::UsmParameters usm;
    *probe = !discovered();
    if (*probe) {
        header.flags = SnmpV3::ReportableFlag;
        const int n =
            SnmpV3::writeScopedPdu(scoped, MessageSize, nullptr, 0, ProbePdu, int(sizeof ProbePdu));
        sentMessageId = header.messageId;
        return SnmpV3::write(out, cap, header, usm, scoped, n, nullptr);
    }
    if (!keysReady && !localise())
        return 0;
    // The PDU goes out; the community is kept for the SNMPv1 reply unwrap() writes.
    const uint8_t *v1Community, *pdu;
    int v1CommunityLength, pduLength;
    if (!SnmpV3::readV1Message(v1Message, v1Length, &v1Community, &v1CommunityLength, &pdu,
                               &pduLength) ||
        v1CommunityLength > int(sizeof community))
        return 0;
    std::memcpy(community, v1Community, size_t(v1CommunityLength));
    communityLength = v1CommunityLength;
    const int scopedLength =
        SnmpV3::writeScopedPdu(scoped, MessageSize, engineId, engineIdLength, pdu, pduLength);
    if (scopedLength <= 0)
        return 0;
    const bool privacy = config.priv != PrivProtocol::None;
    header.flags = SnmpV3::AuthFlag | SnmpV3::ReportableFlag | (privacy ? SnmpV3::PrivFlag : 0);
    std::memcpy(usm.engineId, engineId, size_t(engineIdLength));
    usm.engineIdLength = engineIdLength;
    usm.engineBoots = boots;
    usm.engineTime = engineTimeAt(nowMs);
    std::memcpy(usm.userName, config.user.constData(), size_t(config.user.size()));
    usm.userNameLength = int(config.user.size());
    usm.authLength = crypto.macLength();
    std::memset(usm.auth, 0, sizeof usm.auth);
    const uint8_t *data = scoped;
    if (privacy) {
        ++salt;
        for (int i = 0; i < 8; ++i)
            usm.priv[i] = uint8_t(salt >> (56 - 8 * i));
        usm.privLength = SnmpV3::PrivLength;
        if (!crypto.encrypt(scoped, scopedLength, sealed, usm.engineBoots, usm.engineTime,
                            usm.priv))
            return 0;
        data = sealed;
    }
    int authOffset = -1;
    const int length = SnmpV3::write(out, cap, header, usm, data, scopedLength, &authOffset);
    if (length <= 0 || !crypto.sign(out, length, authOffset))
        return 0;
    sentMessageId = header.messageId;
    recentIds[recentNext] = header.messageId;
    recentNext = (recentNext + 1) % RecentMessages;
    return length;
}

V3Link::Outcome V3Link::unwrap(const uint8_t *in, int length, uint8_t *v1Out, int cap,
                               int *v1Length, int64_t nowMs, const char **words, Scratch *scratch)
{
    uint8_t *scoped = scratch->scoped;
    uint8_t *sealed = scratch->sealed;
    auto refuse = [&](const char *why) {
        *words = why;
        return Outcome::Refused;
    };
    SnmpV3::Message m;
    const char *error = nullptr;
    if (length > MessageSize || !SnmpV3::read(in, length, &m, &error))
        return refuse(error ? error : "reply too long");
    const bool latest = m.header.messageId == sentMessageId;
    bool recent = latest;
    for (int32_t id : recentIds)
        recent = recent || (id >= 0 && id == m.header.messageId);
    if (!recent)
        return refuse("message id does not match the request");
    const bool authenticated = m.header.flags & SnmpV3::AuthFlag;
    if (authenticated) {
        if (!keysReady || m.usm.engineIdLength != engineIdLength ||
            std::memcmp(m.usm.engineId, engineId, size_t(engineIdLength)) != 0)
            return refuse("reply from another engine");
        // The HMAC is checked on a copy: its parameter is zeroed for the computation.
        std::memcpy(sealed, in, size_t(length));
        if (m.usm.authLength != crypto.macLength() || !crypto.verify(sealed, length, m.authOffset))
            return refuse("reply failed authentication");
        // RFC 3414 3.2 (7b): an authentic message moves the clock on, never back.
        if (m.usm.engineBoots > boots ||
            (m.usm.engineBoots == boots && m.usm.engineTime > engineTimeAt(nowMs))) {
            boots = m.usm.engineBoots;
            time = m.usm.engineTime;
            timeLearnedMs = nowMs;
        }
    }
    const uint8_t *scopedPdu = m.data;
    if (m.encrypted) {
        if (!authenticated || m.dataLength > MessageSize ||
            m.usm.privLength != SnmpV3::PrivLength ||
            !crypto.decrypt(m.data, m.dataLength, scoped, m.usm.engineBoots, m.usm.engineTime,
                            m.usm.priv))
            return refuse("decryption failed");
        scopedPdu = scoped;
    }
    const uint8_t *context, *pdu;
    int contextLength, pduLength;
    if (!SnmpV3::readScopedPdu(scopedPdu, m.dataLength, &context, &contextLength, &pdu, &pduLength,
                               &error))
        return refuse(m.encrypted ? "decryption failed" : error);

    if (pdu[0] == ber::Report) {
        if (!latest)
            return refuse("a report for an earlier request");
        using SnmpV3::UsmStat;
        switch (SnmpV3::reportedStat(pdu, pduLength)) {
        case UsmStat::UnknownEngineIds:
            // The answer to discovery: the engine id, boots and time to use from now on.
            if (m.usm.engineIdLength < 1)
                return refuse("report without an engine id");
            if (m.usm.engineIdLength != engineIdLength ||
                std::memcmp(m.usm.engineId, engineId, size_t(engineIdLength)) != 0) {
                std::memcpy(engineId, m.usm.engineId, size_t(m.usm.engineIdLength));
                engineIdLength = m.usm.engineIdLength;
                keysReady = false;
            }
            boots = m.usm.engineBoots;
            time = m.usm.engineTime;
            timeLearnedMs = nowMs;
            *words = "unknown engine id: discovering";
            return Outcome::Resynchronised;
        case UsmStat::NotInTimeWindows:
            // Only an authentic report may set the clock; its time was taken in above.
            if (!authenticated)
                return refuse("not in time window");
            boots = m.usm.engineBoots;
            time = m.usm.engineTime;
            timeLearnedMs = nowMs;
            *words = "not in time window: resynchronising";
            return Outcome::Resynchronised;
        case UsmStat::UnknownUserNames:
            return refuse("unknown user");
        case UsmStat::WrongDigests:
            return refuse("wrong password or key");
        case UsmStat::DecryptionErrors:
            return refuse("decryption failed");
        case UsmStat::UnsupportedSecLevels:
            return refuse("security level not supported");
        case UsmStat::None:
            break;
        }
        return refuse("a report from the controller");
    }
    if (!authenticated)
        return refuse("reply not authenticated");
    // The same PDU as an SNMPv1 message, for the link rules to read as any other reply.
    *v1Length = SnmpV3::writeV1Message(v1Out, cap, reinterpret_cast<const uint8_t *>(community),
                                       communityLength, pdu, pduLength);
    if (*v1Length <= 0)
        return refuse("reply too long");
    return Outcome::Reply;
}
