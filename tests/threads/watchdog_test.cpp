// A threaded test that deadlocks fails with the threads and locks named,
// instead of hanging: two passive threads take two kernel mutexes in
// opposite orders.
#include <gtest/gtest.h>

#include <barrier>
#include <string>
#include <vector>
#include <thread>

#include "host/kernel.h"
#include "sim/machine.h"

namespace {

void Deadlock() {
  sim::Machine machine;
  host::Kernel kernel(machine);
  kernel.SetViolationHandler([](const host::Violation&) {});
  KMUTEX first, second;
  kernel.InitializeMutex(&first);
  kernel.InitializeMutex(&second);
  kernel.NameObject(&first, "FirstMutex");
  kernel.NameObject(&second, "SecondMutex");
  host::ThreadOptions options;
  options.deadlockLimit = std::chrono::milliseconds(200);
  kernel.StartThreads(options);
  std::barrier both(2);
  auto take = [&](const char* name, PRKMUTEX a, PRKMUTEX b) {
    kernel.NameThread(name);
    kernel.WaitForSingleObject(a, nullptr);
    both.arrive_and_wait();
    kernel.WaitForSingleObject(b, nullptr);
  };
  std::thread one(take, "one", &first, &second);
  std::thread two(take, "two", &second, &first);
  one.join();
  two.join();
}

TEST(ThreadedWatchdog, ADeadlockAbortsNamingTheThreadsAndLocks) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(Deadlock(), "deadlock: (one|two) blocked on one lock(.|\n)*one at PASSIVE_LEVEL, blocked on "
                           "SecondMutex(.|\n)*holds FirstMutex;");
}

// An event nothing will ever set, waited on by a passive thread while the
// machine runs on: once the virtual-time limit passes, the wait fails as a
// deadlock naming the thread and the event, and the thread goes on.
TEST(ThreadedWatchdog, AnEventWaitNothingSetsIsADeadlockInVirtualTime) {
  sim::Machine machine;
  host::Kernel kernel(machine);
  std::vector<std::string> violations;
  kernel.SetViolationHandler([&](const host::Violation& v) { violations.push_back(v.message); });
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  kernel.NameObject(&event, "DataPathIdle");
  host::ThreadOptions options;
  options.waitForeverLimit = 5 * sim::kTicksPerMillisecond;
  kernel.StartThreads(options);
  NTSTATUS status = STATUS_SUCCESS;
  std::thread waiter([&] {
    kernel.NameThread("closer");
    status = kernel.WaitForSingleObject(&event, nullptr);
  });
  waiter.join();
  kernel.StopThreads();
  EXPECT_EQ(status, STATUS_TIMEOUT);
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0].rfind("deadlock: closer (", 0), 0u) << violations[0];
  EXPECT_NE(violations[0].find("waits without a time-out on DataPathIdle, which nothing set in 5 ms"),
            std::string::npos)
      << violations[0];
}

}  // namespace
