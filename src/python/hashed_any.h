// The key wrapper: a Python key with its hash taken once.
//
// Two machine words: the key's address with an "exact str" mark in its lowest
// bit (objects are at least 2-aligned), and hash(key) as computed by
// PyObject_Hash when the key entered the module. The core tables derive every
// probe position from that hash and call back into Python only through
// `equals`, so a slot entry is three words: tagged key, hash, value.
//
// KeyRef borrows the caller's reference (lookups); HashedAny owns one
// (stored keys).
#pragma once

#include <cstdint>
#include <utility>

#include "ref.h"

namespace velomap::py {

class KeyRef {
 public:
  // Wrap `key` for a lookup: hash it (a hash error is raised) and mark exact
  // str keys. Borrows the caller's reference.
  static KeyRef borrow(PyObject* key) {
    const Py_hash_t h = PyObject_Hash(key);
    if (h == -1 && PyErr_Occurred()) throw PyErrorSet{};
    return KeyRef(key, h);
  }

  PyObject* obj() const noexcept { return reinterpret_cast<PyObject*>(word_ & ~kStrMark); }
  bool exact_str() const noexcept { return (word_ & kStrMark) != 0; }
  Py_hash_t hash() const noexcept { return hash_; }
  // The hash as an unsigned word, zero-extended to 64 bits.
  std::uint64_t hash_input() const noexcept {
    return static_cast<std::uint64_t>(static_cast<std::size_t>(hash_));
  }

  // Key equality, `this` being the stored key and `probe` the sought one:
  // different hashes are unequal; the same object is equal (so a NaN is found
  // through itself); two exact str keys compare their text directly; anything
  // else is `stored == probe` in Python, an ordinary exception counting as
  // unequal (a PanicException, KeyboardInterrupt or other BaseException that
  // is not an Exception ends the operation).
  bool equals(const KeyRef& probe) const {
    if (hash_ != probe.hash_) return false;
    if (obj() == probe.obj()) return true;
    return slow_equals(probe);
  }

 protected:
  static constexpr std::uintptr_t kStrMark = 1;
  KeyRef(PyObject* key, Py_hash_t h) noexcept
      : word_(reinterpret_cast<std::uintptr_t>(key) | (is_exact_str(key) ? kStrMark : 0)),
        hash_(h) {}
  KeyRef() noexcept = default;

  static bool is_exact_str(PyObject* o) noexcept { return Py_TYPE(o) == &PyUnicode_Type; }

  bool slow_equals(const KeyRef& probe) const;

  std::uintptr_t word_ = 0;
  Py_hash_t hash_ = 0;
};

class HashedAny : public KeyRef {
 public:
  // Wrap `key` for storage: hash it and take a new reference.
  static HashedAny take(PyObject* key) {
    KeyRef k = KeyRef::borrow(key);
    Py_INCREF(key);
    return HashedAny(k);
  }
  // A stored wrapper for the same key object with the same hash and mark
  // (copying between maps: no Python hashing).
  static HashedAny share(const KeyRef& k) noexcept {
    Py_INCREF(k.obj());
    return HashedAny(k);
  }

  HashedAny(HashedAny&& o) noexcept : KeyRef(o) { o.word_ = 0; }
  HashedAny& operator=(HashedAny&& o) noexcept {
    if (this != &o) {
      PyObject* old = obj();
      word_ = std::exchange(o.word_, 0);
      hash_ = o.hash_;
      Py_XDECREF(old);
    }
    return *this;
  }
  HashedAny(const HashedAny&) = delete;
  HashedAny& operator=(const HashedAny&) = delete;
  ~HashedAny() { Py_XDECREF(obj()); }

  // Ask the cache for the key's reference count (walks, bulk releases).
  void prefetch() const noexcept { prefetch_for_write(obj()); }

  // Give up the reference to the caller.
  PyObject* release() noexcept {
    PyObject* o = obj();
    word_ = 0;
    return o;
  }

 private:
  explicit HashedAny(const KeyRef& k) noexcept : KeyRef(k) {}
};

static_assert(sizeof(HashedAny) == 2 * sizeof(void*), "a key wrapper is two words");

}  // namespace velomap::py

// A stored key owns one reference and nothing that points back at it, so
// rebuilds may move one by copying its bytes.
template <>
inline constexpr bool velomap::kBitwiseRelocatable<velomap::py::HashedAny> = true;
