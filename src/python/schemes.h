// The two hashing schemes as seen by the binding: core table, names and the
// defaults of every construction path except with_options.
#pragma once

#include <cstdint>

#include "../elastic/table.h"
#include "../funnel/table.h"
#include "hashed_any.h"
#include "ref.h"

namespace velomap::py {

struct ElasticScheme {
  using Table = elastic::ElasticHashMap<HashedAny, Ref>;
  static constexpr const char* name = "ElasticHashMap";
  static constexpr const char* qualified_name = "velomap.ElasticHashMap";
  static constexpr const char* doc =
      "ElasticHashMap(other=None, *, capacity=0, **kwargs)\n--\n\n"
      "A dict-like mapping that wraps velomap's native elastic hash map.";
  static Table make_table(std::uint32_t capacity) { return Table::with_options(capacity); }
};

struct FunnelScheme {
  using Table = funnel::FunnelHashMap<HashedAny, Ref>;
  static constexpr const char* name = "FunnelHashMap";
  static constexpr const char* qualified_name = "velomap.FunnelHashMap";
  static constexpr const char* doc =
      "FunnelHashMap(other=None, *, capacity=0, **kwargs)\n--\n\n"
      "A dict-like mapping that wraps velomap's native funnel hash map.";
  static Table make_table(std::uint32_t capacity) { return Table::with_options(capacity); }
};

}  // namespace velomap::py
