#pragma once
// One table of a multi-index: for each key of a substring, the ids of the
// runs that have it. Stored as the keys in Elias-Fano form (a few bits per
// entry) beside the ids packed at the width the largest id needs, so a key's
// ids are found with one select over a bit vector.

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "index/page_checker.h"

/// The four byte strings a table is written as.
struct PostingTableBytes {
  std::uint32_t low_bits = 0;  // key bits kept per entry beside the bit vector
  std::vector<std::uint8_t> low, high, samples, ids;
};

/// Every 128th zero of a table's bit vector has its position sampled.
inline constexpr std::uint64_t kSampleEvery = 128;

/// Packs values of one width one after another, a word at a time, into
/// bytes sized for them (and zeroed) beforehand.
struct BitPacker {
  std::uint8_t* at;
  int width;
  std::uint64_t word = 0;
  int fill = 0;

  void put(std::uint64_t value) {
    word |= value << fill;
    fill += width;
    if (fill >= 64) {
      std::memcpy(at, &word, 8);
      at += 8;
      fill -= 64;
      word = fill > 0 ? value >> (width - fill) : 0;
    }
  }
  void finish() {
    for (int b = 0; b < fill; b += 8) *at++ = static_cast<std::uint8_t>(word >> b);
  }
};

/// Sizes `t`'s buffers for a table of `entries` entries, zeroed, and sets
/// the low bits it keeps.
void prepare_posting_table(std::uint64_t entries, int key_bits, int id_bits, PostingTableBytes& t);

/// Encodes a table of `entries` entries (key << 32 | id), keys below
/// 2^key_bits and ids below 2^id_bits, into `t` (its buffers reused),
/// taking them in order, by key then id, from `next()`, so a merge need not
/// gather them first. The state stays in locals: stores
/// to the byte buffers could alias anything else.
template <class Next>
void encode_posting_table(std::uint64_t entries, int key_bits, int id_bits, PostingTableBytes& t,
                          Next next) {
  prepare_posting_table(entries, key_bits, id_bits, t);
  const int low = static_cast<int>(t.low_bits);
  const std::uint64_t buckets = std::uint64_t{1} << (key_bits - low);
  const std::uint64_t low_mask = (std::uint64_t{1} << low) - 1;
  const auto store = [](std::uint8_t* to, std::uint64_t value) { std::memcpy(to, &value, 8); };
  BitPacker lows{t.low.data(), low}, ids{t.ids.data(), id_bits};
  std::uint8_t* const high = t.high.data();
  std::uint8_t* samples = t.samples.data();
  std::uint64_t word = 0, word_at = 0, next_sample = 0;
  for (std::uint64_t i = 0; i < entries; ++i) {
    const std::uint64_t entry = next();
    const std::uint64_t key = entry >> 32, bucket = key >> low;
    // Zero h sits after the entries of buckets 0 to h: once an entry of a
    // later bucket comes, those are the ones before it.
    for (; next_sample < bucket; next_sample += kSampleEvery, samples += 8) {
      store(samples, i + next_sample);
    }
    lows.put(key & low_mask);
    const std::uint64_t bit = bucket + i;  // entry i's one of the bit vector
    if (bit / 64 != word_at) {
      store(high + word_at * 8, word);
      word = 0;
      word_at = bit / 64;
    }
    word |= std::uint64_t{1} << (bit % 64);
    ids.put(entry & 0xffffffffu);
  }
  store(high + word_at * 8, word);
  lows.finish();
  ids.finish();
  for (; next_sample < buckets; next_sample += kSampleEvery, samples += 8) {
    store(samples, entries + next_sample);
  }
  store(samples, entries + buckets);
}

/// Sorts values by their bits [shift, shift + bits), keeping the order of
/// equal ones (a radix sort: linear in the count); `scratch` is working space.
void sort_by_bits(std::vector<std::uint64_t>& values, int shift, int bits,
                  std::vector<std::uint64_t>& scratch);

/// The byte sizes a table of `entries` entries must have; a reader compares
/// them with what a file claims before touching a byte.
struct PostingTableShape {
  std::uint64_t low = 0, high = 0, samples = 0, ids = 0;
};
/// Sizes include 8 bytes of padding after each packed array, so that every
/// read of a packed value is one 8-byte load inside the array.
PostingTableShape posting_table_shape(std::uint64_t entries, int key_bits, std::uint32_t low_bits,
                                      int id_bits);

/// Where the four byte strings of a table lie in memory.
struct PostingTableBytesView {
  const std::uint8_t *low = nullptr, *high = nullptr, *samples = nullptr, *ids = nullptr;
};

/// A table over bytes whose sizes match its shape; every byte it reads is
/// passed through `pages` first.
class PostingTableView {
 public:
  PostingTableView() = default;
  PostingTableView(std::uint64_t entries, int key_bits, std::uint32_t low_bits, int id_bits,
                   const PostingTableBytesView& bytes, const PageChecker* pages);
  /// Key bits kept beside the bit vector: a bucket holds the keys that
  /// agree above them.
  std::uint32_t low_bits() const { return low_bits_; }
  /// Every entry as (key << 32 | id), in order, into `out`; false when a
  /// page fails its check or the bytes contradict themselves.
  bool entries(std::vector<std::uint64_t>& out) const;
 private:
  friend class RegionLookup;
  /// The position of zero `rank` of the bit vector, found from its sample.
  std::optional<std::uint64_t> select_zero(std::uint64_t rank) const;

  std::uint64_t entries_ = 0;
  std::uint32_t low_bits_ = 0;
  int id_bits_ = 0;
  std::uint64_t buckets_ = 0;    // zeros in the bit vector
  std::uint64_t high_bits_ = 0;  // its length
  PostingTableBytesView bytes_;
  const PageChecker* pages_ = nullptr;
};

/// Looks a table's keys up region by region, in increasing order: a region
/// is the keys that agree above their lowest `split_bits` (at least the
/// table's low bits), and a region with many probes is decoded whole, so
/// each of them is one read of its bucket's bounds.
class RegionLookup {
 public:
  RegionLookup(const PostingTableView& table, int split_bits);
  /// For probes (key << 32 | tag) whose keys all lie in `region`, a region
  /// after any looked up before, appends (id << 32 | tag) for every entry of
  /// each probe's key; false when a page fails its check or the bytes
  /// contradict themselves.
  bool lookup(std::uint64_t region, std::span<const std::uint64_t> probes,
              std::vector<std::uint64_t>& out);

 private:
  bool lookup_each(std::span<const std::uint64_t> probes, std::vector<std::uint64_t>& out);
  /// Moves to where bucket `first` begins.
  bool skip_to(std::uint64_t first);
  /// Entry offsets of buckets [first, first + count) into offsets_.
  bool decode(std::uint64_t first, std::uint64_t count);
  /// Checks the page of the bit vector's word w; `end` becomes the first
  /// word past the checked pages around it.
  bool checked_words(std::uint64_t w, std::uint64_t& end) const;
  /// Checks the pages of the ids and low bits of entries [first, last).
  bool covered(std::uint64_t first, std::uint64_t last);

  const PostingTableView& table_;
  std::uint64_t region_buckets_;
  std::uint64_t words_;  // of the bit vector
  PageWindow ids_, low_;
  std::uint64_t next_bucket_ = 0, bit_ = 0;  // the first bucket not passed, where its ones begin
  std::uint64_t region_base_ = 0;      // the decoded region's first entry
  std::vector<std::uint32_t> offsets_;  // its buckets' entries, from region_base_
};
