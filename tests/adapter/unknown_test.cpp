// Reference counting and interface lookup of the adapter object, with and
// without an outer object.
#include "adapter_fixture.h"

namespace adaptertest {
namespace {

// An outer object that only counts what reaches it.
struct CountingOuter : IUnknown {
  LONG refs = 1;
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID* out) override {
    *out = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
};

std::size_t LiveObjects(host::Kernel& kernel) {
  std::size_t n = 0;
  for (const auto& block : kernel.GetPool().Live()) n += block.tag == PoolTagObject;
  return n;
}

TEST_F(AdapterTest, OneCountForEveryFaceAndDestructionExactlyOnce) {
  PUNKNOWN unknown = nullptr;
  ASSERT_EQ(NewAdapterCommon(&unknown, GUID_NULL, nullptr, NonPagedPool), STATUS_SUCCESS);
  ASSERT_EQ(LiveObjects(GetKernel()), 1u);

  PVOID common = nullptr, viaUnknown = nullptr, power = nullptr, other = reinterpret_cast<PVOID>(1);
  ASSERT_EQ(unknown->QueryInterface(IID_IAdapterCommon, &common), STATUS_SUCCESS);
  ASSERT_EQ(unknown->QueryInterface(IID_IUnknown, &viaUnknown), STATUS_SUCCESS);
  EXPECT_EQ(common, viaUnknown) << "IUnknown yields the first face";
  EXPECT_EQ(common, static_cast<PVOID>(unknown));
  ASSERT_EQ(unknown->QueryInterface(IID_IAdapterPowerManagement, &power), STATUS_SUCCESS);
  EXPECT_NE(power, common);
  EXPECT_EQ(unknown->QueryInterface(IID_IInterruptSync, &other), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(other, nullptr);

  // 1 (creation) + 3 queries; the failed one added nothing. Both faces reach one count.
  EXPECT_EQ(static_cast<PADAPTERPOWERMANAGEMENT>(power)->AddRef(), 5u);
  EXPECT_EQ(static_cast<PADAPTERCOMMON>(common)->Release(), 4u);
  EXPECT_EQ(static_cast<PADAPTERPOWERMANAGEMENT>(power)->Release(), 3u);
  EXPECT_EQ(static_cast<PUNKNOWN>(viaUnknown)->Release(), 2u);
  EXPECT_EQ(static_cast<PADAPTERCOMMON>(common)->Release(), 1u);
  EXPECT_EQ(static_cast<CAdapterCommon*>(static_cast<PADAPTERCOMMON>(common))->GetInterruptSync(), nullptr)
      << "no interrupt before Init";
  EXPECT_EQ(unknown->Release(), 0u);
  EXPECT_EQ(LiveObjects(GetKernel()), 0u) << "freed, and only once (the pool reports a double free)";
}

// Before Init has found the registers there is no codec to ask, nor the codec
// lock Init sets up: a read is refused at once, as a timed-out one.
TEST_F(AdapterTest, ACodecReadBeforeInitIsRefusedWithoutWaitingOnTheCodecLock) {
  PUNKNOWN unknown = nullptr;
  ASSERT_EQ(NewAdapterCommon(&unknown, GUID_NULL, nullptr, NonPagedPool), STATUS_SUCCESS);
  PVOID common = nullptr;
  ASSERT_EQ(unknown->QueryInterface(IID_IAdapterCommon, &common), STATUS_SUCCESS);
  EXPECT_EQ(static_cast<PADAPTERCOMMON>(common)->CodecRegRead(AC97_POWERDOWN), CodecReadTimedOut);
  static_cast<PADAPTERCOMMON>(common)->Release();
  EXPECT_EQ(unknown->Release(), 0u);
}

TEST_F(AdapterTest, WithAnOuterObjectTheFacesCountOnTheOuterObject) {
  CountingOuter outer;
  PUNKNOWN unknown = nullptr;
  ASSERT_EQ(NewAdapterCommon(&unknown, GUID_NULL, &outer, NonPagedPool), STATUS_SUCCESS);
  EXPECT_EQ(outer.refs, 2) << "the creation's AddRef went to the outer object";
  unknown->AddRef();
  EXPECT_EQ(outer.refs, 3);
  unknown->Release();
  unknown->Release();
  EXPECT_EQ(outer.refs, 1);
  EXPECT_EQ(LiveObjects(GetKernel()), 1u) << "its own count never moved";

  // The object's own count is reached only through its non-delegating face.
  auto* object = static_cast<CAdapterCommon*>(static_cast<PADAPTERCOMMON>(unknown));
  PNONDELEGATINGUNKNOWN inner = object;
  EXPECT_EQ(inner->NonDelegatingAddRef(), 1u);
  EXPECT_EQ(inner->NonDelegatingRelease(), 0u);
  EXPECT_EQ(LiveObjects(GetKernel()), 0u);
  EXPECT_EQ(outer.refs, 1);
}

TEST_F(AdapterTest, CreationWithoutMemoryLeavesTheOutputAlone) {
  PUNKNOWN unknown = reinterpret_cast<PUNKNOWN>(0x1234);
  GetKernel().GetPool().FailTag(PoolTagObject);
  EXPECT_EQ(NewAdapterCommon(&unknown, GUID_NULL, nullptr, NonPagedPool), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(unknown, reinterpret_cast<PUNKNOWN>(0x1234));
}

}  // namespace
}  // namespace adaptertest
