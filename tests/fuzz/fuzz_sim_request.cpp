// The simulator's agent on any datagram: the request parser and the reply writer behind it.
// A reply must fit the room it was given and be one whole SEQUENCE; the room is varied so that
// the too-big path runs too.
#include "controllermodel.h"
#include "fuzzcheck.h"
#include "snmpagent.h"

#include <cstdint>
#include <cstring>

namespace {

void checkReply(const uint8_t *reply, int length, int room)
{
    FUZZ_CHECK(length >= 0 && length <= room);
    if (length == 0)
        return;
    ber::Reader whole(reply, reply + length);
    ber::Reader message;
    FUZZ_CHECK(whole.readExpected(ber::Sequence, &message));
    FUZZ_CHECK(whole.atEnd());
    int32_t version = -1;
    FUZZ_CHECK(message.readInteger(&version) && version == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4096)
        return 0; // the simulator reads at most 4096 bytes of a datagram
    // A fresh controller each time, so that any input reproduces on its own.
    ControllerModel model(0);
    SnmpAgent agent(&model);
    static uint8_t reply[1472 + 64];
    // Bytes past the room must stay untouched.
    std::memset(reply, 0xA5, sizeof reply);
    const int length = agent.handle(data, int(size), reply, 1472);
    checkReply(reply, length, 1472);
    for (size_t i = 1472; i < sizeof reply; ++i)
        FUZZ_CHECK(reply[i] == 0xA5);

    // The same request with little room: the last byte chooses how little.
    const int room = size > 0 ? data[size - 1] : 0;
    std::memset(reply, 0xA5, sizeof reply);
    const int small = agent.handle(data, int(size), reply, room);
    checkReply(reply, small, room);
    for (size_t i = size_t(room); i < sizeof reply; ++i)
        FUZZ_CHECK(reply[i] == 0xA5);
    return 0;
}
