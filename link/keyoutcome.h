// What became of a key handed to a link: one type from the engine that sends it to the page
// and the audit trail that tell it, put into words only there.
#ifndef KEYOUTCOME_H
#define KEYOUTCOME_H

enum class KeyOutcome {
    Answered, // the controller answered its SetRequest
    NoAnswer, // sent, and no answer came in time: it may have reached the controller
    Dropped,  // never sent; the reason says why
};

#endif // KEYOUTCOME_H
