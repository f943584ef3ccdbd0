// The simulated controller's SNMPv1 agent: one request datagram in, one reply datagram out (or
// none). It keeps no per-request state besides its counters and the description of the last
// request, and allocates nothing.
#ifndef SIM_SNMPAGENT_H
#define SIM_SNMPAGENT_H

#include "ber.h"

#include <cstdint>

class ControllerModel;

struct AgentCounters
{
    uint64_t requests = 0;     // datagrams handed to the agent
    uint64_t replies = 0;      // replies built
    uint64_t badVersion = 0;   // well-formed but not SNMPv1: dropped
    uint64_t badCommunity = 0; // another community: dropped
    uint64_t malformed = 0;    // not a well-formed request: dropped
    uint64_t unknownOid = 0;   // answered with noSuchName
    uint64_t badValue = 0;     // SETs answered with badValue
    uint64_t tooBig = 0;       // answered with tooBig, or dropped when even that did not fit
    uint64_t dropped = 0; // replies the server threw away (loss, full queue, told not to answer)

    // Summed over several controllers.
    AgentCounters &operator+=(const AgentCounters &c)
    {
        requests += c.requests;
        replies += c.replies;
        badVersion += c.badVersion;
        badCommunity += c.badCommunity;
        malformed += c.malformed;
        unknownOid += c.unknownOid;
        badValue += c.badValue;
        tooBig += c.tooBig;
        dropped += c.dropped;
        return *this;
    }
};

class SnmpAgent
{
public:
    // SNMPv1 error-status values.
    enum ErrorStatus { NoError = 0, TooBig = 1, NoSuchName = 2, BadValue = 3, GenErr = 5 };
    static constexpr int MaxBindings = 8;

    explicit SnmpAgent(ControllerModel *model);

    // Handles one request datagram; writes the reply into reply (cap bytes) and returns its
    // length, or 0 when the request is dropped.
    int handle(const uint8_t *req, int len, uint8_t *reply, int cap);

    AgentCounters counters;

    // One line about the last request for a log, e.g. "get 1.3.6.1... -> 379 bytes".
    void describeLast(char *out, int cap) const;
    // The PDU type of the last request (0xA0 get, 0xA3 set, ...), 0 when it was not readable.
    uint8_t lastPduType() const { return lastPdu; }

    // Serves these bytes as the two display blocks instead of the model's; nullptr goes back to
    // the model. The buffers belong to the caller and must outlive their use here.
    void serveDisplay(const uint8_t *first, int firstLength, const uint8_t *second,
                      int secondLength);

private:
    enum Object { SysDescr, SysUpTime, KeyPress, FirstBlock, SecondBlock, ObjectCount };

    struct Binding
    {
        const uint8_t *oid; // request OID content bytes
        int oidLength;
        uint8_t valueTag; // request value
        const uint8_t *value;
        int valueLength;
        int object; // MIB entry answered, or -1
    };

    int drop(uint64_t *counter, const char *why);
    int findExact(const uint32_t *arcs, int count) const;
    int findNext(const uint32_t *arcs, int count) const;
    // The value of a MIB object: its tag and content bytes (in buffers of the agent).
    void objectValue(int object, uint8_t *tag, const uint8_t **content, int *length);
    int writeReply(uint8_t *reply, int cap, int32_t requestId, int errorStatus, int errorIndex,
                   int count, bool echo);

    ControllerModel *model;
    Binding bindings[MaxBindings];
    uint32_t arcs[ber::MaxArcs];

    // Encoded OIDs of the MIB, in MIB order.
    uint8_t mibOid[ObjectCount][32];
    int mibOidLength[ObjectCount];

    const uint8_t *servedFirst = nullptr;
    int servedFirstLength = 0;
    const uint8_t *servedSecond = nullptr;
    int servedSecondLength = 0;

    uint8_t firstBlock[2 + 8 * 40];
    uint8_t secondBlock[8 * 40];
    uint8_t keyByte = 0;
    uint8_t upTime[5];

    // For describeLast.
    uint8_t lastPdu = 0;
    int lastStatus = 0;
    int lastLength = 0;
    const char *lastWhy = "";
    uint32_t lastArcs[16];
    int lastArcCount = 0;
};

#endif // SIM_SNMPAGENT_H
