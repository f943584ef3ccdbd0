// A link's SNMPv3 layer (RFC 3412 and 3414): the requests the link rules build as SNMPv1
// messages go out as the same PDU in an authenticated (and usually encrypted) v3 message, and a
// reply that passes every check comes back as an SNMPv1 message for the same rules to read. It
// discovers the controller's engine id, keeps its boots and time, localises the keys once per
// engine id, and turns every Report into words.
#ifndef V3LINK_H
#define V3LINK_H

#include "usmcrypto.h"

#include <QByteArray>

#include <cstdint>

struct V3LinkConfig
{
    QByteArray user;
    AuthProtocol auth = AuthProtocol::Sha256;
    // None: authNoPriv.
    PrivProtocol priv = PrivProtocol::Aes128;
    // The passphrases stretched into keys (Ku), keyLength(auth) octets each; the localised keys
    // are made from them when the engine id is known.
    QByteArray authKu;
    QByteArray privKu;
};

class V3Link
{
public:
    // Room a caller gives wrap() and unwrap() for one message.
    static constexpr int MessageSize = 1500;
    // Room for one message's PDU work, which no two messages need at once: the caller's (one
    // per engine), so that a thousand links do not each keep 3 KB of it warm.
    struct Scratch
    {
        uint8_t scoped[MessageSize];
        uint8_t sealed[MessageSize];
    };

    explicit V3Link(const V3LinkConfig &config);
    V3Link(const V3Link &) = delete;
    V3Link &operator=(const V3Link &) = delete;

    // The datagram to send for an SNMPv1 message the link rules built (its PDU is taken out):
    // the request in a v3 message, or a discovery probe while the engine id is not known (then
    // *probe is set and the request waits for the next wrap). Returns the length, 0 on failure.
    int wrap(const uint8_t *v1Message, int v1Length, uint8_t *out, int cap, int64_t nowMs,
             bool *probe, Scratch *scratch);

    enum class Outcome {
        Reply,          // *v1Length bytes of an SNMPv1 reply are in v1Out
        Resynchronised, // engine id or time learned from a Report: send the request again
                        // (*words says which, for when that does not help)
        Refused,        // *words says why
    };
    // A datagram from the controller. A reply counts when it answers one of the last few
    // messages wrap() made (a slow link's late reply is still the controller's word); a Report
    // only when it answers the last.
    Outcome unwrap(const uint8_t *in, int length, uint8_t *v1Out, int cap, int *v1Length,
                   int64_t nowMs, const char **words, Scratch *scratch);

    bool discovered() const { return engineIdLength > 0; }

private:
    bool localise();
    int32_t engineTimeAt(int64_t nowMs) const;

    V3LinkConfig config;
    UsmCrypto crypto;
    uint8_t engineId[32];
    int engineIdLength = 0;
    int32_t boots = 0;
    int32_t time = 0;
    int64_t timeLearnedMs = 0;
    int32_t messageId;
    int32_t sentMessageId = -1;
    // The message ids of the last requests, newest at recentNext - 1.
    static constexpr int RecentMessages = 8;
    int32_t recentIds[RecentMessages];
    int recentNext = 0;
    uint64_t salt;
    bool keysReady = false;
    // The community of the requests the link rules build, which their reply check expects back.
    uint8_t community[32];
    int communityLength = 0;
};

#endif // V3LINK_H
