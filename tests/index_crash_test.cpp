// The index against writers that die and writers that run beside readers:
// a child process adds recordings and is killed with SIGKILL at random
// moments, and the index must open, list and search, holding whole
// recordings only; a search running while another process adds must see
// every recording it lists whole.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "index/index_search.h"
#include "index/index_store.h"
#include "index_test_util.h"
#include "test_util.h"

namespace {

using index_test::test_recording;

std::size_t size_of(std::uint64_t k) { return 40 + k * 37 % 400; }
std::uint64_t number_of(const RecordingInfo& r) {
  return std::stoull(r.manifest_sha256, nullptr, 16);
}

// Adds 200 recordings from `first` on, one flush each, then waits to be killed.
[[noreturn]] void add_forever(const std::string& index, std::uint64_t first) {
  auto writer = IndexWriter::open(index);
  for (std::uint64_t k = first; writer && k < first + 200; ++k) {
    if (!writer->add(test_recording(k, size_of(k))) || !writer->flush()) ::_exit(1);
  }
  for (;;) ::pause();
}

pid_t start_adding(const std::string& index, std::uint64_t first) {
  const pid_t pid = ::fork();
  if (pid == 0) add_forever(index, first);
  return pid;
}

void kill_and_reap(pid_t pid) {
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
}

// Every listed recording is found whole at distance 0, and nothing else is
// found; returns how many were listed.
std::size_t expect_whole_recordings(const std::string& index) {
  std::vector<PackedHash> queries;
  auto listed = list_recordings(index);
  EXPECT_TRUE(listed) << listed.error();
  if (!listed) return 0;
  std::vector<std::uint64_t> numbers;
  for (const RecordingInfo& r : *listed) {
    numbers.push_back(number_of(r));
    EXPECT_EQ(r.hash_count, size_of(numbers.back()));
  }
  for (std::uint64_t k : numbers) {
    const auto hashes = test_recording(k, size_of(k)).hashes;
    queries.insert(queries.end(), hashes.begin(), hashes.end());
  }
  auto found = search_indexes(std::vector{index}, queries, 0);
  EXPECT_TRUE(found) << found.error();
  if (!found) return 0;
  for (const RecordingHits& r : *found) {
    const std::uint64_t k = number_of(r.recording);
    EXPECT_NE(std::find(numbers.begin(), numbers.end(), k), numbers.end()) << k;
    std::vector<bool> seen(size_of(k), false);
    for (const QueryHit& h : r.hits) {
      for (std::uint32_t j = h.first; j <= h.last && j < seen.size(); ++j) seen[j] = true;
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), false), 0) << "recording " << k;
  }
  // Searching a recording's own hashes finds at least that recording.
  EXPECT_GE(found->size(), numbers.size());
  return numbers.size();
}

TEST(IndexCrash, AnAddKilledAtAnyMomentLeavesWholeRecordings) {
  test_util::TempDir dir;
  const std::string index = dir.file("index");
  ASSERT_TRUE(IndexWriter::open(index));
  std::mt19937_64 random(7);
  std::size_t listed = 0;
  for (std::uint64_t round = 0; round < 12; ++round) {
    const pid_t child = start_adding(index, 1 + round * 1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 150));
    kill_and_reap(child);
    listed = expect_whole_recordings(index);
  }
  EXPECT_GT(listed, 0u);
  // A writer that comes after the killed ones removes what they left.
  ASSERT_TRUE(IndexWriter::open(index));
  std::size_t segments = 0;
  for (const auto& e : std::filesystem::directory_iterator(index)) {
    segments += e.path().extension() == ".vvseg";
  }
  auto snapshot = IndexSnapshot::open(index);
  ASSERT_TRUE(snapshot) << snapshot.error();
  EXPECT_EQ(segments, snapshot->segments().size());
}

TEST(IndexCrash, SearchesBesideTwoWritersSeeWholeRecordings) {
  test_util::TempDir dir;
  const std::string index = dir.file("index");
  ASSERT_TRUE(IndexWriter::open(index));
  const pid_t first = start_adding(index, 1);
  const pid_t second = start_adding(index, 1'000'000);  // waits for the first's lock
  // Searches go on while the first writer adds, then while the second does.
  std::size_t listed = 0;
  for (int i = 0; i < 2000 && listed < 40; ++i) listed = expect_whole_recordings(index);
  kill_and_reap(first);
  const std::size_t before = listed;
  for (int i = 0; i < 2000 && listed < before + 40; ++i) listed = expect_whole_recordings(index);
  kill_and_reap(second);
  EXPECT_GE(listed, before + 40);
}

}  // namespace
