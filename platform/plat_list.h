// Bounded FIFO of pointers.
//
// Not thread-safe: every list is guarded by its owner's lock. The list never
// owns what it holds; elements are plain pointers whose lifetime is managed
// by the caller (frames by their reference count).
#pragma once

#include <cstddef>
#include <deque>
#include <memory>

template <class T>
class plat_list final {
 public:
  explicit plat_list(size_t capacity) : capacity_(capacity) {}
  plat_list(const plat_list &) = delete;
  plat_list &operator=(const plat_list &) = delete;

  size_t capacity() const { return capacity_; }
  size_t size() const { return items_.size(); }

  std::deque<T *> items_;

 private:
  size_t capacity_;
};

template <class T>
std::unique_ptr<plat_list<T>> plat_list_create(size_t capacity) {
  return std::make_unique<plat_list<T>>(capacity);
}

// Non-zero on success, 0 when the list is full.
template <class T>
int plat_list_push_back(plat_list<T> *list, T *element) {
  if (!list || list->items_.size() >= list->capacity()) return 0;
  list->items_.push_back(element);
  return 1;
}

// The first element, removed; null when empty.
template <class T>
T *plat_list_pop_front(plat_list<T> *list) {
  if (!list || list->items_.empty()) return nullptr;
  T *e = list->items_.front();
  list->items_.pop_front();
  return e;
}

// The first element, left in place; null when empty.
template <class T>
T *plat_list_front(plat_list<T> *list) {
  if (!list || list->items_.empty()) return nullptr;
  return list->items_.front();
}

template <class T>
bool plat_list_is_empty(const plat_list<T> *list) {
  return !list || list->items_.empty();
}

template <class T>
bool plat_list_is_full(const plat_list<T> *list) {
  return list && list->items_.size() >= list->capacity();
}

// Forgets every element (does not free them).
template <class T>
void plat_list_clear(plat_list<T> *list) {
  if (list) list->items_.clear();
}

// Calls visit(element, a, b) for every element, front to back.
template <class T, class Visit>
void plat_list_traverse(plat_list<T> *list, Visit visit, void *a, void *b) {
  if (!list) return;
  for (T *e : list->items_) visit(e, a, b);
}

// Removes and returns the first element for which test(element, a, b) is
// true, or null when none is.
template <class T, class Test>
T *plat_list_remove_if(plat_list<T> *list, Test test, void *a, void *b) {
  if (!list) return nullptr;
  for (auto it = list->items_.begin(); it != list->items_.end(); ++it) {
    if (test(*it, a, b)) {
      T *e = *it;
      list->items_.erase(it);
      return e;
    }
  }
  return nullptr;
}
