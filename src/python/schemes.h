// The two hashing schemes as seen by the binding: core table, names, and the
// construction options (defaults for every path; validation for with_options).
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>

#include "../elastic/table.h"
#include "../funnel/table.h"
#include "args.h"
#include "hashed_any.h"
#include "ref.h"

namespace velomap::py {

struct FunnelScheme;

struct ElasticScheme {
  using Other = FunnelScheme;  // the twin class
  using Table = elastic::ElasticHashMap<HashedAny, Ref>;
  static constexpr const char* name = "ElasticHashMap";
  static constexpr const char* qualified_name = "velomap.ElasticHashMap";
  static constexpr const char* doc =
      "ElasticHashMap(other=None, *, capacity=0, **kwargs)\n--\n\n"
      "A dict-like mapping that wraps velomap's native elastic hash map.";
  static constexpr const char* with_options_doc =
      "with_options($cls, capacity=0, reserve_fraction=None, probe_scale=None)\n--\n\n";
  static constexpr const char* keys_qualified = "velomap.elastic_keys";
  static constexpr const char* values_qualified = "velomap.elastic_values";
  static constexpr const char* items_qualified = "velomap.elastic_items";
  static constexpr const char* key_iter_qualified = "velomap._ElasticKeyIter";
  static constexpr const char* value_iter_qualified = "velomap._ElasticValueIter";
  static constexpr const char* item_iter_qualified = "velomap._ElasticItemIter";
  static constexpr Param option_params[] = {{"capacity"}, {"reserve_fraction"}, {"probe_scale"}};

  static constexpr double default_reserve_fraction = elastic::kDefaultReserveFraction;
  static Table make_table(std::uint32_t capacity) { return Table::with_options(capacity); }

  // Convert in parameter order, then check ranges (reserve_fraction first).
  static Table table_with_options(const Bound<3>& a) {
    const std::uint32_t capacity = a[0] ? to_u32(a[0], "capacity") : 0;  // None is refused
    const std::optional<double> delta = opt_double(a[1], "reserve_fraction");
    const std::optional<double> scale = opt_double(a[2], "probe_scale");
    if (delta && !(*delta > 0.0 && *delta < 1.0))
      raise(PyExc_ValueError, "reserve_fraction must be in the open interval (0, 1)");
    if (scale && *scale <= 0.0) raise(PyExc_ValueError, "probe_scale must be positive");
    return Table::with_options(capacity, delta.value_or(elastic::kDefaultReserveFraction),
                               scale.value_or(elastic::kDefaultProbeScale));
  }

  // The arguments of with_options that rebuild `t`'s options and capacity.
  static Ref option_args(const Table& t) {
    return Ref::checked(Py_BuildValue("(ndd)", static_cast<Py_ssize_t>(t.capacity()),
                                      t.reserve_fraction(), t.probe_scale()));
  }
  // An empty table with `t`'s options and capacity.
  static Table table_like(const Table& t) {
    return Table::with_options(t.capacity(), t.reserve_fraction(), t.probe_scale());
  }
};

struct FunnelScheme {
  using Other = ElasticScheme;
  using Table = funnel::FunnelHashMap<HashedAny, Ref>;
  static constexpr const char* name = "FunnelHashMap";
  static constexpr const char* qualified_name = "velomap.FunnelHashMap";
  static constexpr const char* doc =
      "FunnelHashMap(other=None, *, capacity=0, **kwargs)\n--\n\n"
      "A dict-like mapping that wraps velomap's native funnel hash map.";
  static constexpr const char* with_options_doc =
      "with_options($cls, capacity=0, reserve_fraction=None, primary_probe_limit=None)\n--\n\n";
  static constexpr const char* keys_qualified = "velomap.funnel_keys";
  static constexpr const char* values_qualified = "velomap.funnel_values";
  static constexpr const char* items_qualified = "velomap.funnel_items";
  static constexpr const char* key_iter_qualified = "velomap._FunnelKeyIter";
  static constexpr const char* value_iter_qualified = "velomap._FunnelValueIter";
  static constexpr const char* item_iter_qualified = "velomap._FunnelItemIter";
  static constexpr Param option_params[] = {
      {"capacity"}, {"reserve_fraction"}, {"primary_probe_limit"}};

  static constexpr double default_reserve_fraction = funnel::kDefaultReserveFraction;
  static Table make_table(std::uint32_t capacity) { return Table::with_options(capacity); }

  static Table table_with_options(const Bound<3>& a) {
    const std::uint32_t capacity = a[0] ? to_u32(a[0], "capacity") : 0;  // None is refused
    const std::optional<double> delta = opt_double(a[1], "reserve_fraction");
    const std::optional<std::uint32_t> limit = opt_u32(a[2], "primary_probe_limit");
    if (delta && !(*delta > 0.0 && *delta <= 0.125))
      raise(PyExc_ValueError,
            "reserve_fraction must be in (0, 0.125]; FunnelHashMap caps the load factor at 1/8 by "
            "design");
    if (limit && *limit == 0) raise(PyExc_ValueError, "primary_probe_limit must be positive");
    return Table::with_options(capacity, delta.value_or(funnel::kDefaultReserveFraction),
                               limit ? std::optional<std::size_t>(*limit) : std::nullopt);
  }

  static Ref option_args(const Table& t) {
    return Ref::checked(Py_BuildValue("(ndn)", static_cast<Py_ssize_t>(t.capacity()),
                                      t.reserve_fraction(),
                                      static_cast<Py_ssize_t>(t.primary_probe_limit())));
  }
  static Table table_like(const Table& t) {
    return Table::with_options(t.capacity(), t.reserve_fraction(), t.primary_probe_limit());
  }
};

}  // namespace velomap::py
