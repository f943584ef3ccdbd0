// A page's WebSocket: the handshake on an upgrade the door has admitted, then messages in
// (bounded in size and rate, text only) and out (through a queue that folds a controller's older
// screen or state into its newest, so a page that falls behind costs the server a bounded amount
// and is closed if it stops reading altogether).
#ifndef PAGESOCKET_H
#define PAGESOCKET_H

#include "doorservices.h"
#include "httptypes.h"
#include "pageidentity.h"

// Answers the upgrade on stream and joins the page to the channel as who.
void openPageSocket(PlainStream stream, HttpRequest upgrade,
                    const PageIdentity &who, ConnectionCaps::Ticket ticket,
                    DoorServices *services);
void openPageSocket(TlsStream stream, HttpRequest upgrade,
                    const PageIdentity &who, ConnectionCaps::Ticket ticket,
                    DoorServices *services);

#endif // PAGESOCKET_H
