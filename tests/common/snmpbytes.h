// Builds and reads SNMPv1 messages for the tests, independently of the packet engine and the
// simulator's agent, so that both are checked against bytes written out here.
#ifndef SNMPBYTES_H
#define SNMPBYTES_H

#include <QByteArray>
#include <QList>

#include <cstdint>

namespace SnmpBytes {

// The controller's display blocks and its key, as the task asks for them.
inline const char FirstBlockOid[] = "1.3.6.1.4.1.1206.3.5.2.17.12.1.2.1";
inline const char SecondBlockOid[] = "1.3.6.1.4.1.1206.3.5.2.17.12.1.2.2";
inline const char KeyOid[] = "1.3.6.1.4.1.1206.3.5.2.17.10.0";

constexpr uint8_t GetRequest = 0xA0;
constexpr uint8_t GetResponse = 0xA2;
constexpr uint8_t SetRequest = 0xA3;
constexpr uint8_t OctetString = 0x04;

// Dotted text to OID content bytes, base 128 for every arc after the first two.
inline QByteArray oidBytes(const char *text)
{
    const QList<QByteArray> arcs = QByteArray(text).split('.');
    QByteArray out;
    out.append(char(40 * arcs.value(0).toUInt() + arcs.value(1).toUInt()));
    for (int i = 2; i < arcs.size(); ++i) {
        uint32_t a = arcs[i].toUInt();
        QByteArray groups;
        groups.prepend(char(a & 0x7F));
        for (a >>= 7; a != 0; a >>= 7)
            groups.prepend(char(0x80 | (a & 0x7F)));
        out.append(groups);
    }
    return out;
}

// Hex text to bytes; spaces between bytes are allowed for readability.
inline QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text));
}

// A BER length in its shortest definite form.
inline QByteArray berLength(int n)
{
    if (n < 0x80)
        return QByteArray(1, char(n));
    if (n <= 0xFF)
        return QByteArray("\x81", 1) + char(n);
    return QByteArray("\x82", 1) + char(n >> 8) + char(n & 0xFF);
}

// Tag, shortest definite length, content.
inline QByteArray tlv(uint8_t tag, const QByteArray &content)
{
    return QByteArray(1, char(tag)) + berLength(int(content.size())) + content;
}

inline QByteArray oneByteInteger(uint8_t v)
{
    return tlv(0x02, QByteArray(1, char(v)));
}

// One SNMPv1 message with one variable binding.
inline QByteArray message(uint8_t pduType, uint8_t requestId, const QByteArray &oid,
                          uint8_t valueTag, const QByteArray &value, uint8_t errorStatus = 0,
                          const QByteArray &community = "harbor")
{
    const QByteArray binding = tlv(0x30, tlv(0x06, oid) + tlv(valueTag, value));
    const QByteArray pdu = tlv(pduType, oneByteInteger(requestId) + oneByteInteger(errorStatus) +
                                            oneByteInteger(0) + tlv(0x30, binding));
    return tlv(0x30, oneByteInteger(0) + tlv(0x04, community) + pdu);
}

// A GetResponse carrying an octet string, to request id 0 (the desktop's) unless told.
inline QByteArray reply(const char *oidText, const QByteArray &value, uint8_t requestId = 0)
{
    return message(GetResponse, requestId, oidBytes(oidText), OctetString, value);
}

// n display characters that say where they came from: a letter per block, then a running
// digit, so a misplaced byte shows.
inline QByteArray pattern(int n, char letter)
{
    QByteArray out;
    for (int i = 0; i < n; ++i)
        out.append(i % 2 == 0 ? letter : char('0' + (i / 2) % 10));
    return out;
}

inline QByteArray firstBlock(uint8_t row, uint8_t column, const QByteArray &rows)
{
    QByteArray out;
    out.append(char(row));
    out.append(char(column));
    return out + rows;
}

// What a request carried, as far as the tests look at it.
struct Request
{
    bool valid = false;
    uint8_t pduType = 0;
    uint8_t requestId = 0;
    QByteArray community;
    QByteArray oid;
    uint8_t valueTag = 0;
    QByteArray value;
};

// A bounded walk over a request: every read first asks whether the bytes are there.
class Reader
{
public:
    explicit Reader(const QByteArray &bytes) : p(bytes.constData()), end(p + bytes.size()) {}

    bool header(uint8_t *tag, int *length)
    {
        if (end - p < 2)
            return false;
        *tag = uint8_t(*p++);
        uint8_t first = uint8_t(*p++);
        if (first < 0x80) {
            *length = first;
        } else {
            int count = first & 0x7F;
            if (count < 1 || count > 2 || end - p < count)
                return false;
            int n = 0;
            while (count-- > 0)
                n = (n << 8) | uint8_t(*p++);
            *length = n;
        }
        return end - p >= *length;
    }
    bool expect(uint8_t wanted, int *length)
    {
        uint8_t tag = 0;
        return header(&tag, length) && tag == wanted;
    }
    QByteArray take(int n)
    {
        QByteArray out(p, n);
        p += n;
        return out;
    }
    bool takeByte(uint8_t wantedTag, uint8_t *out)
    {
        int n = 0;
        if (!expect(wantedTag, &n) || n != 1)
            return false;
        *out = uint8_t(*p++);
        return true;
    }

private:
    const char *p;
    const char *end;
};

inline Request parse(const QByteArray &bytes)
{
    Request r;
    Reader in(bytes);
    int n = 0;
    uint8_t version = 0, status = 0, index = 0;
    if (!in.expect(0x30, &n) || !in.takeByte(0x02, &version) || !in.expect(0x04, &n))
        return r;
    r.community = in.take(n);
    if (!in.header(&r.pduType, &n) || !in.takeByte(0x02, &r.requestId) ||
        !in.takeByte(0x02, &status) || !in.takeByte(0x02, &index) || !in.expect(0x30, &n) ||
        !in.expect(0x30, &n) || !in.expect(0x06, &n))
        return r;
    r.oid = in.take(n);
    if (!in.header(&r.valueTag, &n))
        return r;
    r.value = in.take(n);
    r.valid = version == 0;
    return r;
}

} // namespace SnmpBytes

#endif // SNMPBYTES_H
