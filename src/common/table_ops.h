// Operations both core tables offer in the same way, written once over the
// table's own primitives (CRTP).
//
// A Derived table provides: its shape and seeds (read below), resize(c),
// table_count() and part_at(i) (its parts in walk order), try_emplace_impl(key,
// value) (one lookup, and the placement of an absent key), claim_copy(h)
// and place_copy(key, value, h) (the slot of a key known absent claimed, or
// the key placed, the walk bound left alone), prefetch_placement(h) (ask
// for where claim_copy(h) will look first) and, for drains,
// take_entry(SlotRef).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "growth.h"
#include "hash.h"
#include "moves.h"
#include "raw_table.h"
#include "saturate.h"
#include "walk.h"

namespace velomap {

template <class Derived>
class TableOps {
 public:
  // ---- what both tables keep alike --------------------------------------
  // (Derived holds `shape_` with len, capacity, max_items and first_full,
  // and the members seed_, shared_seed_ and reserve_fraction_.)
  std::size_t len() const noexcept { return self().shape_->len; }
  std::size_t capacity() const noexcept { return self().shape_->capacity; }
  std::size_t max_items() const noexcept { return self().shape_->max_items; }
  double reserve_fraction() const noexcept { return self().reserve_fraction_; }
  std::uint64_t seed() const noexcept { return self().seed_; }
  SlotRef first_full_bound() const noexcept { return self().shape_->first_full.get(); }
  // How many changes the table has seen (debug builds; 0 otherwise).
  std::uint64_t changes() const noexcept { return self().changes_.get(); }

  // A key's mixed hash in this map.
  std::uint64_t hash_of(const auto& key) const noexcept {
    return mix_hash(self().seed_, static_cast<std::uint64_t>(key.hash_input()),
                    self().shared_seed_);
  }

  // Stores the entry; for a present key keeps the stored key, replaces the
  // value and hands the old value back (the passed key is released).
  template <class K, class V>
  std::optional<V> insert(K key, V value) {
    auto [stored, placed] = self().try_emplace_impl(std::move(key), value);
    if (placed) return std::nullopt;
    std::swap(*stored, value);
    return std::optional<V>(std::move(value));
  }

  // Stores the entry only if the key is absent. Returns the value now stored
  // under the key and whether it is the new one; a present entry is left as
  // it was (the passed key and value are released).
  template <class K, class V>
  std::pair<V*, bool> try_emplace(K key, V value) {
    return self().try_emplace_impl(std::move(key), value);
  }

  // Rebuild now at the capacity that inserting `n` more distinct keys one by
  // one would grow to, so that those insertions need no rebuild of their own.
  void grow_ahead(std::size_t n) {
    Derived& d = self();
    const std::size_t c =
        capacity_for_inserting(d.capacity(), sat_add(d.len(), n), d.reserve_fraction());
    if (c != d.capacity()) d.resize(c);
  }

  // Insert copies of every entry of `source` (a table of either scheme) in
  // its walk order; none of their keys may be stored here already. copy(e)
  // makes the key and value to store and must not throw; ahead(e) is called
  // for entries a little before their turn (see for_each_entry_ahead). The
  // room is made first, so only a key without a candidate place (funnel)
  // can still make the map grow. Each entry's slot is claimed at its turn
  // and written a few turns later (DeferredWrites), so that the writes'
  // cache misses overlap.
  template <class Source, class Copy, class Ahead>
  void insert_copies(const Source& source, Copy&& copy, Ahead&& ahead) {
    if (source.len() == 0) return;
    Derived& d = self();
    reserve(source.len());
    // Placements below leave the walk bound alone; the first slot of all is
    // a bound whatever they place.
    d.shape_->first_full.emptied_before(SlotRef{0, 0});
    using From = typename Source::Entry;
    using To = typename Derived::Entry;
    const auto place = [&](const From& e) {
      auto [key, value] = copy(e);
      const std::uint64_t h = d.hash_of(key);
      d.place_copy(std::move(key), std::move(value), h);
    };
    DeferredWrites<To, const From*> pending(d.capacity());
    if (!pending.defers()) {
      for_each_entry_ahead(source, place, ahead);
      return;
    }
    const auto write = [&copy](To* to, const From* e) noexcept {
      auto [key, value] = copy(*e);
      RawTable<To>::construct_at(to, std::move(key), std::move(value));
    };
    // A large target: the group each entry will be tried in first is asked
    // for when the entry's objects are.
    const auto ahead_placed = [&](const From& e) noexcept {
      ahead(e);
      d.prefetch_placement(d.hash_of(e.key));
    };
    for_each_entry_ahead(
        source,
        [&](const From& e) {
          if (const SlotRef at = d.claim_copy(d.hash_of(e.key))) {
            pending.push(&d.entry_at(at), &e, write);
          } else {
            // The placement may rebuild the table: the claimed slots are
            // written first.
            pending.flush(write);
            place(e);
          }
        },
        ahead_placed);
    pending.flush(write);
  }

  // Inserts keys known to be absent, one by one, as insert_unique does, but
  // writes each entry a few placements after claiming its slot when the
  // table is larger than the cache (DeferredWrites), so that the writes'
  // cache misses overlap. Nothing may read the map, or run code that could,
  // while one is alive: its destructor writes what is pending.
  template <class K, class V>
  class UniqueInserts {
   public:
    explicit UniqueInserts(Derived& d) noexcept : d_(d), pending_(d.capacity()) {
      // Claims leave the walk bound alone; the first slot of all is a bound.
      if (pending_.defers()) d.shape_->first_full.emptied_before(SlotRef{0, 0});
    }
    UniqueInserts(const UniqueInserts&) = delete;
    UniqueInserts& operator=(const UniqueInserts&) = delete;
    ~UniqueInserts() { pending_.flush(kWrite); }

    void insert(K key, V value) {
      if (pending_.defers()) {
        if (const SlotRef at = d_.claim_copy(d_.hash_of(key))) {
          pending_.push(&d_.entry_at(at), {std::move(key), std::move(value)}, kWrite);
          return;
        }
        // The placement may rebuild the table: the claimed slots are
        // written first.
        pending_.flush(kWrite);
      }
      d_.insert_unique(std::move(key), std::move(value));
    }

   private:
    using Entry = typename Derived::Entry;
    static constexpr auto kWrite = [](Entry* to, std::pair<K, V>&& kv) noexcept {
      RawTable<Entry>::construct_at(to, std::move(kv.first), std::move(kv.second));
    };
    Derived& d_;
    DeferredWrites<Entry, std::pair<K, V>> pending_;
  };

  // Make room for `additional` more entries without further growth.
  void reserve(std::size_t additional) {
    Derived& d = self();
    const std::size_t need = sat_add(d.len(), additional);
    if (need <= d.max_items()) return;
    d.resize(capacity_for_reserving(d.capacity(), need, d.reserve_fraction()));
  }

  // Read-only walk in table order. The map must not change meanwhile.
  EntryWalk<Derived> iter() const noexcept { return EntryWalk<Derived>(self()); }

  template <class F>
  void for_each(F&& f) const {
    EntryWalk<Derived> it = iter();
    while (const auto* e = it.next()) f(*e);
  }

  // A drain that removes every entry it walks past; see the table's
  // take_entry for what a drained slot becomes.
  EntryDrain<Derived> extract_if() noexcept { return EntryDrain<Derived>(self()); }

  // The i-th slot table in walk order.
  decltype(auto) table_at(std::size_t i) const noexcept { return (self().part_at(i).table); }

  // Ending a drain: when some part's tombstones now exceed half its slots,
  // rebuild at the same capacity.
  void finish_drain() noexcept {
    for (std::size_t i = 0; i < self().table_count(); ++i) {
      if (self().part_at(i).over_tombstone_limit()) {
        purge();
        break;
      }
    }
  }

 protected:
  TableOps() = default;

  // Rebuild at the same capacity to clear tombstones. A purge only speeds up
  // later lookups: if it cannot run (no memory, or an entry without a
  // place), the map stays valid with its tombstones and a later removal
  // tries again.
  void purge() noexcept {
    try {
      self().resize(self().capacity());
    } catch (...) {
    }
  }

 private:
  Derived& self() noexcept { return static_cast<Derived&>(*this); }
  const Derived& self() const noexcept { return static_cast<const Derived&>(*this); }
};

}  // namespace velomap
