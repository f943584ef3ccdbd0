// BER value codecs and OID text.
#include "ntcippacket.h"
