// Sample for the portability check's self-test: every include marked below must be found.
#include <cstdio>
#include <unistd.h> // expect-flagged
#  include <sys/socket.h> // expect-flagged
#include "pthread.h" // expect-flagged
#include <arpa/inet.h> // expect-flagged
#include <netinet/in.h> // expect-flagged
#include <windows.h> // expect-flagged
#include <QUdpSocket>
