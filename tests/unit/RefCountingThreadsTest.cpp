// Reference counts shared between threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "host/NXSObject.h"

namespace kra {
namespace {

std::atomic<int> destroyed{0};

class Probe : public NXSObject {
public:
    ~Probe() override { ++destroyed; }
};

TEST(RefCounting, ConcurrentLastReleasesDestroyExactlyOnce) {
    for (int round = 0; round < 2000; ++round) {
        destroyed = 0;
        Probe* p = new Probe();
        p->retain();
        std::atomic<bool> go{false};
        std::thread a([&] { while (!go) {} p->release(); });
        std::thread b([&] { while (!go) {} p->release(); });
        go = true;
        a.join();
        b.join();
        ASSERT_EQ(destroyed, 1) << "round " << round;
    }
}

}  // namespace
}  // namespace kra
