#include "common/SessionState.h"

#include "common/TradeWords.h"
#include "host/ITraderListener.h"
#include "host/NXSRecords.h"

namespace hvr::tools {

namespace {

// The module's warning for a position whose instrument the host's catalog
// does not know, in UTF-8; the instrument code follows it.
constexpr char LEFT_OUT_POSITION_PREFIX[] = "[TraderHVR]\xe6\x8c\x81\xe4\xbb\x93\xe5\x90\x88\xe7\xba\xa6"
                                            "\xe4\xb8\x8d\xe5\x9c\xa8\xe5\x90\x88\xe7\xba\xa6\xe7\x9b\xae"
                                            "\xe5\xbd\x95\xe4\xb8\xad,\xe5\xb7\xb2\xe7\x95\xa5\xe8\xbf\x87:";

// The module's warning that a login started a new trading day, in UTF-8.
constexpr char NEW_TRADING_DAY_PREFIX[] = "[TraderHVR]\xe4\xba\xa4\xe6\x98\x93\xe6\x97\xa5\xe5\xb7\xb2"
                                          "\xe5\x8f\x98\xe6\x9b\xb4:";

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
}

}  // namespace

bool isNewTradingDayWarning(const std::string& utf8LogText) {
    return utf8LogText.rfind(NEW_TRADING_DAY_PREFIX, 0) == 0;
}

std::string describeNewDayCheck(const NewDayCheckedEvent& c) {
    const std::string day = "new trading day " + std::to_string(c.tradingDate);
    if (c.nothingMissing()) return day + ": nothing missing";
    std::vector<std::string> missed;
    if (c.missingOrders > 0) missed.push_back(countOf(c.missingOrders, "order", "orders"));
    if (c.missingFills > 0) missed.push_back(countOf(c.missingFills, "fill", "fills"));
    std::string text = day + ": ";
    if (!missed.empty()) {
        text += "the pushes missed ";
        for (std::size_t i = 0; i < missed.size(); ++i) text += (i == 0 ? "" : " and ") + missed[i];
        text += ", which the book took from the server's answers";
    }
    if (c.otherDifferences > 0)
        text += std::string(missed.empty() ? "" : "; ") +
                countOf(c.otherDifferences, "other difference", "other differences") + " (listed above)";
    return text;
}

std::optional<std::string> leftOutPositionCode(const std::string& utf8LogText) {
    const std::string prefix = LEFT_OUT_POSITION_PREFIX;
    if (utf8LogText.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    return utf8LogText.substr(prefix.size());
}

std::string describeUnanswered(const Unanswered& u) {
    std::vector<std::string> parts;
    if (!u.orderTags.empty())
        parts.push_back(countOf(u.orderTags.size(), "order", "orders") + " (tag " + joined(u.orderTags) + ")");
    if (!u.cancelOrderIds.empty())
        parts.push_back(countOf(u.cancelOrderIds.size(), "cancel", "cancels") + " (of order " +
                        joined(u.cancelOrderIds) + ")");
    if (!u.queries.empty()) {
        std::vector<std::string> words;
        for (QueryKind kind : u.queries) words.push_back(queryKindWord(kind));
        parts.push_back(countOf(u.queries.size(), "query", "queries") + " (" + joined(words) + ")");
    }
    if (u.reconciliations > 0) parts.push_back(countOf(u.reconciliations, "reconciliation", "reconciliations"));
    std::string text;
    if (!parts.empty()) {
        std::string list;
        for (const std::string& part : parts) list += (list.empty() ? "" : "; ") + part;
        text = countOf(u.requests(), "request", "requests") + " unanswered: " + list;
    }
    if (!u.doubts.empty()) {
        std::vector<std::string> doubts;
        for (const Doubt& d : u.doubts) doubts.push_back(describeDoubt(d));
        text += (text.empty() ? "" : "; ") + countOf(u.doubts.size(), "request", "requests") +
                " still in doubt: " + joined(doubts);
    }
    return text;
}

const SessionState::Desk& SessionState::desk(const std::string& user) const {
    static const Desk none;
    auto it = desks.find(user);
    return it == desks.end() ? none : it->second;
}

void SessionState::sendCatchUpMarker(SessionStep& step) {
    router.sent(QueryKind::Account, Asker{sessionUser, 0, true});
    step.catchUpMarker = true;
}

SessionStep::Login SessionState::sendLogin(const Credentials& credentials, bool isAutomatic, bool logoutFirst,
                                           std::optional<Credentials> restore) {
    sentLogins.push_back(SentLogin{credentials, isAutomatic, std::move(restore)});
    return SessionStep::Login{credentials, logoutFirst};
}

LoginDecision SessionState::login(Credentials credentials) {
    LoginDecision decision;
    if (!isConnected) {
        wanted = std::move(credentials);
        decision.kind = LoginDecision::AtConnect;
        return decision;
    }
    if (isLoggedIn && automatic && proven && *proven == credentials) {
        decision.kind = LoginDecision::AlreadyLoggedIn;
        return decision;
    }
    const bool switching = isLoggedIn && sessionUser != credentials.user;
    // The previous login worked: a refusal of these puts it back.
    std::optional<Credentials> restore;
    if (isLoggedIn && automatic && proven) restore = proven;
    wanted = credentials;
    decision.step.login = sendLogin(credentials, false, switching, std::move(restore));
    decision.step.events.push_back(LoginSentEvent{credentials.user, false, switching ? sessionUser : std::string()});
    if (switching) isLoggedIn = false;  // nothing goes out for the previous user from here on
    return decision;
}

void SessionState::forgetLogin() {
    proven.reset();
    wanted.reset();
    automatic = false;
}

void SessionState::loggedOut() { isLoggedIn = false; }

void SessionState::insertSent(const std::string& tag, const EntrustRecord& order) {
    sentOrders[tag].push_back(SentOrder{sessionUser, order, connection});
}

void SessionState::insertWithdrawn(const std::string& tag) {
    auto it = sentOrders.find(tag);
    if (it == sentOrders.end()) return;
    it->second.pop_back();
    if (it->second.empty()) sentOrders.erase(it);
}

void SessionState::cancelSent(const std::string& orderId) {
    sentCancels.push_back(SentCancel{sessionUser, orderId, connection});
}

void SessionState::cancelWithdrawn() {
    if (!sentCancels.empty()) sentCancels.pop_back();
}

void SessionState::querySent(QueryKind kind) { router.sent(kind, Asker{sessionUser, 0}); }

void SessionState::queryWithdrawn(QueryKind kind) { router.withdrawLast(kind); }

uint64_t SessionState::startReconcile(bool afterLogin, SteadyTime now) {
    const uint64_t id = ++lastReconcile;
    desk(sessionUser).reconciler.start(id, afterLogin, now);
    router.sent(QueryKind::Orders, Asker{sessionUser, id});
    router.sent(QueryKind::Trades, Asker{sessionUser, id});
    pendingReconciles.insert(id);
    return id;
}

std::optional<ReconcileResult> SessionState::takeResult(uint64_t id) {
    auto it = keptResults.find(id);
    if (it == keptResults.end()) return std::nullopt;
    ReconcileResult result = std::move(it->second);
    keptResults.erase(it);
    return result;
}

std::vector<Doubt> SessionState::cutOff(uint64_t upTo) {
    std::vector<Doubt> cut;
    for (auto it = sentOrders.begin(); it != sentOrders.end();) {
        std::deque<SentOrder>& sent = it->second;
        while (!sent.empty() && sent.front().connection <= upTo) {
            Doubt d;
            d.kind = Doubt::Kind::Order;
            d.user = sent.front().user;
            d.tag = it->first;
            d.order = sent.front().order;
            d.connection = sent.front().connection;
            cut.push_back(d);
            sent.pop_front();
        }
        it = sent.empty() ? sentOrders.erase(it) : std::next(it);
    }
    while (!sentCancels.empty() && sentCancels.front().connection <= upTo) {
        Doubt d;
        d.kind = Doubt::Kind::Cancel;
        d.user = sentCancels.front().user;
        d.orderId = sentCancels.front().orderId;
        d.connection = sentCancels.front().connection;
        cut.push_back(d);
        sentCancels.pop_front();
    }
    for (const Doubt& d : cut) desk(d.user).doubts.push_back(d);
    return cut;
}

void SessionState::finishReconcile(const std::string& user, ReconcileResult result, SessionStep& step) {
    const uint64_t id = result.id;
    pendingReconciles.erase(id);
    if (result.interrupted) {
        interruptedReconciles.insert(id);
    } else {
        ++tally.reconciliations;
        tally.differences += result.differences.size();
    }
    if (awaitedResults.erase(id) != 0) keptResults[id] = result;
    const bool completed = !result.interrupted;
    NewDayCheckedEvent check;
    Desk& d = desk(user);
    if (completed && !d.newDayWarning.empty()) {
        check.user = user;
        check.tradingDate = result.tradingDate;
        check.warning = std::move(d.newDayWarning);
        d.newDayWarning.clear();
        // What the book lacked after the login's catch-up is what the pushes
        // missed, whether reported as a difference or loaded into a new book.
        check.missingOrders = result.loadedOrders;
        check.missingFills = result.loadedFills;
        for (const Difference& difference : result.differences) {
            if (difference.kind == Difference::Kind::MissingOrder) ++check.missingOrders;
            else if (difference.kind == Difference::Kind::MissingFill) ++check.missingFills;
            else ++check.otherDifferences;
        }
    }
    step.events.push_back(ReconciledEvent{std::move(result), user});
    if (!check.warning.empty()) step.events.push_back(std::move(check));
    if (completed) resolveDoubts(user, step);
}

void SessionState::resolveDoubts(const std::string& user, SessionStep& step) {
    Desk& d = desk(user);
    for (const Doubt& doubt : d.doubts) {
        step.events.push_back(DoubtResolvedEvent{resolveDoubt(doubt, d.reconciler.book)});
        ++tally.doubtsResolved;
    }
    d.doubts.clear();
}

SessionStep SessionState::connectionEvent(int kind, int code, SteadyTime now) {
    SessionStep step;
    step.events.push_back(ConnectionEvent{kind, code});
    if (kind == 0 && code == 0) {
        isConnected = true;
        ++tally.connects;
        ++connection;
        newDayWarning.clear();
        for (auto& [user, d] : desks) d.reconciler.connected();
        if (wanted) {
            std::optional<Credentials> restore;
            if (automatic && proven && !(*proven == *wanted)) restore = proven;
            step.login = sendLogin(*wanted, false, false, std::move(restore));
            step.events.push_back(LoginSentEvent{wanted->user, false, {}});
        } else if (automatic && proven) {
            step.login = sendLogin(*proven, true, false, std::nullopt);
            step.events.push_back(LoginSentEvent{proven->user, true, {}});
        }
        return step;
    }
    if (kind == 0) {
        ++tally.connectFailures;
        tally.lastConnectError = code;
        if (!isLoggedIn) isFailing = true;
        return step;
    }
    isConnected = false;
    isLoggedIn = false;
    catchingUp = false;
    sentLogins.clear();
    ++tally.connectionsEnded;
    for (auto& [user, d] : desks) {
        for (ReconcileResult& result : d.reconciler.connectionEnded(now)) finishReconcile(user, std::move(result), step);
    }
    InDoubtEvent cut;
    cut.lostQueries = router.clear();
    cut.doubts = cutOff(connection);
    if (!isClosing && (!cut.doubts.empty() || !cut.lostQueries.empty())) step.events.push_back(std::move(cut));
    return step;
}

SessionStep SessionState::loginResult(bool succeeded, const std::string& message, uint32_t tradingDate,
                                      SteadyTime now) {
    SessionStep step;
    ++tally.loginResults;
    std::optional<SentLogin> sent;
    if (!sentLogins.empty()) {
        sent = std::move(sentLogins.front());
        sentLogins.pop_front();
    }
    if (sent && wanted && *wanted == sent->credentials) wanted.reset();  // answered: never sent again
    if (succeeded) {
        ++tally.logins;
        isLoggedIn = true;
        isFailing = false;
        if (sent) {
            proven = sent->credentials;
            automatic = true;
            sessionUser = sent->credentials.user;
        }
        Desk& d = desk(sessionUser);
        d.reconciler.loggedIn(tradingDate);
        step.events.push_back(LoginEvent{true, {}, tradingDate, sessionUser});
        // Whatever was sent before this login and is still unanswered went
        // out on an earlier connection: its answer is not coming.
        std::vector<Doubt> late = cutOff(connection - 1);
        if (!late.empty() && !isClosing) step.events.push_back(InDoubtEvent{std::move(late), {}});
        if (!newDayWarning.empty()) {
            d.newDayWarning = std::move(newDayWarning);
            newDayWarning.clear();
        }
        catchingUp = true;
        if (reconcileAfterLogin || !d.doubts.empty() || !d.newDayWarning.empty())
            step.reconcile = startReconcile(true, now);
        else
            sendCatchUpMarker(step);
        return step;
    }
    ++tally.loginRefusals;
    isLoggedIn = false;
    isFailing = true;
    LoginRefusedEvent refused;
    refused.message = message;
    if (sent) {
        refused.user = sent->credentials.user;
        refused.automatic = sent->automatic;
        if (sent->automatic && proven && *proven == sent->credentials) automatic = false;
    }
    step.events.push_back(LoginEvent{false, message, tradingDate, refused.user});
    if (sent && sent->restore && automatic && isConnected) {
        refused.restoringUser = sent->restore->user;
        step.login = sendLogin(*sent->restore, true, false, std::nullopt);
    }
    refusal = refused;
    step.events.push_back(refused);
    if (step.login) step.events.push_back(LoginSentEvent{step.login->credentials.user, true, {}});
    return step;
}

SessionStep SessionState::entrustAnswer(EntrustRecord entrust, bool refused, int32_t code, std::string text) {
    SessionStep step;
    catchingUp = false;
    std::string user = sessionUser;
    bool expected = false;
    std::optional<DoubtResolution> resolved;
    auto it = sentOrders.find(entrust.userTag);
    if (it != sentOrders.end()) {
        user = it->second.front().user;
        it->second.pop_front();
        if (it->second.empty()) sentOrders.erase(it);
        expected = true;
    } else {
        // An order in doubt may still be answered on a later connection.
        for (auto& [deskUser, d] : desks) {
            for (auto doubt = d.doubts.begin(); doubt != d.doubts.end(); ++doubt) {
                if (doubt->kind != Doubt::Kind::Order || doubt->tag != entrust.userTag) continue;
                resolved = resolveByAnswer(*doubt, entrust, !refused);
                user = deskUser;
                d.doubts.erase(doubt);
                break;
            }
            if (resolved) break;
        }
        expected = resolved.has_value();
        if (!expected) ++tally.unmatchedAnswers;
    }
    if (refused) {
        ++tally.refusedOrders;
    } else {
        ++tally.acceptedOrders;
        desk(user).lastOrderId = entrust.entrustId;
    }
    step.events.push_back(EntrustAnswerEvent{std::move(entrust), refused, code, std::move(text), expected});
    if (resolved) {
        step.events.push_back(DoubtResolvedEvent{std::move(*resolved)});
        ++tally.doubtsResolved;
    }
    return step;
}

SessionStep SessionState::cancelRefused(int32_t code, std::string text) {
    SessionStep step;
    catchingUp = false;
    std::string orderId;
    if (!sentCancels.empty()) {
        orderId = sentCancels.front().orderId;
        sentCancels.pop_front();
    }
    step.events.push_back(CancelRefusedEvent{code, std::move(text), std::move(orderId)});
    return step;
}

SessionStep SessionState::accountsAnswer(std::vector<AccountRecord> accounts) {
    SessionStep step;
    catchingUp = false;
    const std::optional<Asker> asker = router.answered(QueryKind::Account);
    if (asker && asker->marker) return step;  // the catch-up marker's: nobody's answer
    step.events.push_back(AccountsEvent{std::move(accounts)});
    return step;
}

SessionStep SessionState::positionsAnswer(std::vector<PositionRecord> positions) {
    SessionStep step;
    catchingUp = false;
    const std::optional<Asker> asker = router.answered(QueryKind::Positions);
    desk(asker ? asker->user : sessionUser).reconciler.book.setServerPositions(serverPositions(positions));
    PositionsEvent event{std::move(positions), {}};
    event.leftOut.swap(leftOutPositions);
    step.events.push_back(std::move(event));
    return step;
}

SessionStep SessionState::ordersAnswer(std::vector<OrderRecord> orders) {
    SessionStep step;
    catchingUp = false;
    const std::optional<Asker> asker = router.answered(QueryKind::Orders);
    if (asker && asker->reconciliation != 0) {
        // A reconciliation's answer goes to the book of the user who asked.
        desk(asker->user).reconciler.takeOrders(asker->reconciliation, bookOrders(orders));
        return step;
    }
    step.events.push_back(OrdersEvent{std::move(orders)});
    return step;
}

SessionStep SessionState::tradesAnswer(std::vector<TradeRecord> trades, SteadyTime now) {
    SessionStep step;
    catchingUp = false;
    const std::optional<Asker> asker = router.answered(QueryKind::Trades);
    if (asker && asker->reconciliation != 0) {
        std::optional<ReconcileResult> result =
            desk(asker->user).reconciler.takeFills(asker->reconciliation, bookFills(trades), now);
        if (result) finishReconcile(asker->user, std::move(*result), step);
        return step;
    }
    step.events.push_back(TradesEvent{std::move(trades)});
    return step;
}

SessionStep SessionState::orderPush(OrderRecord order) {
    SessionStep step;
    ++tally.orderPushes;
    const bool duplicate =
        desk(sessionUser).reconciler.book.applyOrder(bookOrder(order, OrderSource::Push)) == Applied::Duplicate;
    if (duplicate) ++tally.duplicatePushes;
    orderStates[order.orderId] += static_cast<char>(order.orderState);
    if (kra::isFinalOrderState(order.orderState)) {
        // A cancel that works is never answered: the push that ends the order
        // settles it.
        for (auto it = sentCancels.begin(); it != sentCancels.end(); ++it) {
            if (it->user == sessionUser && it->orderId == order.orderId) {
                sentCancels.erase(it);
                break;
            }
        }
    }
    step.events.push_back(OrderPushEvent{std::move(order), duplicate, catchingUp});
    return step;
}

SessionStep SessionState::tradePush(TradeRecord trade) {
    SessionStep step;
    ++tally.tradePushes;
    const bool duplicate = desk(sessionUser).reconciler.book.applyFill(bookFill(trade)) == Applied::Duplicate;
    if (duplicate) ++tally.duplicatePushes;
    step.events.push_back(TradePushEvent{std::move(trade), duplicate, catchingUp});
    return step;
}

SessionStep SessionState::logLine(int level, std::string text) {
    SessionStep step;
    if (level == kra::LOG_LEVEL_WARN) {
        if (std::optional<std::string> code = leftOutPositionCode(text)) leftOutPositions.push_back(*code);
        if (isNewTradingDayWarning(text)) newDayWarning = text;
        // A warning at a login (a new trading day, say) goes with the
        // reconciliation that follows it.
        for (auto& [user, d] : desks) d.reconciler.noteWarning(text);
    }
    step.events.push_back(LogEvent{level, std::move(text)});
    return step;
}

LoginStatus SessionState::loginStatus() const {
    if (isLoggedIn) return LoginStatus::LoggedIn;
    if (!sentLogins.empty() || wanted || (automatic && proven)) return LoginStatus::Expected;
    if (refusal && isFailing) return LoginStatus::Refused;
    return LoginStatus::None;
}

std::optional<Credentials> SessionState::knownCredentials() const {
    if (wanted) return wanted;
    if (automatic && proven) return proven;
    return std::nullopt;
}

bool SessionState::answersAwaited() const {
    return !sentOrders.empty() || !sentCancels.empty() || !router.hostQueries().empty() || !pendingReconciles.empty();
}

std::size_t SessionState::insertsAwaited() const {
    std::size_t count = 0;
    for (const auto& [tag, sent] : sentOrders) count += sent.size();
    return count;
}

Unanswered SessionState::unanswered() const {
    Unanswered u;
    for (const auto& [tag, sent] : sentOrders) u.orderTags.insert(u.orderTags.end(), sent.size(), tag);
    for (const SentCancel& c : sentCancels) u.cancelOrderIds.push_back(c.orderId);
    u.queries = router.hostQueries();
    u.reconciliations = pendingReconciles.size();
    u.doubts = doubts();
    return u;
}

std::vector<Doubt> SessionState::doubts() const {
    std::vector<Doubt> all;
    for (const auto& [user, d] : desks) all.insert(all.end(), d.doubts.begin(), d.doubts.end());
    return all;
}

bool SessionState::reconciling() const { return desk(sessionUser).reconciler.busy(); }

std::optional<char> SessionState::latestState(const std::string& orderId) const {
    auto it = orderStates.find(orderId);
    if (it == orderStates.end() || it->second.empty()) return std::nullopt;
    return it->second.back();
}

bool SessionState::hasSeenState(const std::string& orderId, char state) const {
    auto it = orderStates.find(orderId);
    return it != orderStates.end() && it->second.find(state) != std::string::npos;
}

}  // namespace hvr::tools
