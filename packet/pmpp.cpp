// PMPP framing and FCS-16.
#include "ntcippacket.h"
