// The order every outbound benchmark sends, and its packets as they travel.
#pragma once

#include <string>

#include "host/NXSRecords.h"

namespace hvr::bench {

// A limit buy of one IF2412 at 3500.2 with a user tag, as a host enters it.
void fillEntrust(kra::NXSEntrust& entrust, unsigned thread);

// The trader's request packet for that order (header + ReqOrderInsert).
std::string orderRequestPacket(const kra::NXSEntrust& entrust);

// The server's answer packet to it (header + AnsOrderInsert, accepted).
std::string orderAnswerPacket(const kra::NXSEntrust& entrust);

}  // namespace hvr::bench
