// What a link counts from its start: requests, the replies it used or refused, the polls left
// unanswered, keys. The engine keeps them; the web server hands them on whole to the pages'
// words and to /metrics, which tell a link's state from how they move.
#ifndef LINKCOUNTERS_H
#define LINKCOUNTERS_H

#include <cstdint>

struct LinkCounters
{
    uint64_t requests = 0;
    uint64_t accepted = 0;
    // Datagrams from the controller that the reply rules refused; lastError says why.
    uint64_t refused = 0;
    // Polls whose reply did not come within the link's wait.
    uint64_t noAnswer = 0;
    // Replies that came after their wait but answered one of the link's last requests: used
    // (and in accepted or keysAnswered too).
    uint64_t late = 0;
    // Datagrams from any other address or port to a socket of the link's own (a second link to
    // the same controller has one): dropped unread. Those to the shared socket are the engine's
    // (LinkEngine::strangerDatagrams).
    uint64_t foreign = 0;
    // Datagrams from the controller that answer nothing still open: a doubled reply, one to a
    // request long gone, or anything while nothing was asked.
    uint64_t unexpected = 0;
    uint64_t keysSent = 0;
    uint64_t keysAnswered = 0;
};

#endif // LINKCOUNTERS_H
