// The simulated controller's SNMPv3 side: USM users with their own keys, the controller's own
// engine id, boots and time, and the Reports of RFC 3414 (unknown engine id, unknown user, wrong
// digest, not in time window, decryption error, unsupported security level). A request that
// passes is handed to the SNMPv1 agent as its PDU, and the agent's answer goes back in a v3
// message at the request's security level.
#ifndef SIM_V3AGENT_H
#define SIM_V3AGENT_H

#include "snmpagent.h"
#include "snmpv3message.h"
#include "usmcrypto.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

// A user as the command line gives it, its passphrases already stretched into keys (Ku): that
// takes a 1 MiB hash each, done once however many controllers share the user.
struct V3User
{
    QByteArray name;
    AuthProtocol auth = AuthProtocol::Sha256;
    PrivProtocol priv = PrivProtocol::Aes128;
    QByteArray authKu;
    QByteArray privKu;

    // "NAME:AUTH:PRIV" (AUTH: SHA, SHA-224, SHA-256, SHA-384 or SHA-512; PRIV: AES, AES-192,
    // AES-256 or none) with its two passphrases. False, with error, for anything else; MD5 and
    // DES are refused by name.
    static bool make(const QString &userText, const QByteArray &authPassphrase,
                     const QByteArray &privPassphrase, V3User *out, QString *error);
};

struct V3Counters
{
    uint64_t unknownEngineIds = 0;
    uint64_t unknownUserNames = 0;
    uint64_t wrongDigests = 0;
    uint64_t notInTimeWindows = 0;
    uint64_t decryptionErrors = 0;
    uint64_t unsupportedSecLevels = 0;
};

class V3Agent
{
public:
    // RFC 3414 3.2 (7): a message more than this many seconds off the engine's time is refused.
    static constexpr int TimeWindowSeconds = 150;

    // Keys are localised to engineId here, once. False, with error, when OpenSSL cannot give a
    // protocol.
    bool configure(const QByteArray &engineId, int32_t boots, const std::vector<V3User> &users,
                   QString *error);
    bool enabled() const { return !users.empty(); }

    // Whether the datagram says it is SNMPv3 (its version field), however well formed the rest.
    static bool isV3(const uint8_t *bytes, int length);

    // One v3 request in; the reply written into reply (cap bytes) and its length, or 0 for none.
    // engineTime: seconds since the engine last booted.
    int handle(const uint8_t *request, int length, uint8_t *reply, int cap, SnmpAgent *agent,
               int32_t engineTime);

    V3Counters counters;

private:
    struct Keyed
    {
        V3User user;
        UsmCrypto crypto;
    };

    int report(uint8_t *reply, int cap, SnmpV3::UsmStat stat, uint64_t count, int32_t messageId,
               int32_t requestId, Keyed *signer, int32_t engineTime);
    int respond(uint8_t *reply, int cap, const uint8_t *pdu, int pduLength, int32_t messageId,
                uint8_t flags, Keyed *user, int32_t engineTime);

    QByteArray engineId;
    int32_t boots = 1;
    std::vector<std::unique_ptr<Keyed>> users;
    uint64_t salt = 0;
    // Room for one message's plaintext and the SNMPv1 exchange with the agent.
    uint8_t plain[2048];
    uint8_t v1[2048];
    uint8_t v1Reply[2048];
    uint8_t scoped[2048];
    uint8_t sealed[2048];
};

#endif // SIM_V3AGENT_H
