// A callable of no arguments kept in place when it fits, so that scheduling an event or a DPC costs
// no allocation; a larger one is kept on the heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace plat {

class Callback {
 public:
  static constexpr size_t kInlineBytes = 64;

  Callback() = default;
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, Callback>>>
  Callback(F&& f) {  // NOLINT: converts like std::function
    using T = std::decay_t<F>;
    if constexpr (kFitsInline<T>) {
      new (buf_) T(std::forward<F>(f));
      ops_ = &kInlineOps<T>;
    } else {
      *reinterpret_cast<T**>(buf_) = new T(std::forward<F>(f));
      ops_ = &kHeapOps<T>;
    }
  }
  Callback(Callback&& other) noexcept { Take(other); }
  Callback& operator=(Callback&& other) noexcept {
    if (this != &other) {
      Reset();
      Take(other);
    }
    return *this;
  }
  Callback(const Callback&) = delete;
  Callback& operator=(const Callback&) = delete;
  ~Callback() { Reset(); }

  explicit operator bool() const { return ops_ != nullptr; }
  void operator()() { ops_->invoke(buf_); }
  void Reset() {
    if (ops_ != nullptr) ops_->destroy(buf_);
    ops_ = nullptr;
  }

 private:
  struct Ops {
    void (*invoke)(void*);
    void (*move)(void* to, void* from);  // leaves `from` destroyed
    void (*destroy)(void*);
  };

  template <class T>
  static constexpr bool kFitsInline = sizeof(T) <= kInlineBytes && alignof(T) <= alignof(std::max_align_t) &&
                                      std::is_nothrow_move_constructible_v<T>;

  // A trivially copyable callable was most likely stored capture by capture just before it moves;
  // copied a word at a time, it is read back as it was stored, where a wider load would stall on
  // those stores. The empty asm keeps the compiler from merging the words into wider moves.
  template <class T>
  static void MoveWords(void* to, void* from) {
    for (size_t at = 0; at < sizeof(T); at += sizeof(uint64_t)) {
      uint64_t word;
      std::memcpy(&word, static_cast<unsigned char*>(from) + at, sizeof word);
      asm("" : "+r"(word));
      std::memcpy(static_cast<unsigned char*>(to) + at, &word, sizeof word);
    }
  }

  template <class T>
  static constexpr Ops kInlineOps = {
      [](void* p) { (*static_cast<T*>(p))(); },
      [](void* to, void* from) {
        if constexpr (std::is_trivially_copyable_v<T> && sizeof(T) % sizeof(uint64_t) == 0) {
          MoveWords<T>(to, from);
        } else {
          new (to) T(std::move(*static_cast<T*>(from)));
          static_cast<T*>(from)->~T();
        }
      },
      [](void* p) { static_cast<T*>(p)->~T(); },
  };
  template <class T>
  static constexpr Ops kHeapOps = {
      [](void* p) { (**static_cast<T**>(p))(); },
      [](void* to, void* from) { *static_cast<T**>(to) = *static_cast<T**>(from); },
      [](void* p) { delete *static_cast<T**>(p); },
  };

  void Take(Callback& other) {
    if (other.ops_ == nullptr) return;
    other.ops_->move(buf_, other.buf_);
    ops_ = other.ops_;
    other.ops_ = nullptr;
  }

  alignas(std::max_align_t) unsigned char buf_[kInlineBytes];
  const Ops* ops_ = nullptr;
};

// First in, first out, reusing its storage: once it has grown to its busiest, a push costs no
// allocation.
class CallbackQueue {
 public:
  bool empty() const { return head_ == items_.size(); }
  void push(Callback fn) { items_.push_back(std::move(fn)); }
  Callback pop() {
    Callback fn = std::move(items_[head_++]);
    if (head_ == items_.size()) {
      items_.clear();
      head_ = 0;
    }
    return fn;
  }
  void clear() {
    items_.clear();
    head_ = 0;
  }

 private:
  std::vector<Callback> items_;
  size_t head_ = 0;
};

}  // namespace plat
