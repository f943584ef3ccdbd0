#include "snmpagent.h"

#include "controllermodel.h"

#include <cstdio>
#include <cstring>

namespace {

const char community[] = "harbor";
constexpr int communityLength = 6;

const char sysDescrText[] = "FC-8 field controller simulator, 2 rings, 8 phases";

struct MibEntry
{
    uint32_t arcs[16];
    int count;
};

// The MIB in lexicographic order; GetNextRequest walks it top to bottom.
const MibEntry mib[] = {
    {{1, 3, 6, 1, 2, 1, 1, 1, 0}, 9},                         // sysDescr.0
    {{1, 3, 6, 1, 2, 1, 1, 3, 0}, 9},                         // sysUpTime.0
    {{1, 3, 6, 1, 4, 1, 1206, 3, 5, 2, 17, 10, 0}, 13},       // front-panel key
    {{1, 3, 6, 1, 4, 1, 1206, 3, 5, 2, 17, 12, 1, 2, 1}, 15}, // display rows 0..7 + cursor
    {{1, 3, 6, 1, 4, 1, 1206, 3, 5, 2, 17, 12, 1, 2, 2}, 15}, // display rows 8..15
};

const char *pduName(uint8_t tag)
{
    switch (tag) {
    case ber::GetRequest:
        return "get";
    case ber::GetNextRequest:
        return "getnext";
    case ber::SetRequest:
        return "set";
    default:
        return "?";
    }
}

const char *statusName(int status)
{
    switch (status) {
    case SnmpAgent::NoError:
        return "noError";
    case SnmpAgent::TooBig:
        return "tooBig";
    case SnmpAgent::NoSuchName:
        return "noSuchName";
    case SnmpAgent::BadValue:
        return "badValue";
    default:
        return "genErr";
    }
}

} // namespace

static_assert(sizeof mib / sizeof mib[0] == 5, "one MIB entry per agent object");

SnmpAgent::SnmpAgent(ControllerModel *model) : model(model)
{
    for (int i = 0; i < ObjectCount; ++i)
        mibOidLength[i] =
            ber::encodeOid(mib[i].arcs, mib[i].count, mibOid[i], int(sizeof mibOid[i]));
}

int SnmpAgent::drop(uint64_t *counter, const char *why)
{
    ++*counter;
    lastWhy = why;
    lastLength = 0;
    return 0;
}

int SnmpAgent::findExact(const uint32_t *a, int count) const
{
    for (int i = 0; i < ObjectCount; ++i) {
        if (ber::compareOids(a, count, mib[i].arcs, mib[i].count) == 0)
            return i;
    }
    return -1;
}

int SnmpAgent::findNext(const uint32_t *a, int count) const
{
    for (int i = 0; i < ObjectCount; ++i) {
        if (ber::compareOids(mib[i].arcs, mib[i].count, a, count) > 0)
            return i;
    }
    return -1;
}

void SnmpAgent::objectValue(int object, uint8_t *tag, const uint8_t **content, int *length)
{
    switch (object) {
    case SysDescr:
        *tag = ber::OctetString;
        *content = reinterpret_cast<const uint8_t *>(sysDescrText);
        *length = int(sizeof sysDescrText - 1);
        return;
    case SysUpTime: {
        // TimeTicks count hundredths of a second and wrap at 2^32.
        const uint32_t ticks = uint32_t(model->elapsedMs() / 10);
        const int n = ber::unsignedSize(ticks);
        for (int i = 0; i < n; ++i) {
            const int shift = 8 * (n - 1 - i);
            upTime[i] = shift >= 32 ? 0 : uint8_t(ticks >> shift);
        }
        *tag = ber::TimeTicks;
        *content = upTime;
        *length = n;
        return;
    }
    case KeyPress:
        keyByte = model->lastKey();
        *tag = ber::OctetString;
        *content = &keyByte;
        *length = 1;
        return;
    case FirstBlock:
        *tag = ber::OctetString;
        if (servedFirst) {
            *content = servedFirst;
            *length = servedFirstLength;
            return;
        }
        model->firstBlock(firstBlock);
        *content = firstBlock;
        *length = int(sizeof firstBlock);
        return;
    default:
        if (servedSecond) {
            *tag = ber::OctetString;
            *content = servedSecond;
            *length = servedSecondLength;
            return;
        }
        model->secondBlock(secondBlock);
        *tag = ber::OctetString;
        *content = secondBlock;
        *length = int(sizeof secondBlock);
        return;
    }
}

void SnmpAgent::serveDisplay(const uint8_t *first, int firstLength, const uint8_t *second,
                             int secondLength)
{
    servedFirst = first;
    servedFirstLength = first ? firstLength : 0;
    servedSecond = second;
    servedSecondLength = second ? secondLength : 0;
}

int SnmpAgent::handle(const uint8_t *req, int len, uint8_t *reply, int cap)
{
    ++counters.requests;
    lastPdu = 0;
    lastStatus = 0;
    lastArcCount = 0;
    if (!req || len <= 0 || !reply || cap <= 0)
        return drop(&counters.malformed, "empty datagram");

    // Message ::= SEQUENCE { version INTEGER, community OCTET STRING, pdu }, and nothing after it.
    ber::Reader in(req, req + len);
    ber::Reader message;
    if (!in.readExpected(ber::Sequence, &message) || !in.atEnd())
        return drop(&counters.malformed, "malformed message");
    int32_t version = 0;
    ber::Reader name;
    uint8_t pduTag = 0;
    ber::Reader pdu;
    if (!message.readInteger(&version) || !message.readExpected(ber::OctetString, &name) ||
        !message.readElement(&pduTag, &pdu) || !message.atEnd())
        return drop(&counters.malformed, "malformed message header");
    // Like real agents, answer nothing to another version or community.
    if (version != 0)
        return drop(&counters.badVersion, "not SNMPv1");
    if (name.remaining() != communityLength ||
        std::memcmp(name.position(), community, communityLength) != 0)
        return drop(&counters.badCommunity, "wrong community");
    if (pduTag != ber::GetRequest && pduTag != ber::GetNextRequest && pduTag != ber::SetRequest)
        return drop(&counters.malformed, "not a request PDU");
    lastPdu = pduTag;

    int32_t requestId = 0;
    int32_t errorStatus = 0;
    int32_t errorIndex = 0;
    ber::Reader list;
    if (!pdu.readInteger(&requestId) || !pdu.readInteger(&errorStatus) ||
        !pdu.readInteger(&errorIndex) || !pdu.readExpected(ber::Sequence, &list) || !pdu.atEnd())
        return drop(&counters.malformed, "malformed PDU");

    int count = 0;
    while (!list.atEnd()) {
        ber::Reader binding;
        ber::Reader oid;
        ber::Reader value;
        uint8_t valueTag = 0;
        if (!list.readExpected(ber::Sequence, &binding) ||
            !binding.readExpected(ber::ObjectIdentifier, &oid) ||
            !binding.readElement(&valueTag, &value) || !binding.atEnd())
            return drop(&counters.malformed, "malformed variable binding");
        int arcCount = 0;
        if (!ber::decodeOid(oid.position(), oid.remaining(), arcs, ber::MaxArcs, &arcCount))
            return drop(&counters.malformed, "malformed OID");
        if (count == 0) {
            lastArcCount = arcCount < 16 ? arcCount : 16;
            std::memcpy(lastArcs, arcs, sizeof(uint32_t) * lastArcCount);
        }
        if (count < MaxBindings) {
            Binding &b = bindings[count];
            b.oid = oid.position();
            b.oidLength = oid.remaining();
            b.valueTag = valueTag;
            b.value = value.position();
            b.valueLength = value.remaining();
            b.object = pduTag == ber::GetNextRequest ? findNext(arcs, arcCount)
                                                     : findExact(arcs, arcCount);
        }
        ++count;
    }
    if (count > MaxBindings) {
        // More bindings than this agent handles at once: tooBig with an empty list.
        return writeReply(reply, cap, requestId, TooBig, 0, 0, true);
    }

    if (pduTag != ber::SetRequest) {
        for (int i = 0; i < count; ++i) {
            if (bindings[i].object < 0) {
                ++counters.unknownOid;
                return writeReply(reply, cap, requestId, NoSuchName, i + 1, count, true);
            }
        }
        return writeReply(reply, cap, requestId, NoError, 0, count, false);
    }

    // A SET is all or nothing: check every binding before any key is pressed.
    for (int i = 0; i < count; ++i) {
        const Binding &b = bindings[i];
        if (b.object != KeyPress) {
            // SNMPv1 has no readOnly for this case: an object not writable is noSuchName.
            ++counters.unknownOid;
            return writeReply(reply, cap, requestId, NoSuchName, i + 1, count, true);
        }
        if (b.valueTag != ber::OctetString || b.valueLength != 1 || b.value[0] < 1 ||
            b.value[0] > 24) {
            ++counters.badValue;
            return writeReply(reply, cap, requestId, BadValue, i + 1, count, true);
        }
    }
    for (int i = 0; i < count; ++i)
        model->pressKey(bindings[i].value[0]);
    return writeReply(reply, cap, requestId, NoError, 0, count, true);
}

int SnmpAgent::writeReply(uint8_t *reply, int cap, int32_t requestId, int errorStatus,
                          int errorIndex, int count, bool echo)
{
    // Sizes first, so that every length is written in its shortest form in one pass.
    int listLength = 0;
    for (int i = 0; i < count; ++i) {
        const Binding &b = bindings[i];
        int oidLength = b.oidLength;
        int valueLength = b.valueLength;
        if (!echo) {
            uint8_t tag = 0;
            const uint8_t *content = nullptr;
            oidLength = mibOidLength[b.object];
            objectValue(b.object, &tag, &content, &valueLength);
        }
        listLength += ber::elementSize(ber::elementSize(oidLength) + ber::elementSize(valueLength));
    }
    const int pduLength = ber::elementSize(ber::integerSize(requestId)) + 2 * ber::elementSize(1) +
                          ber::elementSize(listLength);
    const int messageLength =
        ber::elementSize(1) + ber::elementSize(communityLength) + ber::elementSize(pduLength);
    const int total = ber::elementSize(messageLength);
    if (total > cap) {
        // The request's own bindings came in one datagram, so the tooBig echo usually fits.
        if (errorStatus == NoError && !echo)
            return writeReply(reply, cap, requestId, TooBig, 0, count, true);
        return drop(&counters.tooBig, "reply does not fit");
    }

    ber::Writer out(reply, cap);
    out.header(ber::Sequence, messageLength);
    out.integer(0);
    out.element(ber::OctetString, reinterpret_cast<const uint8_t *>(community), communityLength);
    out.header(ber::GetResponse, pduLength);
    out.integer(requestId);
    out.integer(errorStatus);
    out.integer(errorIndex);
    out.header(ber::Sequence, listLength);
    for (int i = 0; i < count; ++i) {
        const Binding &b = bindings[i];
        const uint8_t *oid = b.oid;
        int oidLength = b.oidLength;
        uint8_t tag = b.valueTag;
        const uint8_t *content = b.value;
        int valueLength = b.valueLength;
        if (!echo) {
            oid = mibOid[b.object];
            oidLength = mibOidLength[b.object];
            objectValue(b.object, &tag, &content, &valueLength);
        }
        out.header(ber::Sequence, ber::elementSize(oidLength) + ber::elementSize(valueLength));
        out.element(ber::ObjectIdentifier, oid, oidLength);
        out.element(tag, content, valueLength);
    }
    if (!out.ok() || out.size() != total)
        return drop(&counters.tooBig, "reply does not fit");
    if (errorStatus == TooBig)
        ++counters.tooBig;
    ++counters.replies;
    lastStatus = errorStatus;
    lastLength = total;
    lastWhy = "";
    return total;
}

void SnmpAgent::describeLast(char *out, int cap) const
{
    if (cap <= 0)
        return;
    int n = std::snprintf(out, size_t(cap), "%s", lastPdu ? pduName(lastPdu) : "request");
    for (int i = 0; i < lastArcCount && n > 0 && n < cap; ++i)
        n += std::snprintf(out + n, size_t(cap - n), "%s%u", i == 0 ? " " : ".",
                           unsigned(lastArcs[i]));
    if (n <= 0 || n >= cap)
        return;
    if (lastLength == 0)
        std::snprintf(out + n, size_t(cap - n), " -> dropped: %s", lastWhy);
    else if (lastStatus == NoError)
        std::snprintf(out + n, size_t(cap - n), " -> %d bytes", lastLength);
    else
        std::snprintf(out + n, size_t(cap - n), " -> %s, %d bytes", statusName(lastStatus),
                      lastLength);
}
