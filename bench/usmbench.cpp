// What SNMPv3 adds to one request and one reply: the HMAC (SHA-1, SHA-256, SHA-512), AES-CFB, and
// the whole of a request's building and a reply's checking at authPriv, with the heap allocations
// each makes. Figures only; the reply is one our own writer made, as large as a display block.
#include "allocationprobe.h"
#include "snmpv3message.h"
#include "usmcrypto.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {


const uint8_t Engine[] = {0x80, 0x00, 0x1f, 0x88, 0x80, 0xe9, 0xbd, 0x0c, 0x1d,
                          0x12, 0x66, 0x7a, 0x51, 0x00, 0x00, 0x00, 0x00};

UsmCrypto &crypto(AuthProtocol auth)
{
    static UsmCrypto byProtocol[6];
    UsmCrypto &c = byProtocol[int(auth)];
    static bool keyed[6] = {};
    if (!keyed[int(auth)]) {
        uint8_t authKey[64], privKey[16];
        std::memset(authKey, 0x42, sizeof authKey);
        std::memset(privKey, 0x24, sizeof privKey);
        c.setKeys(auth, authKey, PrivProtocol::Aes128, privKey);
        keyed[int(auth)] = true;
    }
    return c;
}

SnmpV3::UsmParameters usmFor(UsmCrypto &c)
{
    SnmpV3::UsmParameters usm;
    std::memcpy(usm.engineId, Engine, sizeof Engine);
    usm.engineIdLength = int(sizeof Engine);
    usm.engineBoots = 3;
    usm.engineTime = 123456;
    std::memcpy(usm.userName, "frontpanel", 10);
    usm.userNameLength = 10;
    usm.authLength = c.macLength();
    std::memset(usm.auth, 0, sizeof usm.auth);
    usm.privLength = 8;
    std::memset(usm.priv, 7, 8);
    return usm;
}

void hmac(benchmark::State &state, AuthProtocol auth)
{
    UsmCrypto &c = crypto(auth);
    std::vector<uint8_t> message(size_t(state.range(0)), 0x30);
    uint8_t out[64];
    AllocationProbe probe(state);
    for (auto _ : state) {
        c.mac(message.data(), int(message.size()), out);
        benchmark::DoNotOptimize(out);
    }
}

void aesCfb(benchmark::State &state)
{
    UsmCrypto &c = crypto(AuthProtocol::Sha256);
    std::vector<uint8_t> data(size_t(state.range(0)), 0x55);
    const uint8_t salt[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    AllocationProbe probe(state);
    for (auto _ : state) {
        c.encrypt(data.data(), int(data.size()), data.data(), 3, 123456, salt);
        benchmark::DoNotOptimize(data.data());
    }
}

// A poll's request: the GetRequest in its scoped PDU, encrypted, the message written, signed.
void request(benchmark::State &state, AuthProtocol auth)
{
    UsmCrypto &c = crypto(auth);
    SnmpV3::UsmParameters usm = usmFor(c);
    SnmpV3::Header header;
    header.flags = SnmpV3::AuthFlag | SnmpV3::PrivFlag | SnmpV3::ReportableFlag;
    static const uint8_t pdu[] = {0xa0, 0x20, 0x02, 0x01, 0x01, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00,
                                  0x30, 0x15, 0x30, 0x13, 0x06, 0x0f, 0x2b, 0x06, 0x01, 0x04, 0x01,
                                  0x89, 0x36, 0x03, 0x05, 0x02, 0x11, 0x0c, 0x01, 0x02, 0x01, 0x05,
                                  0x00};
    uint8_t scoped[256], encrypted[256], message[512];
    AllocationProbe probe(state);
    for (auto _ : state) {
        ++header.messageId;
        ++usm.priv[7];
        const int n = SnmpV3::writeScopedPdu(scoped, sizeof scoped, Engine, int(sizeof Engine), pdu,
                                             int(sizeof pdu));
        c.encrypt(scoped, n, encrypted, usm.engineBoots, usm.engineTime, usm.priv);
        int authOffset = 0;
        const int length = SnmpV3::write(message, sizeof message, header, usm, encrypted, n, &authOffset);
        c.sign(message, length, authOffset);
        benchmark::DoNotOptimize(message);
    }
}

// A display block's reply: the HMAC checked, the PDU decrypted and its scoped PDU read.
void reply(benchmark::State &state, AuthProtocol auth)
{
    UsmCrypto &c = crypto(auth);
    SnmpV3::UsmParameters usm = usmFor(c);
    SnmpV3::Header header;
    header.flags = SnmpV3::AuthFlag | SnmpV3::PrivFlag;
    // A GetResponse carrying 328 octets of display, about what a real block reply carries.
    std::vector<uint8_t> pdu = {0xa2, 0x82, 0x01, 0x6e, 0x02, 0x01, 0x01, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00,
                                0x30, 0x82, 0x01, 0x61, 0x30, 0x82, 0x01, 0x5d, 0x06, 0x0f, 0x2b, 0x06,
                                0x01, 0x04, 0x01, 0x89, 0x36, 0x03, 0x05, 0x02, 0x11, 0x0c, 0x01, 0x02,
                                0x01, 0x04, 0x82, 0x01, 0x48};
    pdu.resize(pdu.size() + 0x148, 'A');
    uint8_t scoped[1024], encrypted[1024], message[2048];
    const int n = SnmpV3::writeScopedPdu(scoped, sizeof scoped, Engine, int(sizeof Engine),
                                         pdu.data(), int(pdu.size()));
    c.encrypt(scoped, n, encrypted, usm.engineBoots, usm.engineTime, usm.priv);
    int authOffset = 0;
    const int length = SnmpV3::write(message, sizeof message, header, usm, encrypted, n, &authOffset);
    c.sign(message, length, authOffset);
    uint8_t plain[1024];
    bool ok = true;
    AllocationProbe probe(state);
    for (auto _ : state) {
        SnmpV3::Message m;
        const char *error = nullptr;
        const uint8_t *context, *body;
        int contextLength, bodyLength;
        ok = SnmpV3::read(message, length, &m, &error) && c.verify(message, length, m.authOffset) &&
             c.decrypt(m.data, m.dataLength, plain, m.usm.engineBoots, m.usm.engineTime, m.usm.priv) &&
             SnmpV3::readScopedPdu(plain, m.dataLength, &context, &contextLength, &body,
                                   &bodyLength, &error);
        benchmark::DoNotOptimize(plain);
    }
    if (!ok)
        state.SkipWithError("the reply did not check out");
    state.counters["bytes"] = length;
}

} // namespace

int main(int argc, char **argv)
{
    using benchmark::RegisterBenchmark;
    const auto ns = benchmark::kNanosecond;
    RegisterBenchmark("hmac/SHA-1", hmac, AuthProtocol::Sha1)->Arg(120)->Arg(420)->Unit(ns);
    RegisterBenchmark("hmac/SHA-256", hmac, AuthProtocol::Sha256)->Arg(120)->Arg(420)->Unit(ns);
    RegisterBenchmark("hmac/SHA-512", hmac, AuthProtocol::Sha512)->Arg(120)->Arg(420)->Unit(ns);
    RegisterBenchmark("aes-128-cfb", aesCfb)->Arg(60)->Arg(380)->Unit(ns);
    RegisterBenchmark("request/SHA-256+AES-128", request, AuthProtocol::Sha256)->Unit(ns);
    RegisterBenchmark("request/SHA-512+AES-128", request, AuthProtocol::Sha512)->Unit(ns);
    RegisterBenchmark("reply/SHA-256+AES-128", reply, AuthProtocol::Sha256)->Unit(ns);
    RegisterBenchmark("reply/SHA-512+AES-128", reply, AuthProtocol::Sha512)->Unit(ns);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
