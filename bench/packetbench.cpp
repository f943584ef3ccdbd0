// Our packet engine against net-snmp's library doing the same work, with the heap allocations
// of each counted per iteration. After the usual table it prints ours / net-snmp for every
// pair (below 1 means ours is faster).
//
//   build-bench/bench/packet-bench [--benchmark_min_time=1]
#include "allocationprobe.h"
#include "ntcippacket.h"
#include "snmpbytes.h"

#include <benchmark/benchmark.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using SnmpBytes::FirstBlockOid;
using SnmpBytes::KeyOid;
const oid DisplayOid1Arcs[] = {1, 3, 6, 1, 4, 1, 1206, 3, 5, 2, 17, 12, 1, 2, 1};
const oid KeyOidArcs[] = {1, 3, 6, 1, 4, 1, 1206, 3, 5, 2, 17, 10, 0};

// --- The controller's reply to the first display block ---------------------------------------

// Writes a BER length in its shortest form, as an agent does.
size_t putLength(uint8_t *out, size_t n)
{
    if (n < 0x80) {
        out[0] = uint8_t(n);
        return 1;
    }
    if (n < 0x100) {
        out[0] = 0x81;
        out[1] = uint8_t(n);
        return 2;
    }
    out[0] = 0x82;
    out[1] = uint8_t(n >> 8);
    out[2] = uint8_t(n);
    return 3;
}

// Wraps content (already at out + reserve) in tag and length, shifting it into place.
std::vector<uint8_t> tlv(uint8_t tag, const std::vector<uint8_t> &content)
{
    uint8_t header[4] = {tag};
    const size_t h = 1 + putLength(header + 1, content.size());
    std::vector<uint8_t> out(header, header + h);
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// 379 bytes: cursor row and column, then rows 0 to 7 of 40 characters, as the controller sends.
std::vector<uint8_t> firstBlockReply()
{
    std::vector<uint8_t> value = {3, 7};
    for (int i = 0; i < 320; ++i)
        value.push_back(uint8_t('A' + i % 26));
    const std::vector<uint8_t> oidBytes = {0x2b, 0x06, 0x01, 0x04, 0x01, 0x89, 0x36, 0x03,
                                           0x05, 0x02, 0x11, 0x0c, 0x01, 0x02, 0x01};
    const std::vector<uint8_t> zero = {0};
    const auto binding = tlv(0x30, cat({tlv(0x06, oidBytes), tlv(0x04, value)}));
    const auto pdu =
        tlv(0xA2, cat({tlv(0x02, zero), tlv(0x02, zero), tlv(0x02, zero), tlv(0x30, binding)}));
    const std::vector<uint8_t> community = {'h', 'a', 'r', 'b', 'o', 'r'};
    return tlv(0x30, cat({tlv(0x02, zero), tlv(0x04, community), pdu}));
}

const std::vector<uint8_t> &reply379()
{
    static const std::vector<uint8_t> bytes = firstBlockReply();
    return bytes;
}

// --- Ours ----------------------------------------------------------------------------------------

void oursBuildGet(benchmark::State &state)
{
    NtcipPacket p;
    p.setOid(FirstBlockOid);
    AllocationProbe probe(state);
    for (auto _ : state) {
        p.buildGet();
        benchmark::DoNotOptimize(p.frame);
        benchmark::ClobberMemory();
    }
    if (p.frameLength != 47)
        state.SkipWithError("GetRequest is not 47 bytes");
}

// What the link task does for every poll: the OID text, then the request.
void oursSetOidBuildGet(benchmark::State &state)
{
    NtcipPacket p;
    AllocationProbe probe(state);
    for (auto _ : state) {
        p.setOid(FirstBlockOid);
        p.buildGet();
        benchmark::DoNotOptimize(p.frame);
        benchmark::ClobberMemory();
    }
}

void oursBuildSet(benchmark::State &state)
{
    const int32_t length = int32_t(state.range(0));
    std::vector<uint8_t> bytes(size_t(length), 0x0C);
    NtcipPacket p;
    p.setOid(KeyOid);
    p.setOctetString(bytes.data(), length);
    AllocationProbe probe(state);
    for (auto _ : state) {
        p.buildSet();
        benchmark::DoNotOptimize(p.frame);
        benchmark::ClobberMemory();
    }
}

// Loading the datagram into the record is part of taking a reply in, so it is timed too.
void oursParse379(benchmark::State &state)
{
    const auto &reply = reply379();
    NtcipPacket p;
    int accepted = 1;
    AllocationProbe probe(state);
    for (auto _ : state) {
        p.loadFrame(reply.data(), int32_t(reply.size()));
        accepted &= p.validateResponse(1);
        benchmark::DoNotOptimize(p.value);
        benchmark::ClobberMemory();
    }
    if (!accepted || p.valueLength != 322)
        state.SkipWithError("the 379-byte reply was refused");
}

void oursPmpp500(benchmark::State &state)
{
    std::vector<uint8_t> message(500);
    for (size_t i = 0; i < message.size(); ++i)
        message[i] = uint8_t(i * 7); // includes 0x7D and 0x7E, so some bytes are escaped
    NtcipPacket sender;
    NtcipPacket receiver;
    int good = 1;
    AllocationProbe probe(state);
    for (auto _ : state) {
        sender.loadFrame(message.data(), int32_t(message.size()));
        sender.wrapFrame();
        for (int32_t i = 0; i < sender.frameLength; ++i)
            receiver.receiveByte(sender.frame[i]);
        receiver.unstuffFrame();
        good &= receiver.checkFcs();
        benchmark::DoNotOptimize(receiver.frame);
        benchmark::ClobberMemory();
    }
    if (!good || receiver.frameLength != 505)
        state.SkipWithError("the frame did not come back");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(message.size()));
}

void oursFcs16(benchmark::State &state)
{
    std::vector<uint8_t> bytes(size_t(state.range(0)));
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(i * 31 + 7);
    AllocationProbe probe(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(fcs16(bytes.data(), int32_t(bytes.size())));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}

// --- net-snmp ------------------------------------------------------------------------------------

netsnmp_session *snmpSession()
{
    static netsnmp_session session;
    static bool ready = false;
    if (!ready) {
        // Read no configuration, load no MIB and keep no persistent state: the library is only
        // a codec here.
        setenv("MIBS", "", 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
        init_snmp("packet-bench");
        snmp_sess_init(&session);
        session.version = SNMP_VERSION_1;
        session.community = reinterpret_cast<u_char *>(const_cast<char *>("harbor"));
        session.community_len = 6;
        ready = true;
    }
    return &session;
}

// snmp_build encodes back to front into a buffer it may grow with realloc.
struct SnmpBuffer
{
    u_char *bytes = static_cast<u_char *>(malloc(2048));
    size_t size = 2048;
    ~SnmpBuffer() { free(bytes); }
};

// Encodes pdu once per iteration; the PDU object itself is made once, like our record.
void snmpBuildLoop(benchmark::State &state, netsnmp_pdu *pdu, size_t expected)
{
    netsnmp_session *session = snmpSession();
    SnmpBuffer buffer;
    size_t built = 0;
    AllocationProbe probe(state);
    for (auto _ : state) {
        size_t offset = 0;
        if (snmp_build(&buffer.bytes, &buffer.size, &offset, session, pdu) != 0) {
            state.SkipWithError(snmp_api_errstring(session->s_snmp_errno));
            break;
        }
        built = offset;
        benchmark::DoNotOptimize(buffer.bytes);
        benchmark::ClobberMemory();
    }
    if (built != expected && !state.error_occurred()) {
        char text[64];
        std::snprintf(text, sizeof text, "net-snmp built %zu bytes, expected %zu", built, expected);
        state.SkipWithError(text);
    }
}

void snmpBuildGet(benchmark::State &state)
{
    snmpSession();
    netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_GET);
    pdu->version = SNMP_VERSION_1;
    pdu->reqid = 0; // the panel's request id
    snmp_add_null_var(pdu, DisplayOid1Arcs, OID_LENGTH(DisplayOid1Arcs));
    snmpBuildLoop(state, pdu, 47);
    snmp_free_pdu(pdu);
}

void snmpBuildSet(benchmark::State &state)
{
    snmpSession();
    const size_t length = size_t(state.range(0));
    std::vector<u_char> bytes(length, 0x0C);
    netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_SET);
    pdu->version = SNMP_VERSION_1;
    pdu->reqid = 0;
    snmp_pdu_add_variable(pdu, KeyOidArcs, OID_LENGTH(KeyOidArcs), ASN_OCTET_STR, bytes.data(),
                          length);
    NtcipPacket ours; // the same message from ours, for the expected length
    ours.setOid(KeyOid);
    ours.setOctetString(bytes.data(), int32_t(length));
    ours.buildSet();
    // Ours writes a length of 127 as 81 7F where BER allows 7F; at 1 and 256 bytes both agree.
    snmpBuildLoop(state, pdu, size_t(ours.frameLength));
    snmp_free_pdu(pdu);
}

// A whole parse of a datagram, including freeing what the parse allocated: the cost of one reply.
void snmpParse379(benchmark::State &state)
{
    netsnmp_session *session = snmpSession();
    std::vector<u_char> reply(reply379().begin(), reply379().end());
    size_t valueLength = 0;
    int failed = 0;
    AllocationProbe probe(state);
    for (auto _ : state) {
        netsnmp_pdu pdu;
        std::memset(&pdu, 0, sizeof pdu);
        failed |= snmp_parse(nullptr, session, &pdu, reply.data(), reply.size());
        valueLength = pdu.variables ? pdu.variables->val_len : 0;
        benchmark::DoNotOptimize(pdu.variables);
        snmp_free_varbind(pdu.variables);
        free(pdu.community);
    }
    if (failed || valueLength != 322)
        state.SkipWithError("net-snmp refused the 379-byte reply");
}

// --- Ratios --------------------------------------------------------------------------------------

// The console table as usual, plus the CPU time of every "what/who" run kept for the ratios.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    explicit RatioReporter(OutputOptions options) : ConsoleReporter(options) {}

    std::map<std::string, std::map<std::string, double>> times; // what -> who -> ns/iteration

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration)
                continue;
            const std::string name = run.benchmark_name();
            const size_t slash = name.find('/');
            if (slash == std::string::npos)
                continue;
            // "buildSet/ours/256" -> what "buildSet/256", who "ours"
            const size_t next = name.find('/', slash + 1);
            const std::string who = name.substr(
                slash + 1, next == std::string::npos ? std::string::npos : next - slash - 1);
            const std::string what =
                name.substr(0, slash) + (next == std::string::npos ? "" : name.substr(next));
            times[what][who] = run.GetAdjustedCPUTime();
        }
    }

    void printRatios() const
    {
        std::printf("\n%-16s %12s %12s %14s\n", "work", "ours ns", "net-snmp ns", "ours/net-snmp");
        for (const auto &entry : times) {
            const auto ours = entry.second.find("ours");
            const auto theirs = entry.second.find("net-snmp");
            if (ours == entry.second.end() || theirs == entry.second.end())
                continue;
            std::printf("%-16s %12.1f %12.1f %14.3f  (net-snmp takes %.1fx as long)\n",
                        entry.first.c_str(), ours->second, theirs->second,
                        ours->second / theirs->second, theirs->second / ours->second);
        }
    }
};

} // namespace

int main(int argc, char **argv)
{
    using benchmark::RegisterBenchmark;
    const auto ns = benchmark::kNanosecond;
    RegisterBenchmark("buildGet/ours", oursBuildGet)->Unit(ns);
    RegisterBenchmark("buildGet/net-snmp", snmpBuildGet)->Unit(ns);
    RegisterBenchmark("setOid+buildGet/ours", oursSetOidBuildGet)->Unit(ns);
    RegisterBenchmark("buildSet/ours", oursBuildSet)->Arg(1)->Arg(256)->Unit(ns);
    RegisterBenchmark("buildSet/net-snmp", snmpBuildSet)->Arg(1)->Arg(256)->Unit(ns);
    RegisterBenchmark("parse379/ours", oursParse379)->Unit(ns);
    RegisterBenchmark("parse379/net-snmp", snmpParse379)->Unit(ns);
    RegisterBenchmark("pmppRoundTrip500/ours", oursPmpp500)->Unit(ns);
    RegisterBenchmark("fcs16/ours", oursFcs16)->Arg(64)->Arg(1024)->Unit(ns);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    // Colour only on a terminal, so that saved figures stay plain text.
    RatioReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Defaults
                                                 : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios();
    benchmark::Shutdown();
    return 0;
}
