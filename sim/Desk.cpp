#include "Desk.h"

#include <optional>

#include "EventLog.h"
#include "Fixed.h"
#include "PacketCodec.h"

namespace hvr::sim {

namespace {

std::string describeOrder(const exchg::Order& o) {
    return std::string(o.direct() == exchg::DT_Long ? "buy " : "sell ") +
           (o.offset() == exchg::OF_Open ? "open " : o.offset() == exchg::OF_Close ? "close " : "close-today ") +
           std::to_string(o.qty()) + " " + o.instrument() +
           (o.pxtype() == exchg::PT_AnyPrice ? " at any price" : " @ " + formatFixed(o.price()));
}

}  // namespace

Desk::Desk(Book& book, Store& store, Options options)
    : book_(book), store_(store), options_(std::move(options)), storeHealth_(options_.storeRetryInterval) {}

void Desk::attach(DeskClient& client) { clients_[&client]; }

void Desk::detach(DeskClient& client) { clients_.erase(&client); }

uint32_t Desk::accountOf(DeskClient& client) const {
    auto it = clients_.find(&client);
    return it == clients_.end() ? 0 : it->second.accountId;
}

bool Desk::handle(DeskClient& client, const PacketHeader& header, const std::string& payload) {
    Login& login = clients_[&client];
    switch (header.functionCode) {
        case FC_CMD_LOGIN:
            return onLogin(client, login, header, payload);
        case FC_CMD_ORDER_INSERT:
            return onOrderInsert(client, login, header, payload);
        case FC_CMD_ORDER_CANCEL:
            return onOrderCancel(client, login, header, payload);
        case FC_QRY_ORDERS:
        case FC_QRY_TRADES:
        case FC_QRY_POSITION:
        case FC_QRY_ACCOUNT_INFO:
            onQuery(client, login, header);
            return true;
        case FC_HEART_BEAT:
            client.sendPacket(encodePacket(FC_HEART_BEAT, header.requestNo, std::string(), options_.compressThreshold));
            return true;
        case FC_CMD_LOGOUT:
            if (login.accountId != 0) logEvent(client.peerName() + " logout " + login.user);
            login = Login();
            return true;
        default:
            return true;  // other function codes are ignored
    }
}

bool Desk::onLogin(DeskClient& client, Login& login, const PacketHeader& header, const std::string& payload) {
    exchg::ReqLogin request;
    if (!request.ParseFromString(payload)) return false;
    exchg::AnsLogin answer;
    answer.set_tradingdate(book_.tradingDate());
    login = Login();
    const bool refused = options_.faults && options_.faults->refusesLogins();
    const uint32_t accountId = refused ? 0 : book_.authenticate(request.username(), request.password());
    if (accountId == 0) {
        answer.set_result(exchg::EC_WRONG_PASSWORD);
        answer.set_message(refused ? "logins are refused by this server" : "wrong user name or password");
        logEvent(client.peerName() + " login refused for \"" + request.username() + "\": " + answer.message());
        send(client, FC_CMD_LOGIN, header.requestNo, answer);
        return true;
    }
    // The session id is saved before it is handed out: one that a restart
    // could issue again would repeat entrust tags.
    uint32_t sessionId = 0;
    if (mayWrite()) {
        sessionId = book_.issueSessionId();
        if (!commit()) sessionId = 0;
    }
    if (sessionId == 0) {
        answer.set_result(exchg::EC_DB_ERROR);
        answer.set_message(storeHealth_.refusal());
        logEvent(client.peerName() + " login refused for \"" + request.username() + "\": " + answer.message());
        send(client, FC_CMD_LOGIN, header.requestNo, answer);
        return true;
    }
    login.accountId = accountId;
    login.user = request.username();
    answer.set_result(exchg::EC_None);
    answer.set_message("login ok");
    answer.set_sessionid(sessionId);
    const std::vector<PushRecord> replay = book_.replayPushes(accountId, request.pushid());
    logEvent(client.peerName() + " login ok " + login.user + " session " + std::to_string(answer.sessionid()) +
             ", resume from push " + std::to_string(request.pushid()) + ", " + std::to_string(replay.size()) +
             " replayed");
    send(client, FC_CMD_LOGIN, header.requestNo, answer);
    for (const PushRecord& push : replay) sendPush(client, push);
    return true;
}

bool Desk::onOrderInsert(DeskClient& client, const Login& login, const PacketHeader& header,
                         const std::string& payload) {
    exchg::ReqOrderInsert request;
    if (!request.ParseFromString(payload)) return false;
    Book::InsertOutcome outcome;
    bool saved = false;
    if (login.accountId == 0 || mayWrite()) {  // a refusal for not being logged in changes nothing
        outcome = book_.insertOrder(login.accountId, request);
        saved = commit();
    }
    if (!saved) {
        outcome.answer = insertAnswerEchoing(request);
        outcome.answer.set_result(exchg::EC_DB_ERROR);
        outcome.answer.set_message(storeHealth_.refusal());
        outcome.pushes.clear();
    }
    const exchg::AnsOrderInsert& answer = outcome.answer;
    if (answer.result() == exchg::EC_None) {
        logEvent(client.peerName() + " order " + std::to_string(answer.orderid()) + " accepted: " + login.user +
                 " " + describeOrder(*book_.order(answer.orderid())));
    } else {
        logEvent(client.peerName() + " order refused (" + std::to_string(answer.result()) + "): " + answer.message());
    }
    send(client, FC_CMD_ORDER_INSERT, header.requestNo, answer);
    route(outcome.pushes);
    return true;
}

bool Desk::onOrderCancel(DeskClient& client, const Login& login, const PacketHeader& header,
                         const std::string& payload) {
    exchg::ReqOrderCancel request;
    if (!request.ParseFromString(payload)) return false;
    Book::CancelOutcome outcome;
    bool saved = false;
    if (login.accountId == 0 || mayWrite()) {
        outcome = book_.cancelOrder(login.accountId, request.orderid());
        saved = commit();
    }
    if (!saved) {
        outcome = Book::CancelOutcome();
        outcome.answer.set_orderid(request.orderid());
        outcome.answer.set_result(exchg::EC_DB_ERROR);
        outcome.answer.set_message(storeHealth_.refusal());
        outcome.answer.set_usertag("");
    }
    const exchg::AnsOrderCancel& answer = outcome.answer;
    logEvent(client.peerName() + " cancel of order " + std::to_string(request.orderid()) +
             (answer.result() == exchg::EC_None
                  ? std::string(" done")
                  : " refused (" + std::to_string(answer.result()) + "): " + answer.message()));
    send(client, FC_CMD_ORDER_CANCEL, header.requestNo, answer);
    route(outcome.pushes);
    return true;
}

void Desk::onQuery(DeskClient& client, const Login& login, const PacketHeader& header) {
    switch (header.functionCode) {
        case FC_QRY_ORDERS: {
            exchg::OrderList list;
            book_.listOrders(login.accountId, list);
            send(client, FC_QRY_ORDERS, header.requestNo, list);
            break;
        }
        case FC_QRY_TRADES: {
            exchg::TradeList list;
            book_.listTrades(login.accountId, list);
            send(client, FC_QRY_TRADES, header.requestNo, list);
            break;
        }
        case FC_QRY_POSITION: {
            exchg::PositionList list;
            book_.listPositions(login.accountId, list);
            send(client, FC_QRY_POSITION, header.requestNo, list);
            break;
        }
        default: {
            exchg::AnsAccountInfo info;
            book_.accountInfo(login.accountId, info);
            send(client, FC_QRY_ACCOUNT_INFO, header.requestNo, info);
            break;
        }
    }
}

void Desk::moveLastPrice(const std::string& code, int64_t last) {
    if (!storeHealth_.mayTry(options_.clock())) return;
    std::vector<PushRecord> pushes = book_.setLastPrice(code, last);
    if (commit()) route(pushes);
}

void Desk::send(DeskClient& client, uint16_t functionCode, uint32_t requestNo,
                const google::protobuf::MessageLite& message) {
    client.sendPacket(encodePacket(functionCode, requestNo, message.SerializeAsString(), options_.compressThreshold));
}

void Desk::sendPush(DeskClient& client, const PushRecord& push) {
    exchg::PushMessage message;
    message.set_pushid(push.pushId);
    message.set_mtype(push.mtype);
    message.set_data(push.data);
    send(client, FC_PUSH_MESSAGE, 0, message);
}

void Desk::route(const std::vector<PushRecord>& pushes) {
    for (const PushRecord& push : pushes) {
        if (push.mtype == FC_PUSH_TRADE) {
            exchg::Trade trade;
            trade.ParseFromString(push.data);
            logEvent("fill: trade " + std::to_string(trade.tradeid()) + " of order " +
                     std::to_string(trade.orderid()) + ", " + std::to_string(trade.qty()) + " " + trade.instrument() +
                     " @ " + formatFixed(trade.price()));
        }
        for (auto& [client, login] : clients_)
            if (login.accountId == push.accountId) sendPush(*client, push);
    }
}

bool Desk::mayWrite() {
    if (storeHealth_.mayTry(options_.clock())) return true;
    storeHealth_.refusedWithoutTrying();
    return false;
}

bool Desk::commit() {
    const BookChanges changes = book_.takeChanges();
    if (changes.empty()) return true;
    std::optional<std::string> failure = options_.faults ? options_.faults->saveFailure() : std::nullopt;
    if (!failure) {
        try {
            store_.save(book_, changes);
        } catch (const std::exception& saveError) {
            failure = saveError.what();
        }
    }
    if (failure) {
        try {
            book_.revert(changes, store_.readRows(changes));
        } catch (const std::exception& readError) {
            throw std::runtime_error("cannot save the trading day (" + *failure + ") nor read back the saved one (" +
                                     readError.what() + "): stopping, so that nothing unsaved is reported");
        }
        logError(storeHealth_.failed(options_.clock(), *failure));
        return false;
    }
    if (const auto recovered = storeHealth_.saved(options_.clock())) logEvent(*recovered);
    return true;
}

}  // namespace hvr::sim
