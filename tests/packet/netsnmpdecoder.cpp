#include "netsnmpdecoder.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <QStringList>

#include <cstdlib>

namespace {

// snmp_parse needs none of init_snmp's MIB or configuration machinery; leaving init_snmp out
// keeps the tests from reading /etc/snmp and ~/.snmp or writing /var/lib/snmp. Config reading
// is switched off all the same, once, in case anything in the library reaches for it.
void initOnce()
{
    static const bool done = [] {
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
        return true;
    }();
    (void)done;
}

QString dotted(const oid *arcs, size_t count)
{
    QStringList parts;
    for (size_t i = 0; i < count; ++i)
        parts << QString::number(static_cast<unsigned long long>(arcs[i]));
    return parts.join(QLatin1Char('.'));
}

} // namespace

DecodedMessage decodeWithNetSnmp(const QByteArray &message)
{
    initOnce();
    DecodedMessage out;
    netsnmp_session session;
    snmp_sess_init(&session);
    auto *pdu = static_cast<netsnmp_pdu *>(std::calloc(1, sizeof(netsnmp_pdu)));
    if (!pdu)
        return out;
    // snmp_parse takes a non-const buffer; give it a copy of its own.
    QByteArray bytes = message;
    const int rc = snmp_parse(nullptr, &session, pdu, reinterpret_cast<u_char *>(bytes.data()),
                              size_t(bytes.size()));
    out.parsed = rc == SNMPERR_SUCCESS;
    if (out.parsed) {
        out.version = pdu->version;
        out.community =
            QByteArray(reinterpret_cast<const char *>(pdu->community), int(pdu->community_len));
        out.pduType = pdu->command;
        out.requestId = pdu->reqid;
        out.errorStatus = pdu->errstat;
        out.errorIndex = pdu->errindex;
        for (netsnmp_variable_list *v = pdu->variables; v; v = v->next_variable)
            ++out.bindingCount;
        if (const netsnmp_variable_list *v = pdu->variables) {
            out.oid = dotted(v->name, v->name_length);
            out.valueType = v->type;
            switch (v->type) {
            case ASN_INTEGER:
                out.integer = *v->val.integer;
                break;
            case ASN_COUNTER:
            case ASN_GAUGE:
                out.unsignedValue = static_cast<unsigned long>(*v->val.integer);
                break;
            case ASN_OBJECT_ID:
                out.oidValue = dotted(v->val.objid, v->val_len / sizeof(oid));
                break;
            case ASN_OCTET_STR:
                out.valueBytes =
                    QByteArray(reinterpret_cast<const char *>(v->val.string), int(v->val_len));
                break;
            default:
                break;
            }
        }
    }
    snmp_free_pdu(pdu);
    return out;
}
