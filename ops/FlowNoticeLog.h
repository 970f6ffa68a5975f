// The lines that tell the host what the flow record had to do about its file
// (rewritten, not writable, held by another), one per notice, at level 104.
//
// Thread safety: any thread (see Reporter).
#pragma once

#include "ops/FlowRecord.h"
#include "ops/Reporter.h"

namespace hvr {

void logFlowNotices(Reporter& reporter, const FlowNotices& notices);

}  // namespace hvr
