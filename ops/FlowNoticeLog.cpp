#include "ops/FlowNoticeLog.h"

#include "texts/LogText.h"

namespace hvr {

namespace {

const char* flowDamageText(FlowDamage damage) {
    switch (damage) {
    case FlowDamage::Truncated: return FLOW_DAMAGE_TRUNCATED;
    case FlowDamage::Missing: return FLOW_DAMAGE_MISSING;
    case FlowDamage::Replaced: return FLOW_DAMAGE_REPLACED;
    case FlowDamage::WrongSize: return FLOW_DAMAGE_WRONG_SIZE;
    case FlowDamage::Changed: return FLOW_DAMAGE_CHANGED;
    }
    return FLOW_DAMAGE_WRONG_SIZE;
}

}  // namespace

void logFlowNotices(Reporter& reporter, const FlowNotices& notices) {
    for (const FlowNotice& n : notices) {
        switch (n.kind) {
        case FlowNotice::Kind::Rewritten:
            reporter.log(kra::LOG_LEVEL_ERROR, LOG_FLOW_REWRITTEN, flowDamageText(n.damage), n.path.c_str(),
                         static_cast<long long>(n.pushId));
            break;
        case FlowNotice::Kind::Unavailable:
            reporter.log(kra::LOG_LEVEL_ERROR, LOG_FLOW_UNAVAILABLE, n.path.c_str(), n.reason.c_str());
            break;
        case FlowNotice::Kind::HeldElsewhere:
            reporter.log(kra::LOG_LEVEL_ERROR, LOG_FLOW_HELD, n.path.c_str());
            break;
        }
    }
}

}  // namespace hvr
