// The SNMPv3 message reader on any datagram. Besides memory safety: what it accepts, written
// back from the fields it read, reads again to the same fields, and every view it hands back lies
// inside the datagram.
#include "ber.h"
#include "fuzzcheck.h"
#include "snmpv3message.h"

#include <cstdint>
#include <cstring>

namespace {

bool inside(const uint8_t *p, int n, const uint8_t *data, size_t size)
{
    return n >= 0 && p >= data && p + n <= data + size;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 65535)
        return 0;
    SnmpV3::Message m;
    const char *error = nullptr;
    if (!SnmpV3::read(data, int(size), &m, &error)) {
        FUZZ_CHECK(error != nullptr);
        return 0;
    }
    FUZZ_CHECK(inside(m.data, m.dataLength, data, size));
    FUZZ_CHECK(m.usm.engineIdLength <= SnmpV3::MaxEngineIdLength);
    FUZZ_CHECK(m.usm.userNameLength <= SnmpV3::MaxUserNameLength);
    FUZZ_CHECK(m.usm.authLength <= SnmpV3::MaxAuthLength);
    if (m.usm.authLength > 0) {
        FUZZ_CHECK(m.authOffset > 0 && size_t(m.authOffset + m.usm.authLength) <= size);
        FUZZ_CHECK(std::memcmp(data + m.authOffset, m.usm.auth, size_t(m.usm.authLength)) == 0);
    }

    static uint8_t again[65536 + 64];
    int authOffset = 0;
    const int n = SnmpV3::write(again, sizeof again, m.header, m.usm, m.data, m.dataLength,
                                &authOffset);
    FUZZ_CHECK(n > 0);
    SnmpV3::Message back;
    FUZZ_CHECK(SnmpV3::read(again, n, &back, &error));
    FUZZ_CHECK(back.header.messageId == m.header.messageId && back.header.flags == m.header.flags &&
               back.usm.engineBoots == m.usm.engineBoots && back.usm.engineTime == m.usm.engineTime &&
               back.dataLength == m.dataLength &&
               std::memcmp(back.data, m.data, size_t(m.dataLength)) == 0);
    FUZZ_CHECK(back.authOffset == (m.usm.authLength > 0 ? authOffset : -1));

    if (!m.encrypted) {
        const uint8_t *context, *pdu;
        int contextLength, pduLength;
        if (SnmpV3::readScopedPdu(m.data, m.dataLength, &context, &contextLength, &pdu,
                                  &pduLength, &error)) {
            FUZZ_CHECK(inside(context, contextLength, data, size));
            FUZZ_CHECK(inside(pdu, pduLength, data, size));
            const SnmpV3::UsmStat stat = SnmpV3::reportedStat(pdu, pduLength);
            FUZZ_CHECK(stat == SnmpV3::UsmStat::None || pdu[0] == ber::Report);
        }
    }
    return 0;
}
