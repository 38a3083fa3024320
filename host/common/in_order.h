// Work shared with a second thread: pieces made on both threads, used in
// their order on the calling one. What a run does after its pass (the
// overview's summaries, the report of thousands of tables) would otherwise
// run on one thread while the pass's others are idle.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "host/common/thread_room.h"
#include "host/dataset.h"

namespace host {

// Whether work after the pass may take a second thread: the run is not held
// to one thread and the machine has more than one core.
inline bool HelperThreadAllowed() { return Threads() != 1 && std::thread::hardware_concurrency() > 1; }

// Calls make(k) for every k in [0, count), on the calling thread and (when
// `helper`) on one helper thread, and use(k) on the calling thread in order
// of k, each once make(k) is done. The helper keeps at most `ahead` pieces
// made and not yet used, so what they hold stays bounded. make must be safe
// to run on two threads at once for different k; an exception from either
// ends the work and reaches the caller after the helper stopped.
template <typename Make, typename Use>
void MakeInOrder(std::size_t count, bool helper, std::size_t ahead, Make&& make, Use&& use) {
  if (!helper || count < 2) {
    for (std::size_t k = 0; k < count; ++k) {
      make(k);
      use(k);
    }
    return;
  }
  struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<char> made;
    std::size_t next = 0;  // the first piece nobody took
    std::size_t used = 0;  // the first piece not used
    bool stop = false;
    std::exception_ptr error;
  } shared;
  shared.made.assign(count, 0);
  ahead = std::max<std::size_t>(ahead, 1);

  std::thread thread([&shared, &make, count, ahead] {
    ThreadRooms rooms;  // before the lock: freed after it is let go
    std::unique_lock lock(shared.mutex);
    for (;;) {
      shared.changed.wait(lock,
                          [&] { return shared.stop || shared.next >= count || shared.next < shared.used + ahead; });
      if (shared.stop || shared.next >= count) return;
      const std::size_t k = shared.next++;
      lock.unlock();
      try {
        make(k);
      } catch (...) {
        lock.lock();
        shared.error = std::current_exception();
        shared.stop = true;
        shared.changed.notify_all();
        return;
      }
      lock.lock();
      shared.made[k] = 1;
      shared.changed.notify_all();
    }
  });
  // Stops and joins the helper however this thread leaves.
  struct Join {
    Shared& shared;
    std::thread& thread;
    ~Join() {
      {
        std::lock_guard lock(shared.mutex);
        shared.stop = true;
      }
      shared.changed.notify_all();
      thread.join();
    }
  } join{shared, thread};

  std::unique_lock lock(shared.mutex);
  while (shared.used < count) {
    if (shared.error) break;
    const std::size_t k = shared.used;
    if (shared.made[k]) {
      lock.unlock();
      use(k);
      lock.lock();
      ++shared.used;
      shared.changed.notify_all();
    } else if (shared.next < count && shared.next < k + ahead) {
      // The next piece is still being made on the helper: make a later one.
      const std::size_t mine = shared.next++;
      lock.unlock();
      make(mine);
      lock.lock();
      shared.made[mine] = 1;
    } else {
      shared.changed.wait(lock, [&] { return shared.made[k] != 0 || shared.error != nullptr; });
    }
  }
  const std::exception_ptr error = shared.error;
  lock.unlock();
  if (error) {
    // The Join guard stops the helper before the error leaves.
    std::rethrow_exception(error);
  }
}

}  // namespace host
