#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/com_object.h"
#include "platform/com_ptr.h"
#include "platform/dshow.h"
#include "tests/support/fake_filter.h"

using namespace platform;
using testsupport::FakeFilterOptions;
using testsupport::IFakeTuner;
using testsupport::MakeFakeFilter;
using testsupport::StateLog;

namespace {

class Tracked final : public ComObject<IPersist> {
  public:
    explicit Tracked(std::atomic<int>& alive) : m_alive(alive) { ++m_alive; }
    ~Tracked() override { --m_alive; }
    HRESULT GetClassID(CLSID* clsid) override {
        *clsid = GUID_NULL;
        return S_OK;
    }

  private:
    std::atomic<int>& m_alive;
};

// The count an object has, read without changing it.
ULONG CountOf(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

TEST(ComPtr, CopiesMovesAndResetsKeepTheCountBalanced) {
    std::atomic<int> alive{0};
    {
        ComPtr<Tracked> first = MakeComObject<Tracked>(alive);
        EXPECT_EQ(CountOf(first.Get()), 1u);
        ComPtr<Tracked> copy = first;
        EXPECT_EQ(CountOf(first.Get()), 2u);
        ComPtr<Tracked> moved = std::move(copy);
        EXPECT_FALSE(copy);
        EXPECT_EQ(CountOf(first.Get()), 2u);
        moved = first;
        EXPECT_EQ(CountOf(first.Get()), 2u);
        moved = nullptr;
        EXPECT_EQ(CountOf(first.Get()), 1u);

        Tracked* raw = first.Detach();
        EXPECT_EQ(alive, 1);
        ComPtr<Tracked> adopted;
        adopted.Attach(raw);
        EXPECT_EQ(CountOf(raw), 1u);
    }
    EXPECT_EQ(alive, 0);
}

TEST(ComPtr, AsFindsTheInterfaceChainAndSharesOneIdentity) {
    std::atomic<int> alive{0};
    ComPtr<Tracked> object = MakeComObject<Tracked>(alive);
    ComPtr<IPersist> persist;
    ASSERT_EQ(object.As(&persist), S_OK);
    ComPtr<IUnknown> viaObject = object.As<IUnknown>();
    ComPtr<IUnknown> viaPersist = persist.As<IUnknown>();
    EXPECT_TRUE(viaObject);
    EXPECT_EQ(viaObject.Get(), viaPersist.Get());
    EXPECT_EQ(CountOf(object.Get()), 4u);
}

TEST(ComPtr, RefusedInterfaceLeavesNullAndNoReference) {
    StateLog log;
    auto refusing = MakeFakeFilter("refusing", log, {.offersTuner = false});
    auto offering = MakeFakeFilter("offering", log, {});
    ComPtr<IBaseFilter> refusingFilter = refusing;
    ComPtr<IBaseFilter> offeringFilter = offering;

    ComPtr<IFakeTuner> tuner;
    EXPECT_EQ(refusingFilter.As(&tuner), E_NOINTERFACE);
    EXPECT_FALSE(tuner);
    EXPECT_EQ(CountOf(refusingFilter.Get()), 2u);
    void* raw = &tuner;
    EXPECT_EQ(refusingFilter->QueryInterface(IID_IPin, &raw), E_NOINTERFACE);
    EXPECT_EQ(raw, nullptr);

    ASSERT_EQ(offeringFilter.As(&tuner), S_OK);
    EXPECT_EQ(tuner->Tune(183008), S_OK);
    EXPECT_EQ(offering->tunedKhz, 183008u);
    // A private interface reaches the same object and the same count.
    EXPECT_EQ(tuner.As<IBaseFilter>().Get(), offeringFilter.Get());
    EXPECT_EQ(CountOf(offeringFilter.Get()), 3u);
}

TEST(ComObject, ConcurrentAddRefAndReleaseFreeExactlyOnce) {
    std::atomic<int> alive{0};
    ComPtr<Tracked> object = MakeComObject<Tracked>(alive);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([shared = object] {
            for (int i = 0; i < 10000; ++i) {
                ComPtr<Tracked> copy = shared;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(CountOf(object.Get()), 1u);
    object = nullptr;
    EXPECT_EQ(alive, 0);
}

}  // namespace
