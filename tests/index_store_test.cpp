// The index folder through its public calls: the catalogue's entries, the
// search over several segments and several indexes against a flat scan, and
// segment files that were cut short or damaged.

#include "index/index_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "evidence/checked_envelope.h"
#include "evidence_fixture.h"
#include "index/evidence_recording.h"
#include "index/index_search.h"
#include "index_test_util.h"
#include "test_util.h"

namespace {

using index_test::flat_scan;
using index_test::nearby_queries;
using index_test::test_recording;

std::vector<std::string> ids(const Result<std::vector<RecordingInfo>>& listed) {
  std::vector<std::string> out;
  for (const RecordingInfo& r : *listed) out.push_back(r.manifest_sha256.substr(60));
  return out;
}

void add_all(const std::string& index, std::initializer_list<std::uint64_t> ks, std::size_t n,
             bool random = false) {
  auto writer = IndexWriter::open(index);
  ASSERT_TRUE(writer) << writer.error();
  for (std::uint64_t k : ks) {
    ASSERT_EQ(*writer->add(test_recording(k, n, random)), AddOutcome::Added);
  }
  ASSERT_TRUE(writer->flush());
}

TEST(IndexStore, KeepsEachManifestOnceListsInOrderAndRemoves) {
  test_util::TempDir dir;
  const std::string index = dir.file("index");
  add_all(index, {3, 1}, 50);
  auto writer = IndexWriter::open(index);
  ASSERT_TRUE(writer) << writer.error();
  EXPECT_EQ(*writer->add(test_recording(1, 50)), AddOutcome::AlreadyIndexed);
  EXPECT_EQ(*writer->add(test_recording(2, 70)), AddOutcome::Added);
  EXPECT_EQ(*writer->add(test_recording(2, 70)), AddOutcome::AlreadyIndexed);
  ASSERT_TRUE(writer->flush());
  EXPECT_EQ(ids(list_recordings(index)), (std::vector<std::string>{"0003", "0001", "0002"}));
  EXPECT_EQ((*list_recordings(index))[2], test_recording(2, 70).info);

  EXPECT_EQ(writer->remove(test_recording(3, 1).info.manifest_sha256), true);
  EXPECT_EQ(writer->remove(test_recording(3, 1).info.manifest_sha256), false);
  const NewRecording three = test_recording(3, 50);
  auto gone = search_indexes(std::vector{index}, three.hashes, 0);
  ASSERT_TRUE(gone) << gone.error();
  EXPECT_TRUE(gone->empty());
  // Added again, it is found once.
  EXPECT_EQ(*writer->add(three), AddOutcome::Added);
  ASSERT_TRUE(writer->flush());
  EXPECT_EQ(ids(list_recordings(index)), (std::vector<std::string>{"0001", "0002", "0003"}));
  auto found = search_indexes(std::vector{index}, std::span(three.hashes).first(1), 0);
  ASSERT_EQ(found->size(), 1u);
  EXPECT_EQ(found->front().hits, (std::vector<QueryHit>{{0, 0, 0, 0}}));
}

// Static scenes, and hashes that never repeat, whose tables file blocks of
// runs that the recordings' lengths do not fill.
class SeveralIndexes : public testing::TestWithParam<bool> {};

TEST_P(SeveralIndexes, SearchIsAFlatScanOfEachRecording) {
  const bool random = GetParam();
  test_util::TempDir dir;
  const std::vector<std::string> indexes = {dir.file("a"), dir.file("b")};
  // Flushes of falling size leave several segments; the equal ones merge.
  add_all(indexes[0], {1, 2, 3, 4}, 900, random);
  add_all(indexes[0], {5}, 300, random);
  add_all(indexes[0], {6}, 80, random);
  add_all(indexes[1], {7, 8}, 500, random);
  add_all(indexes[1], {9}, 500, random);
  // In both indexes: found once, its stretches from each joined.
  add_all(indexes[1], {1}, 900, random);
  std::map<std::string, std::vector<PackedHash>> all;
  std::vector<PackedHash> everything;
  for (std::uint64_t k = 1; k <= 9; ++k) {
    const NewRecording r =
        test_recording(k, k <= 4 ? 900 : k == 5 ? 300 : k == 6 ? 80 : 500, random);
    all[r.info.manifest_sha256] = r.hashes;
    everything.insert(everything.end(), r.hashes.begin(), r.hashes.end());
  }
  const std::vector<PackedHash> queries = nearby_queries(everything, 150, 11);
  for (int d : {0, 8, 16, 31, 40}) {
    SCOPED_TRACE(d);
    auto found = search_indexes(indexes, queries, d);
    ASSERT_TRUE(found) << found.error();
    std::size_t expected_recordings = 0;
    for (const auto& [id, hashes] : all) {
      const std::vector<QueryHit> expected = flat_scan(hashes, queries, d);
      if (expected.empty()) continue;
      ++expected_recordings;
      auto it = std::find_if(found->begin(), found->end(), [&](const RecordingHits& h) {
        return h.recording.manifest_sha256 == id;
      });
      ASSERT_NE(it, found->end());
      EXPECT_EQ(it->hits, expected);
    }
    EXPECT_EQ(found->size(), expected_recordings);
  }
}

INSTANTIATE_TEST_SUITE_P(Contents, SeveralIndexes, testing::Bool(),
                         [](const auto& info) { return info.param ? "Random" : "StaticScenes"; });

TEST(IndexStore, EvidenceBecomesACatalogueEntry) {
  auto checked = check_envelope_document(
      std::span(reinterpret_cast<const std::uint8_t*>(fixture::kFullEnvelope.data()),
                fixture::kFullEnvelope.size()));
  ASSERT_TRUE(checked) << checked.error();
  auto r = recording_from_evidence(checked->envelope, checked->manifest, "cam7/export.json",
                                   SourceBinding::NotChecked);
  ASSERT_TRUE(r) << r.error();
  const RecordingInfo expected{"99890a7e249b63521d35bfcb5288ddde911853835c6d9355b9d030c413c3bec4",
                               "nvr-01",
                               "key-01",
                               "0460fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb"
                               "67903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299",
                               1700000000000,
                               2.0,
                               std::string(fixture::kSourceSha256),
                               28,
                               "cam7/export.json",
                               SourceBinding::NotChecked,
                               2};
  EXPECT_EQ(r->info, expected);
  EXPECT_EQ(r->hashes, (std::vector<PackedHash>{{0, 0, 0, 0}, {~0ull, ~0ull, ~0ull, ~0ull}}));
  checked->manifest.fps.reset();
  EXPECT_EQ(
      recording_from_evidence(checked->envelope, checked->manifest, "x", SourceBinding::Ok).error(),
      "the signed manifest has no phashes_hex and fps to index");
}

std::string only_segment(const std::string& index) {
  for (const auto& entry : std::filesystem::directory_iterator(index)) {
    if (entry.path().extension() == ".vvseg") return entry.path().string();
  }
  return {};
}

TEST(IndexStore, DamagedSegmentsAreErrorsNeverReadsPastTheirEnd) {
  const auto cut = [](std::size_t keep) { return [=](std::string& b) { b.resize(keep); }; };
  const auto cut_by = [](std::size_t drop) {
    return [=](std::string& b) { b.resize(b.size() - drop); };
  };
  const auto set = [](std::size_t at, char v) { return [=](std::string& b) { b[at] = v; }; };
  // The last table's ids, near the end of the body: read only by probes.
  const auto late = [](std::string& b) { b[b.size() - 200] ^= 1; };
  const struct {
    const char* name;
    std::function<void(std::string&)> damage;
    const char* message;
  } kCases[] = {
      {"cut short", cut_by(100), " is truncated"},
      {"cut to the header", cut(4096), " is truncated"},
      {"empty", cut(0), " is truncated"},
      {"header damaged", set(40, 0x5a), " is corrupted"},
      {"later version", set(8, 4), " has version 4, this program reads versions 2 and 3"},
      {"first page damaged", set(4096 + 10, 0x7f), " is corrupted"},
      {"a page read late damaged", late, " is corrupted"},
  };
  // Static scenes, whose tables file runs, and hashes that never repeat,
  // whose tables file blocks of runs.
  NewRecording random = test_recording(1, 2000);
  random.hashes = index_test::random_hashes(2000, 9);
  for (const NewRecording& r : {test_recording(1, 2000), random}) {
    for (const auto& c : kCases) {
      SCOPED_TRACE(c.name);
      test_util::TempDir dir;
      const std::string index = dir.file("index");
      {
        auto writer = IndexWriter::open(index);
        ASSERT_TRUE(writer && writer->add(r) && writer->flush());
      }
      const std::string segment = only_segment(index);
      std::string bytes = test_util::read_file(segment);
      ASSERT_EQ(bytes[8], r.hashes == random.hashes ? 3 : 2);  // the segment's version
      c.damage(bytes);
      test_util::write_file(segment, bytes);
      auto found = search_indexes(std::vector{index}, r.hashes, 31);
      ASSERT_FALSE(found);
      EXPECT_EQ(found.error(), "index segment " + segment + c.message);
    }
  }
}

}  // namespace
