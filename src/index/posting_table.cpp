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

constexpr std::uint64_t kSampleEvery = 128;

std::uint64_t load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

void store_bits(std::vector<std::uint8_t>& bytes, std::uint64_t index, int width,
                std::uint64_t value) {
  if (width == 0) return;
  const std::uint64_t bit = index * static_cast<std::uint64_t>(width);
  std::uint64_t word = load64(&bytes[bit / 8]);
  word |= value << (bit % 8);
  std::memcpy(&bytes[bit / 8], &word, 8);
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

PostingTableBytes encode_posting_table(std::span<const std::uint64_t> entries, int key_bits,
                                       int id_bits) {
  PostingTableBytes t;
  t.low_bits = choose_low_bits(entries.size(), key_bits);
  const int low = static_cast<int>(t.low_bits);
  const PostingTableShape shape =
      posting_table_shape(entries.size(), key_bits, t.low_bits, id_bits);
  t.low.assign(shape.low, 0);
  t.high.assign(shape.high, 0);
  t.ids.assign(shape.ids, 0);
  for (std::uint64_t i = 0; i < entries.size(); ++i) {
    const std::uint64_t key = entries[i] >> 32;
    store_bits(t.low, i, low, key & ((std::uint64_t{1} << low) - 1));
    const std::uint64_t bit = (key >> low) + i;
    t.high[bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
    store_bits(t.ids, i, id_bits, entries[i] & 0xffffffffu);
  }
  // Zero h sits after the entries of buckets 0 to h.
  const std::uint64_t buckets = std::uint64_t{1} << (key_bits - low);
  std::uint64_t seen = 0;
  for (std::uint64_t h = 0; h < buckets; h += kSampleEvery) {
    while (seen < entries.size() && (entries[seen] >> 32 >> low) <= h) ++seen;
    const std::uint64_t position = seen + h;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&position);
    t.samples.insert(t.samples.end(), bytes, bytes + 8);
  }
  const std::uint64_t end = entries.size() + buckets;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&end);
  t.samples.insert(t.samples.end(), bytes, bytes + 8);
  return t;
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

std::optional<std::pair<std::uint64_t, std::uint64_t>> PostingTableView::find(
    std::uint32_t key) const {
  const std::uint64_t h = key >> low_bits_;
  if (h >= buckets_) return std::nullopt;
  std::uint64_t begin = 0;
  if (h > 0) {
    const auto z = select_zero(h - 1);
    if (!z || *z < h - 1) return std::nullopt;
    begin = *z - (h - 1);
  }
  const auto z = select_zero(h);
  if (!z || *z < h || *z - h < begin) return std::nullopt;
  return narrow(begin, *z - h, key);
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> PostingTableView::narrow(
    std::uint64_t begin, std::uint64_t end, std::uint32_t key) const {
  if (end > entries_) return std::nullopt;
  if (low_bits_ == 0 || begin == end) return std::pair{begin, end};
  const int width = static_cast<int>(low_bits_);
  if (!pages_->check(bytes_.low + begin * low_bits_ / 8, (end - begin) * low_bits_ / 8 + 9)) {
    return std::nullopt;
  }
  const std::uint64_t want = key & ((std::uint64_t{1} << low_bits_) - 1);
  while (begin < end && read_bits(bytes_.low, begin, width) < want) ++begin;
  std::uint64_t last = begin;
  while (last < end && read_bits(bytes_.low, last, width) == want) ++last;
  return std::pair{begin, last};
}

bool PostingTableView::append_ids(std::uint64_t first, std::uint64_t last,
                                  std::vector<std::uint32_t>& out) const {
  if (first >= last) return true;
  const std::uint64_t bit = first * static_cast<std::uint64_t>(id_bits_);
  const std::uint64_t span = (last - first) * static_cast<std::uint64_t>(id_bits_);
  if (!pages_->check(bytes_.ids + bit / 8, (bit % 8 + span + 7) / 8 + 8)) return false;
  for (std::uint64_t i = first; i < last; ++i) {
    out.push_back(static_cast<std::uint32_t>(read_bits(bytes_.ids, i, id_bits_)));
  }
  return true;
}

namespace {

// Reads the high bit vector forward, one checked word at a time.
class HighBits {
 public:
  HighBits(const std::uint8_t* bytes, std::uint64_t bits, const PageChecker* pages)
      : bytes_(bytes), bits_(bits), pages_(pages) {}
  // The position just after the `count`-th zero (from 1) at or after `from`.
  std::optional<std::uint64_t> after_zeros(std::uint64_t from, std::uint64_t count) {
    for (std::uint64_t w = from / 64, skip = from % 64;; ++w, skip = 0) {
      const auto zeros = zeros_in(w, skip);
      if (!zeros) return std::nullopt;
      const auto found = static_cast<std::uint64_t>(std::popcount(*zeros));
      if (found >= count)
        return w * 64 + static_cast<std::uint64_t>(select_in_word(*zeros, count - 1)) + 1;
      count -= found;
    }
  }
  // The position of the first zero at or after `from`.
  std::optional<std::uint64_t> next_zero(std::uint64_t from) {
    for (std::uint64_t w = from / 64, skip = from % 64;; ++w, skip = 0) {
      const auto zeros = zeros_in(w, skip);
      if (!zeros) return std::nullopt;
      if (*zeros != 0) return w * 64 + static_cast<std::uint64_t>(std::countr_zero(*zeros));
    }
  }

 private:
  std::optional<std::uint64_t> zeros_in(std::uint64_t w, std::uint64_t skip) {
    if (w != loaded_) {
      if (w * 64 >= bits_ || !pages_->check(bytes_ + w * 8, 8)) return std::nullopt;
      word_ = load64(bytes_ + w * 8);
      loaded_ = w;
    }
    return ~word_ & (~std::uint64_t{0} << skip);
  }

  const std::uint8_t* bytes_;
  std::uint64_t bits_;
  const PageChecker* pages_;
  std::uint64_t loaded_ = ~std::uint64_t{0}, word_ = 0;
};

}  // namespace

VORLANT_POPCOUNT_CLONES
bool PostingTableView::join(std::span<const std::uint64_t> probes, int tag_bits,
                            std::vector<std::uint64_t>& out) const {
  HighBits high(bytes_.high, high_bits_, pages_);
  std::uint64_t bucket = 0, start = 0;  // bucket's ones begin at bit start
  for (std::size_t i = 0; i < probes.size();) {
    const auto key = static_cast<std::uint32_t>(probes[i] >> 32);
    const std::uint64_t h = key >> low_bits_;
    if (h >= buckets_ || h < bucket) return false;
    // Far ahead, a sampled zero is nearer than walking there.
    const auto begin = h - bucket > 2 * kSampleEvery
                           ? select_zero(h - 1).transform([](auto z) { return z + 1; })
                       : h > bucket ? high.after_zeros(start, h - bucket)
                                    : std::optional{start};
    const auto end_zero = begin ? high.next_zero(*begin) : std::nullopt;
    if (!end_zero || *end_zero >= high_bits_ || *begin < h) return false;
    bucket = h;
    start = *begin;
    auto range = narrow(start - h, *end_zero - h, key);
    if (!range) return false;
    // Every probe of this key takes the same entries.
    std::size_t next = i + 1;
    while (next < probes.size() && probes[next] >> 32 == key) ++next;
    if (!append_pairs(*range, probes.subspan(i, next - i), tag_bits, out)) return false;
    i = next;
  }
  return true;
}

bool PostingTableView::append_pairs(std::pair<std::uint64_t, std::uint64_t> range,
                                    std::span<const std::uint64_t> probes, int tag_bits,
                                    std::vector<std::uint64_t>& out) const {
  if (range.first == range.second) return true;
  const std::uint64_t bit = range.first * static_cast<std::uint64_t>(id_bits_);
  const std::uint64_t span = (range.second - range.first) * static_cast<std::uint64_t>(id_bits_);
  if (!pages_->check(bytes_.ids + bit / 8, (bit % 8 + span + 7) / 8 + 8)) return false;
  for (std::uint64_t e = range.first; e < range.second; ++e) {
    const std::uint64_t id = read_bits(bytes_.ids, e, id_bits_);
    for (std::uint64_t probe : probes) out.push_back(id << tag_bits | (probe & 0xffffffffu));
  }
  return true;
}
