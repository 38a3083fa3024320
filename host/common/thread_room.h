// Room a thread keeps between calls (sort buffers, tallies, codes) without a
// thread_local object that has a destructor. glibc registers such a
// destructor with a small allocation when a thread first uses the object,
// and when that allocation fails (under an address-space limit) it aborts
// the whole process ("failed to register TLS destructor"), where the run
// must end with "out of memory". Here a room is a heap object reached through
// a plain thread_local pointer, so making it throws std::bad_alloc like any
// other allocation; a thread the host starts holds a ThreadRooms for its
// whole body, which frees the rooms its work made when it ends. The main
// thread's rooms last as long as the process.
#pragma once

#include <memory>
#include <stdexcept>

namespace host {

namespace detail {
struct KeptRoom {
  void* slot;                // the thread_local pointer the room is reached by
  void (*drop)(void* slot);  // deletes the room and clears the pointer
};
// Trivially destructible, so nothing to register when a thread starts.
inline thread_local KeptRoom tKeptRooms[32];
inline thread_local int tKeptCount = 0;
}  // namespace detail

// The room in `slot` (a thread_local pointer, null until the first use on
// this thread), made on the first use.
template <typename T>
T& RoomOf(T*& slot) {
  if (slot == nullptr) {
    if (detail::tKeptCount == static_cast<int>(std::size(detail::tKeptRooms))) {
      throw std::logic_error("a thread keeps more rooms than it has places for");
    }
    auto room = std::make_unique<T>();
    detail::tKeptRooms[detail::tKeptCount++] = {&slot, [](void* s) {
                                                  T*& kept = *static_cast<T**>(s);
                                                  delete kept;
                                                  kept = nullptr;
                                                }};
    slot = room.release();
  }
  return *slot;
}

// Frees, when the thread that holds it ends its work, the rooms that work made.
class ThreadRooms {
 public:
  ThreadRooms() = default;
  ThreadRooms(const ThreadRooms&) = delete;
  ThreadRooms& operator=(const ThreadRooms&) = delete;
  ~ThreadRooms() {
    while (detail::tKeptCount > 0) {
      const detail::KeptRoom& kept = detail::tKeptRooms[--detail::tKeptCount];
      kept.drop(kept.slot);
    }
  }
};

}  // namespace host
