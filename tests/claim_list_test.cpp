// Built natively, and under ThreadSanitizer by scripts/test.sh: bridges
// updated together close their devices, and so drop their claims, at once.
#include "platform/nt/claim_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace zq {
namespace {

TEST(ClaimList, EachClaimIsHandedBackOnceWhateverThreadsCloseTogether) {
  constexpr int THREADS = 4;
  constexpr int PER_THREAD = 200;
  nt::ClaimList list;
  std::vector<std::vector<nt::ClaimList::Claim>> released(THREADS);
  std::atomic<int> lost{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&list, &released, &lost, t] {
      // each thread opens and closes bridges of its own, as --all does
      for (int i = 0; i < PER_THREAD; ++i) {
        const DeviceHandle device = static_cast<DeviceHandle>(t * PER_THREAD + i);
        list.Add(device, "bridge-" + std::to_string(device), device + 1000);
        if (!list.Holds("bridge-" + std::to_string(device))) ++lost;
        if (i % 2 == 1) {
          for (const DeviceHandle done : {device - 1, device}) {
            nt::ClaimList::Claim claim = 0;
            if (list.Take(done, claim)) released[static_cast<size_t>(t)].push_back(claim);
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::vector<nt::ClaimList::Claim> all;
  for (const auto& some : released) all.insert(all.end(), some.begin(), some.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(lost.load(), 0);
  ASSERT_EQ(all.size(), static_cast<size_t>(THREADS * PER_THREAD));
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i], 1000 + i);
  EXPECT_TRUE(list.TakeAll().empty());
}

TEST(ClaimList, ADeviceHoldsOnlyItsOwnClaim) {
  nt::ClaimList list;
  list.Add(7, "Global\\zq5210-a", 70);
  list.Add(8, "Global\\zq5210-b", 80);
  nt::ClaimList::Claim claim = 0;
  EXPECT_FALSE(list.Take(9, claim));
  EXPECT_TRUE(list.Holds("Global\\zq5210-b"));
  EXPECT_FALSE(list.Holds("Global\\zq5210-c"));
  ASSERT_TRUE(list.Take(8, claim));
  EXPECT_EQ(claim, 80u);
  EXPECT_FALSE(list.Take(8, claim));  // released once only
  EXPECT_FALSE(list.Holds("Global\\zq5210-b"));
  EXPECT_EQ(list.TakeAll(), std::vector<nt::ClaimList::Claim>{70});
}

}  // namespace
}  // namespace zq
