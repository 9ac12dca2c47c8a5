// A threaded test that deadlocks fails with the threads and locks named,
// instead of hanging: two passive threads take two kernel mutexes in
// opposite orders.
#include <gtest/gtest.h>

#include <barrier>
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

}  // namespace
