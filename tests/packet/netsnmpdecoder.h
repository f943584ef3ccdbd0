// net-snmp's own message parser as an independent reader of the bytes we build. Only the
// tests use it; the packet engine never depends on net-snmp.
#ifndef NETSNMPDECODER_H
#define NETSNMPDECODER_H

#include <QByteArray>
#include <QString>

struct DecodedMessage
{
    bool parsed = false; // snmp_parse accepted the message
    long version = -1;   // 0 is SNMPv1
    QByteArray community;
    int pduType = -1; // 0xA0 GetRequest, 0xA1 GetNext, 0xA3 SetRequest
    long requestId = -1;
    long errorStatus = -1;
    long errorIndex = -1;
    int bindingCount = 0;
    QString oid;           // dotted text of the first binding's name
    int valueType = -1;    // the value's tag as net-snmp saw it (0x02, 0x04, 0x05, 0x06, ...)
    QByteArray valueBytes; // OCTET STRING content
    long long integer = 0; // INTEGER, as the signed number net-snmp decoded
    unsigned long long unsignedValue = 0; // Counter and Gauge
    QString oidValue;                     // OBJECT IDENTIFIER value as dotted text
};

// Parses one whole SNMP message without any socket.
DecodedMessage decodeWithNetSnmp(const QByteArray &message);

#endif // NETSNMPDECODER_H
