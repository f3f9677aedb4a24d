// Segment files below the index's public calls: the page checksum every
// build must compute alike, and merges, which take tables from their inputs
// instead of computing them, against a segment built from the runs.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "fileio/fd.h"
#include "index/checksum.h"
#include "index/hash_runs.h"
#include "index/segment_writer.h"
#include "index_test_util.h"
#include "test_util.h"

namespace {

// The values pin the format: x86-64 sums eight lanes in SSE2 registers,
// other processors one lane at a time, and a file must check on both.
TEST(SegmentChecksum, PinnedValuesForEveryTailLength) {
  std::vector<std::uint8_t> bytes(4096);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 131 + (i >> 8));
  const struct {
    std::size_t length;
    std::uint64_t sum;
  } kCases[] = {{0, 0x5a489d30474033f8}, {1, 0x644a59d51c211f65},   {63, 0xd22baceed2c52df8},
                {64, 0x79bc70a50eb5ee02}, {100, 0x4a1cb76e479b1c59}, {4096, 0x01853c3a4db49892}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.length);
    EXPECT_EQ(checksum64(std::span(bytes).first(c.length)), c.sum);
  }
  // Two words trading places across stripes change the sum.
  std::vector<std::uint8_t> swapped = bytes;
  std::swap_ranges(swapped.begin(), swapped.begin() + 8, swapped.begin() + 64);
  EXPECT_NE(checksum64(swapped), checksum64(bytes));
}

// A merge that drops a recording and renumbers the runs after it, and takes
// in recordings of no segment after them, writes the very bytes a segment
// built from the kept runs has: for static scenes, whose tables file runs,
// and for hashes that never repeat, whose tables file blocks of runs that a
// recording's length does not fill.
class SegmentMerge : public testing::TestWithParam<bool> {};

TEST_P(SegmentMerge, EqualsASegmentBuiltFromTheKeptRuns) {
  const bool random = GetParam();
  std::vector<RunList> lists(5);
  std::vector<RecordingRuns> runs;
  for (std::uint64_t k = 0; k < lists.size(); ++k) {
    const std::size_t count = 400 + 150 * k;
    append_runs(random ? index_test::random_hashes(count, 20 + k)
                       : index_test::test_recording(k, count).hashes,
                lists[k]);
    runs.push_back(runs_of(lists[k], 10 + k, count));
  }
  const std::vector<std::uint8_t> older = build_segment(std::span(runs).first(3));
  const std::vector<std::uint8_t> newer = build_segment(std::span(runs).subspan(3, 1));
  auto a = SegmentReader::open(older, "older");
  auto b = SegmentReader::open(newer, "newer");
  ASSERT_TRUE(a && b);
  const std::vector<MergeInput> inputs = {
      {&*a, {0, 2}, {}}, {&*b, {0}, {}}, {nullptr, {}, std::span(runs).subspan(4)}};
  test_util::TempDir dir;
  const std::string path = dir.file("merged");
  {
    Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    ASSERT_TRUE(write_merged_segment_file(inputs, fd.get(), path));
  }
  const std::vector<RecordingRuns> kept = {runs[0], runs[2], runs[3], runs[4]};
  const std::vector<std::uint8_t> expected = build_segment(kept);
  const std::string written = test_util::read_file(path);
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(std::vector<std::uint8_t>(written.begin(), written.end()), expected);
  // The kinds of table the case is about.
  auto merged = SegmentReader::open(expected, "expected");
  ASSERT_TRUE(merged);
  EXPECT_EQ(merged->block_bits() > 0, random);
}

INSTANTIATE_TEST_SUITE_P(Contents, SegmentMerge, testing::Bool(),
                         [](const auto& info) { return info.param ? "Random" : "StaticScenes"; });

// A file goes out a megabyte at a time; one whose sections are longer than
// that (80,000 distinct hashes: 1.3 MB of representatives' halves each)
// holds the very bytes built in memory in one piece.
TEST(SegmentFile, LongSectionsWrittenInPiecesEqualTheBuildInMemory) {
  RunList list;
  append_runs(index_test::random_hashes(80000, 7), list);
  const std::vector<RecordingRuns> runs = {runs_of(list, 1, 80000)};
  test_util::TempDir dir;
  const std::string path = dir.file("segment");
  {
    Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    ASSERT_TRUE(write_segment_file(runs, fd.get(), path));
  }
  const std::vector<std::uint8_t> expected = build_segment(runs);
  const std::string written = test_util::read_file(path);
  ASSERT_GT(expected.size(), std::size_t{2} << 20);
  // Compared whole, not printed: a difference would print megabytes.
  EXPECT_TRUE(std::vector<std::uint8_t>(written.begin(), written.end()) == expected);
}

}  // namespace
