// Years inside a service: start and stop many times, nothing may pile up.
#include "driver_harness.h"

#include "korvoups.h"

#include <malloc.h>

#include <cstddef>

// Under a sanitizer its allocator is the one to ask; otherwise glibc's.
extern "C" size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

namespace {

size_t HeapInUse()
{
    if (__sanitizer_get_current_allocated_bytes != nullptr) {
        return __sanitizer_get_current_allocated_bytes();
    }
    return mallinfo2().uordblks;
}

TEST_F(DriverTest, ThousandStartsAndStopsGrowNothing)
{
    const std::string onBattery = StatusLine("12.50", "040", "10");
    size_t heapAfterWarmUp = 0;
    for (int cycle = 0; cycle < 1000; ++cycle) {
        if (cycle == 100) {
            heapAfterWarmUp = HeapInUse();
        }
        testplatform::SetStandingReply(PORT, cycle % 2 == 0 ? onBattery : StandardReply());
        ASSERT_EQ(UPSInit(), UPS_INIT_OK);
        UPSWaitForStateChange(0, 0);
        UPSStop();
        ASSERT_EQ(testplatform::LiveEvents(), 0u);
        ASSERT_EQ(testplatform::LiveThreads(), 0u);
        ASSERT_EQ(testplatform::OpenPorts(), 0u);
        ASSERT_EQ(testplatform::OpenKeys(), 0u);
    }
    // One reply buffer lost per cycle would be some 44 KiB by now.
    size_t heapAtEnd = HeapInUse();
    EXPECT_LT(heapAtEnd, heapAfterWarmUp + 8 * 1024) << "from " << heapAfterWarmUp << " to " << heapAtEnd;
}

}  // namespace
