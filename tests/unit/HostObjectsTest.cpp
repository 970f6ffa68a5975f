// The objects and interfaces at the host boundary: reference counting,
// configuration nodes, and the slot order hosts compile against.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "host/ITraderApi.h"
#include "host/SimpleContractCatalog.h"

namespace kra {
namespace {

std::atomic<int> destroyed{0};

class Probe : public NXSObject {
public:
    explicit Probe(int id, std::vector<int>* order = nullptr) : id(id), order(order) {}
    ~Probe() override {
        ++destroyed;
        if (order != nullptr) order->push_back(id);
    }
    int id;
    std::vector<int>* order;
};

TEST(RefCounting, ReleaseOfTheOnlyReferenceDestroys) {
    destroyed = 0;
    Probe* p = new Probe(1);
    EXPECT_EQ(p->retainCount(), 1u);
    p->release();
    EXPECT_EQ(destroyed, 1);
}

TEST(RefCounting, RetainedObjectOutlivesTheCreatorsRelease) {
    destroyed = 0;
    Probe* p = new Probe(1);
    p->retain();  // the listener keeps it
    p->release();  // the creator lets go
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(p->retainCount(), 1u);
    p->release();
    EXPECT_EQ(destroyed, 1);
}

TEST(RefCounting, ArrayReleasesEachElementOnceInOrderAndSkipsNulls) {
    destroyed = 0;
    std::vector<int> order;
    NXSArray* array = NXSArray::create();
    array->append(new Probe(1, &order));
    array->append(nullptr);
    Probe* kept = new Probe(2, &order);
    array->append(kept);
    array->append(new Probe(3, &order));
    kept->retain();
    EXPECT_EQ(array->count(), 4u);
    EXPECT_EQ(array->itemAs<Probe>(0)->id, 1);
    EXPECT_EQ(array->at(1), nullptr);
    EXPECT_EQ(array->at(99), nullptr);
    array->release();
    EXPECT_EQ(order, (std::vector<int>{1, 3}));
    EXPECT_EQ(kept->retainCount(), 1u);  // lowered by one, still alive
    kept->release();
    EXPECT_EQ(destroyed, 3);
}

TEST(RefCounting, RetainedArrayKeepsItsElements) {
    destroyed = 0;
    NXSArray* array = NXSArray::create();
    array->append(new Probe(1));
    array->retain();
    array->release();
    EXPECT_EQ(destroyed, 0);
    array->release();
    EXPECT_EQ(destroyed, 1);
}

TEST(Errors, CreateCopiesCodeAndMessage) {
    NXSError* e = NXSError::create(1, "");
    EXPECT_EQ(e->code, 1);
    EXPECT_EQ(e->message, "");
    e->release();
    char text[] = "refused";
    e = NXSError::create(2, text);
    text[0] = 'X';
    EXPECT_EQ(e->message, "refused");
    e->release();
}

TEST(Records, DefaultsAndFactories) {
    NXSEntrust* entrust = NXSEntrust::create("IF2412", 3, 12.5);
    EXPECT_EQ(entrust->code, "IF2412");
    EXPECT_EQ(entrust->volume, 3u);
    EXPECT_EQ(entrust->direction, static_cast<NXSCode>('0'));
    EXPECT_EQ(entrust->priceType, static_cast<NXSCode>('1'));
    EXPECT_EQ(entrust->timeCondition, static_cast<NXSCode>('3'));
    EXPECT_EQ(entrust->offsetType, static_cast<NXSCode>('0'));
    EXPECT_TRUE(entrust->exchange.empty());
    entrust->release();
    NXSOrderInfo* order = NXSOrderInfo::create();
    EXPECT_EQ(order->orderState, static_cast<NXSCode>('a'));
    order->release();
    NXSTradeInfo* trade = NXSTradeInfo::create("AU");
    EXPECT_EQ(trade->tradeType, static_cast<NXSCode>('0'));
    trade->release();
    NXSPositionItem* item = NXSPositionItem::create("CU", "USD");
    EXPECT_EQ(item->currency, "USD");
    item->release();
    NXSAccountInfo* account = NXSAccountInfo::create();
    EXPECT_EQ(account->currency, "CNY");
    account->release();
}

TEST(ConfigNode, ReadsTextAndIntegersLikeAtoi) {
    NXSMapNode root;
    root.set("host", "127.0.0.1").set("port", "70000").set("pushmode", "2x").set("bad", "x12");
    EXPECT_EQ(root.kind(), NXSConfigNode::KIND_MAP);
    EXPECT_STREQ(root.child("host")->textValue(), "127.0.0.1");
    EXPECT_EQ(root.child("host")->kind(), NXSConfigNode::KIND_TEXT);
    EXPECT_EQ(root.child("port")->intValue(), 70000);
    EXPECT_EQ(root.child("pushmode")->intValue(), 2);
    EXPECT_EQ(root.child("bad")->intValue(), 0);
    EXPECT_EQ(root.child("missing"), nullptr);
    EXPECT_EQ(root.child("host")->child("x"), nullptr);
    EXPECT_STREQ(root.textValue(), "");
    EXPECT_EQ(root.intValue(), 0);
}

// Index of a virtual function in its vtable, from the Itanium C++ ABI's
// pointer-to-member representation (1 + byte offset in the vtable).
template <typename Member>
std::ptrdiff_t vtableIndex(Member member) {
    static_assert(sizeof(Member) == 2 * sizeof(std::ptrdiff_t), "Itanium member pointer expected");
    std::ptrdiff_t raw;
    std::memcpy(&raw, &member, sizeof raw);
    return (raw - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
}

// A virtual destructor takes two vtable entries (complete and deleting), so
// slot n of an interface with a destructor at slot 0 sits at index n + 1.
TEST(SlotOrder, TraderApiMatchesTheHostContract) {
    EXPECT_EQ(vtableIndex(&ITraderApi::init), 2);
    EXPECT_EQ(vtableIndex(&ITraderApi::release), 3);
    EXPECT_EQ(vtableIndex(&ITraderApi::registerListener), 4);
    EXPECT_EQ(vtableIndex(&ITraderApi::connect), 5);
    EXPECT_EQ(vtableIndex(&ITraderApi::disconnect), 6);
    EXPECT_EQ(vtableIndex(&ITraderApi::isConnected), 7);
    EXPECT_EQ(vtableIndex(&ITraderApi::makeEntrustId), 8);
    EXPECT_EQ(vtableIndex(&ITraderApi::login), 9);
    EXPECT_EQ(vtableIndex(&ITraderApi::logout), 10);
    EXPECT_EQ(vtableIndex(&ITraderApi::orderInsert), 11);
    EXPECT_EQ(vtableIndex(&ITraderApi::orderCancel), 12);
    EXPECT_EQ(vtableIndex(&ITraderApi::queryAccount), 13);
    EXPECT_EQ(vtableIndex(&ITraderApi::queryPositions), 14);
    EXPECT_EQ(vtableIndex(&ITraderApi::queryOrders), 15);
    EXPECT_EQ(vtableIndex(&ITraderApi::queryTrades), 16);
}

TEST(SlotOrder, ListenerMatchesTheHostContract) {
    EXPECT_EQ(vtableIndex(&ITraderListener::onTraderEvent), 0);
    EXPECT_EQ(vtableIndex(&ITraderListener::onLoginResult), 1);
    EXPECT_EQ(vtableIndex(&ITraderListener::onLogoutResult), 2);
    EXPECT_EQ(vtableIndex(&ITraderListener::onEntrustAnswer), 3);
    EXPECT_EQ(vtableIndex(&ITraderListener::onAccountAnswer), 4);
    EXPECT_EQ(vtableIndex(&ITraderListener::onPositionsAnswer), 5);
    EXPECT_EQ(vtableIndex(&ITraderListener::onOrdersAnswer), 6);
    EXPECT_EQ(vtableIndex(&ITraderListener::onTradesAnswer), 7);
    EXPECT_EQ(vtableIndex(&ITraderListener::onOrderPush), 8);
    EXPECT_EQ(vtableIndex(&ITraderListener::onTradePush), 9);
    EXPECT_EQ(vtableIndex(&ITraderListener::onTraderError), 10);
    EXPECT_EQ(vtableIndex(&ITraderListener::getContractCatalog), 11);
    EXPECT_EQ(vtableIndex(&ITraderListener::logMessage), 12);
}

TEST(SlotOrder, CatalogAndObjectsMatchTheHostContract) {
    EXPECT_EQ(vtableIndex(&IContractCatalog::getProduct), 0);
    EXPECT_EQ(vtableIndex(&IContractCatalog::getContract), 3);
    EXPECT_EQ(vtableIndex(&NXSObject::release), 2);
    EXPECT_EQ(vtableIndex(&NXSArray::release), 2);
}

}  // namespace
}  // namespace kra
