// Posting tables in Elias-Fano form. Entry i with key k sets bit
// (k >> low_bits) + i of the high bit vector, so the zeros separate the
// buckets of high key parts: bucket h spans the ones between zero h - 1 and
// zero h. Every 128th zero's position is sampled, which bounds a select to
// one short window; the next sample's position closes that window, so each
// read is checked before it is made.

#include "index/posting_table.h"

#include <bit>
#include <cstring>
#include <utility>

#include "index/popcount_clones.h"

namespace {

std::uint64_t load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

std::uint64_t read_bits(const std::uint8_t* bytes, std::uint64_t index, int width) {
  if (width == 0) return 0;
  const std::uint64_t bit = index * static_cast<std::uint64_t>(width);
  return (load64(bytes + bit / 8) >> (bit % 8)) & ((std::uint64_t{1} << width) - 1);
}

std::uint64_t packed_size(std::uint64_t count, int width) {
  return (count * static_cast<std::uint64_t>(width) + 7) / 8 + 8;
}

std::uint32_t choose_low_bits(std::uint64_t entries, int key_bits) {
  std::uint32_t low = 0;
  while (entries > 0 && low < static_cast<std::uint32_t>(key_bits) &&
         (entries << (low + 1)) <= (std::uint64_t{1} << key_bits)) {
    ++low;
  }
  return low;
}

// The position of the k-th (from 0) set bit of a word that has more than k.
int select_in_word(std::uint64_t word, std::uint64_t k) {
  for (; k > 0; --k) word &= word - 1;
  return std::countr_zero(word);
}

}  // namespace

void sort_by_bits(std::vector<std::uint64_t>& entries, int low, int bits,
                  std::vector<std::uint64_t>& scratch) {
  constexpr int kDigit = 12;
  constexpr std::uint64_t kMask = (1u << kDigit) - 1;
  const int passes = (bits + kDigit - 1) / kDigit;
  scratch.resize(entries.size());
  // Every pass's counts come from one read of the values.
  std::vector<std::uint64_t> counts(static_cast<std::size_t>(passes) << kDigit, 0);
  for (std::uint64_t e : entries) {
    for (int p = 0; p < passes; ++p) ++counts[(p << kDigit) + ((e >> (low + p * kDigit)) & kMask)];
  }
  for (int p = 0; p < passes; ++p) {
    std::uint64_t* c = &counts[static_cast<std::size_t>(p) << kDigit];
    std::uint64_t sum = 0;
    for (std::uint64_t d = 0; d <= kMask; ++d) sum += std::exchange(c[d], sum);
    const int shift = low + p * kDigit;
    for (std::uint64_t e : entries) scratch[c[(e >> shift) & kMask]++] = e;
    entries.swap(scratch);
  }
}

PostingTableShape posting_table_shape(std::uint64_t entries, int key_bits, std::uint32_t low_bits,
                                      int id_bits) {
  const std::uint64_t buckets = std::uint64_t{1} << (key_bits - static_cast<int>(low_bits));
  return {packed_size(entries, static_cast<int>(low_bits)), (entries + buckets + 63) / 64 * 8,
          ((buckets + kSampleEvery - 1) / kSampleEvery + 1) * 8, packed_size(entries, id_bits)};
}

void prepare_posting_table(std::uint64_t entries, int key_bits, int id_bits,
                           PostingTableBytes& t) {
  t.low_bits = choose_low_bits(entries, key_bits);
  const PostingTableShape shape = posting_table_shape(entries, key_bits, t.low_bits, id_bits);
  t.low.assign(shape.low, 0);
  t.high.assign(shape.high, 0);
  t.ids.assign(shape.ids, 0);
  t.samples.assign(shape.samples, 0);
}

PostingTableView::PostingTableView(std::uint64_t entries, int key_bits, std::uint32_t low_bits,
                                   int id_bits, const PostingTableBytesView& bytes,
                                   const PageChecker* pages)
    : entries_(entries),
      low_bits_(low_bits),
      id_bits_(id_bits),
      buckets_(std::uint64_t{1} << (key_bits - static_cast<int>(low_bits))),
      high_bits_(entries + buckets_),
      bytes_(bytes),
      pages_(pages) {}

std::optional<std::uint64_t> PostingTableView::select_zero(std::uint64_t rank) const {
  const std::uint64_t s = rank / kSampleEvery;
  const std::uint8_t* sample = bytes_.samples + s * 8;
  if (!pages_->check(sample, 16)) return std::nullopt;
  const std::uint64_t from = load64(sample);
  const std::uint64_t to = load64(sample + 8);
  if (from > to || to > high_bits_) return std::nullopt;
  std::uint64_t left = rank - s * kSampleEvery;
  if (left == 0) return from;
  const std::uint64_t first_word = (from + 1) / 64;
  const std::uint64_t last_word = std::min(to, high_bits_ - 1) / 64;
  if (first_word > last_word ||
      !pages_->check(bytes_.high + first_word * 8, (last_word - first_word + 1) * 8)) {
    return std::nullopt;
  }
  for (std::uint64_t w = first_word; w <= last_word; ++w) {
    std::uint64_t zeros = ~load64(bytes_.high + w * 8);
    if (w == first_word) zeros &= ~std::uint64_t{0} << ((from + 1) % 64);
    const auto count = static_cast<std::uint64_t>(std::popcount(zeros));
    if (count >= left) {
      const std::uint64_t position = w * 64 + select_in_word(zeros, left - 1);
      if (position > to) return std::nullopt;
      return position;
    }
    left -= count;
  }
  return std::nullopt;
}

bool PostingTableView::entries(std::vector<std::uint64_t>& out) const {
  const std::uint64_t words = (high_bits_ + 63) / 64;
  const int low = static_cast<int>(low_bits_);
  out.clear();
  if (!pages_->check(bytes_.high, words * 8) ||
      !pages_->check(bytes_.ids, packed_size(entries_, id_bits_)) ||
      (low > 0 && !pages_->check(bytes_.low, packed_size(entries_, low)))) {
    return false;
  }
  out.reserve(entries_);
  std::uint64_t e = 0, previous = 0;
  for (std::uint64_t w = 0; w < words; ++w) {
    std::uint64_t ones = load64(bytes_.high + w * 8);
    if (w + 1 == words && high_bits_ % 64 != 0) ones &= (std::uint64_t{1} << (high_bits_ % 64)) - 1;
    for (; ones != 0; ones &= ones - 1, ++e) {
      // Entry e's one follows the zeros of the buckets before its own.
      const std::uint64_t bucket = w * 64 + static_cast<std::uint64_t>(std::countr_zero(ones)) - e;
      if (e == entries_ || bucket >= buckets_) return false;
      const std::uint64_t entry = (bucket << low | read_bits(bytes_.low, e, low)) << 32 |
                                  read_bits(bytes_.ids, e, id_bits_);
      if (e > 0 && entry <= previous) return false;
      out.push_back(previous = entry);
    }
  }
  return e == entries_;
}

namespace {

constexpr std::uint64_t kBad = ~std::uint64_t{0};
// A region this small next to its probes is cheaper to look up probe by
// probe through the sampled zeros than to decode whole.
constexpr std::uint64_t kDecodeBucketsPerProbe = 32;

}  // namespace

RegionLookup::RegionLookup(const PostingTableView& table, int split_bits)
    : table_(table),
      region_buckets_(std::uint64_t{1} << (split_bits - static_cast<int>(table.low_bits_))),
      words_((table.high_bits_ + 63) / 64),
      ids_(table.pages_),
      low_(table.pages_) {}

// Defined before its caller: a multiversioned function must be declared so
// before its first use.
VORLANT_POPCOUNT_CLONES
bool RegionLookup::decode(std::uint64_t first, std::uint64_t count) {
  if (first != next_bucket_ && !skip_to(first)) return false;
  if (bit_ < first) return false;
  // Bucket b's entries end where its zero lies, less the b zeros before it.
  // Offsets are kept from the region's first entry, in 32 bits, so that
  // they and the region's ids share the first-level cache.
  offsets_.resize(count + 1);
  std::uint32_t* const offsets = offsets_.data();
  const std::uint8_t* const high = table_.bytes_.high;
  const std::uint64_t base = bit_ - first;
  offsets[0] = 0;
  std::uint64_t w = bit_ / 64, checked = 0, position = 0, bucket = first;
  if (!checked_words(w, checked)) return false;
  std::uint64_t zeros = ~load64(high + w * 8) & (~std::uint64_t{0} << (bit_ % 64));
  for (std::uint64_t b = 1;;) {
    // A word's zeros in a loop of their own, free of calls, so that it
    // keeps its values in registers.
    for (; zeros != 0 && b <= count; ++b, ++bucket) {
      position = w * 64 + static_cast<std::uint64_t>(std::countr_zero(zeros));
      zeros &= zeros - 1;
      offsets[b] = static_cast<std::uint32_t>(position - bucket - base);
    }
    if (b > count) break;
    do {
      if (++w == checked && !checked_words(w, checked)) return false;
      zeros = ~load64(high + w * 8);
    } while (zeros == 0);
  }
  const std::uint64_t end = position - (first + count - 1);
  if (position >= table_.high_bits_ || end > table_.entries_ || end - base > UINT32_MAX) {
    return false;
  }
  region_base_ = base;
  bit_ = position + 1;
  next_bucket_ = first + count;
  return covered(base, end);
}

VORLANT_POPCOUNT_CLONES
bool RegionLookup::lookup(std::uint64_t region, std::span<const std::uint64_t> probes,
                          std::vector<std::uint64_t>& out) {
  const std::uint64_t first = region * region_buckets_;
  if (first >= table_.buckets_ || first < next_bucket_) return false;
  const std::uint64_t count = std::min(region_buckets_, table_.buckets_ - first);
  if (probes.size() * kDecodeBucketsPerProbe < count) return lookup_each(probes, out);
  if (!decode(first, count)) return false;
  // Copies the compiler can keep in registers while `out` grows.
  const std::uint32_t* const offsets = offsets_.data();
  const std::uint64_t base = region_base_;
  const std::uint8_t* const ids = table_.bytes_.ids;
  const std::uint8_t* const low = table_.bytes_.low;
  const int id_bits = table_.id_bits_;
  const int low_bits = static_cast<int>(table_.low_bits_);
  const std::uint64_t low_mask = (std::uint64_t{1} << low_bits) - 1;
  for (std::uint64_t probe : probes) {
    const std::uint64_t key = probe >> 32;
    const std::uint64_t j = (key >> low_bits) - first;
    if (j >= count) return false;
    for (std::uint64_t e = base + offsets[j]; e < base + offsets[j + 1]; ++e) {
      if (low_bits > 0 && read_bits(low, e, low_bits) != (key & low_mask)) continue;
      out.push_back(read_bits(ids, e, id_bits) << 32 | (probe & 0xffffffffu));
    }
  }
  return true;
}

bool RegionLookup::checked_words(std::uint64_t w, std::uint64_t& end) const {
  if (w >= words_) return false;
  const auto pages = table_.pages_->pages_around(table_.bytes_.high + w * 8, 8);
  if (pages.empty()) return false;
  end = std::min<std::uint64_t>(
      words_, static_cast<std::uint64_t>(pages.data() + pages.size() - table_.bytes_.high) / 8);
  return true;
}

bool RegionLookup::skip_to(std::uint64_t first) {
  // Far ahead, a sampled zero is nearer than walking there.
  if (first - next_bucket_ > 2 * kSampleEvery) {
    const auto zero = table_.select_zero(first - 1);
    bit_ = zero ? *zero + 1 : kBad;
    return zero.has_value();
  }
  std::uint64_t count = first - next_bucket_, w = bit_ / 64, end = 0;
  if (!checked_words(w, end)) return false;
  std::uint64_t zeros = ~load64(table_.bytes_.high + w * 8) & (~std::uint64_t{0} << (bit_ % 64));
  for (auto found = static_cast<std::uint64_t>(std::popcount(zeros)); found < count;
       found = static_cast<std::uint64_t>(std::popcount(zeros))) {
    count -= found;
    if (++w == end && !checked_words(w, end)) return false;
    zeros = ~load64(table_.bytes_.high + w * 8);
  }
  bit_ = w * 64 + static_cast<std::uint64_t>(select_in_word(zeros, count - 1)) + 1;
  return true;
}

bool RegionLookup::covered(std::uint64_t first, std::uint64_t last) {
  if (first == last) return true;
  const auto span = [](std::uint64_t from, std::uint64_t to, int width) {
    const std::uint64_t bit = from * static_cast<std::uint64_t>(width);
    return std::pair{bit / 8, (bit % 8 + (to - from) * static_cast<std::uint64_t>(width) + 7) / 8 + 8};
  };
  const auto ids = span(first, last, table_.id_bits_);
  const auto low = span(first, last, static_cast<int>(table_.low_bits_));
  return ids_.covers(table_.bytes_.ids + ids.first, ids.second) &&
         (table_.low_bits_ == 0 || low_.covers(table_.bytes_.low + low.first, low.second));
}

bool RegionLookup::lookup_each(std::span<const std::uint64_t> probes,
                               std::vector<std::uint64_t>& out) {
  const std::uint64_t low_mask = (std::uint64_t{1} << table_.low_bits_) - 1;
  for (std::uint64_t probe : probes) {
    const std::uint64_t key = probe >> 32;
    const std::uint64_t h = key >> table_.low_bits_;
    const auto end_zero = table_.select_zero(h);
    const auto begin_zero = h == 0 ? std::optional<std::uint64_t>(0) : table_.select_zero(h - 1);
    if (!end_zero || !begin_zero || *end_zero < h) return false;
    const std::uint64_t begin = h == 0 ? 0 : *begin_zero + 1 - h, end = *end_zero - h;
    if (begin > end || end > table_.entries_ || !covered(begin, end)) return false;
    for (std::uint64_t e = begin; e < end; ++e) {
      if (table_.low_bits_ > 0 &&
          read_bits(table_.bytes_.low, e, static_cast<int>(table_.low_bits_)) != (key & low_mask)) {
        continue;
      }
      out.push_back(read_bits(table_.bytes_.ids, e, table_.id_bits_) << 32 | (probe & 0xffffffffu));
    }
  }
  return true;
}
