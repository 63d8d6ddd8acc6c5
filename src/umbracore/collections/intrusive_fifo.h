// A first-in first-out list of objects linked through a pointer member of their own
// (`next` by default): no allocation, constant-time push and pop. The list does not own
// its items and takes no lock; whoever shares one guards it.
#pragma once

#include "umbracore/types.h"

namespace umbra {

template <class T, T* T::*Next = &T::next>
struct intrusive_fifo_t {
  T* head = nullptr;
  T* tail = nullptr;
  u64 count = 0;

  bool empty() const { return head == nullptr; }

  void push(T* item) {
    item->*Next = nullptr;
    if (tail) {
      tail->*Next = item;
    } else {
      head = item;
    }
    tail = item;
    ++count;
  }

  // The oldest item, unlinked; null when the list is empty.
  T* pop() {
    T* item = head;
    if (!item) return nullptr;
    head = item->*Next;
    if (!head) tail = nullptr;
    item->*Next = nullptr;
    --count;
    return item;
  }

  // Moves every item of other to the end of this list, in order; other is left empty.
  void append(intrusive_fifo_t& other) {
    if (!other.head) return;
    if (tail) {
      tail->*Next = other.head;
    } else {
      head = other.head;
    }
    tail = other.tail;
    count += other.count;
    other.clear();
  }

  // Forgets the items without touching them.
  void clear() {
    head = tail = nullptr;
    count = 0;
  }
};

}  // namespace umbra
