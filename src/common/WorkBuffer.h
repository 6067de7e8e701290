// WorkBuffer: memory for a working block that must never fail to exist.
//
// The block comes from the C allocator at the size wanted, or, when the
// heap has none left, from a small static block that the class keeps for
// that case: slower then, never a crash. Large blocks stay off the stack,
// which a user may have limited (ulimit -s 16). The static block belongs
// to the class: only one buffer of each kind (Tag) may use it at a time, as
// the program's single reader and single page writer do.

#ifndef MOTTLEPAGE_COMMON_WORKBUFFER_H
#define MOTTLEPAGE_COMMON_WORKBUFFER_H

#include <cstddef>
#include <cstdlib>

template <class Tag, std::size_t FALLBACK_SIZE>
class WorkBuffer {
 public:
  explicit WorkBuffer(std::size_t wanted)
      : _p_heap(static_cast<char*>(std::malloc(wanted))), _size(_p_heap ? wanted : FALLBACK_SIZE) {}
  ~WorkBuffer() { std::free(_p_heap); }
  WorkBuffer(const WorkBuffer&) = delete;
  WorkBuffer& operator=(const WorkBuffer&) = delete;
  char* GetData() { return _p_heap ? _p_heap : _s_fallback; }
  std::size_t GetSize() const { return _size; }

 private:
  char* _p_heap;
  std::size_t _size;
  static char _s_fallback[FALLBACK_SIZE];
};

template <class Tag, std::size_t FALLBACK_SIZE>
char WorkBuffer<Tag, FALLBACK_SIZE>::_s_fallback[FALLBACK_SIZE];

#endif
