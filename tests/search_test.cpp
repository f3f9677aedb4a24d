// search through the built program: a 60-second recording whose evidence was
// made by the real chain and added by index add to an index of its own,
// searched together with an archive of 1,000 other recordings, one of which
// holds the recording's first 32 seconds. Excerpts re-encoded, letterboxed
// and mirrored, and an unrelated clip. The media are made once, small.

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "index/index_store.h"
#include "index_test_util.h"
#include "test_util.h"

namespace {

using test_util::RunResult;
using test_util::TempDir;

constexpr std::uint64_t kArchiveSize = 1000;
constexpr std::size_t kSharedHashes = 64;  // 0 to 31.5 s at 2 fps

// clang-format off
const std::vector<std::string> kMedia = {
    "ffmpeg", "-v", "error", "-f", "lavfi", "-i", "mandelbrot=size=320x180:rate=10:maxiter=256",
    "-f", "lavfi", "-i", "life=size=320x180:rate=10:ratio=0.2:seed=7",
    "-filter_complex",
    "[0:v]trim=0:60,format=yuv420p,split=4[original][a][b][c];"
    "[a]trim=28:34,setpts=PTS-STARTPTS[reencoded];"
    "[b]trim=40:46,setpts=PTS-STARTPTS,pad=320:240:0:30:black[letterbox];"
    "[c]trim=50:56,setpts=PTS-STARTPTS,hflip[mirrored];"
    "[1:v]trim=0:5[unrelated]",
    "-c:v", "libx264", "-preset", "ultrafast", "-crf", "30", "-pix_fmt", "yuv420p",
    "-map", "[original]", "original.mp4", "-map", "[reencoded]", "reencoded.mp4",
    "-map", "[letterbox]", "letterbox.mp4", "-map", "[mirrored]", "mirrored.mp4",
    "-map", "[unrelated]", "unrelated.mp4"};
// clang-format on

class Search : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!test_util::have_ffmpeg()) return;
    dir_ = std::make_unique<TempDir>();
    const RunResult made = test_util::run_tool(kMedia, dir_->path());
    ASSERT_EQ(made.status, 0) << made.err;
    auto steps = test_util::evidence_chain("original.mp4", "evidence.mp4");
    steps.push_back({"index", "add", "planted", "evidence.mp4", "-o", "added.jsonl"});
    for (const std::vector<std::string>& step : steps) {
      ASSERT_EQ(run(step).status, 0) << step[0];
    }
    planted_ = nlohmann::json::parse(test_util::read_file(dir_->file("added.jsonl")))
                   .at("manifest_sha256_hex");

    auto writer = IndexWriter::open(dir_->file("archive"));
    ASSERT_TRUE(writer) << writer.error();
    for (std::uint64_t k = 0; k < kArchiveSize; ++k) {
      ASSERT_TRUE(writer->add(index_test::test_recording(k, 120)));
    }
    NewRecording shared = index_test::test_recording(kArchiveSize, 0);
    const auto signed_hashes =
        nlohmann::json::parse(test_util::read_file(dir_->file("request.json")))["phashes_hex"];
    for (std::size_t i = 0; i < kSharedHashes; ++i) {
      shared.hashes.push_back(*pack_hash(signed_hashes.at(i).get<std::string>()));
    }
    ASSERT_TRUE(writer->add(shared));
    ASSERT_TRUE(writer->flush());
    shared_ = shared.info.manifest_sha256;
  }
  static void TearDownTestSuite() { dir_.reset(); }
  void SetUp() override {
    if (!dir_) GTEST_SKIP() << "ffmpeg and ffprobe are not installed";
  }

  static RunResult run(const std::vector<std::string>& args) {
    test_util::RunOptions options;
    options.cwd = dir_->path();
    return test_util::run(args, options);
  }

  static inline std::unique_ptr<TempDir> dir_;
  static inline std::string planted_, shared_;
};

// Each excerpt finds the planted recording first, placed within one signed
// interval and with the picture's change named; the archive's recording of
// the first 32 seconds comes second where the excerpt overlaps it.
TEST_F(Search, ExcerptsFindTheirRecordingFirstAmongAThousand) {
  const struct {
    std::vector<std::string> args;
    std::vector<std::string*> found;
    double start = 0;
    std::string_view transform = "none", boxed = "none";
  } kCases[] = {
      {{"reencoded.mp4"}, {&planted_, &shared_}, 28},
      {{"--top", "1", "reencoded.mp4"}, {&planted_}, 28},
      {{"letterbox.mp4"}, {&planted_}, 40, "none", "letterbox"},
      {{"mirrored.mp4"}, {&planted_}, 50, "mirrored"},
      {{"unrelated.mp4"}, {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.args.back() + (c.args.size() > 1 ? " " + c.args[0] : ""));
    std::vector<std::string> args = {"search", "archive", "planted"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto report = nlohmann::json::parse(r.out);
    EXPECT_EQ(report["v"], 1);
    EXPECT_EQ(report["purpose"], "zq.evidence.search_result.v1");
    EXPECT_EQ(report["indexes"], (std::vector<std::string>{"archive", "planted"}));
    const auto& results = report["results"];
    ASSERT_EQ(results.size(), c.found.size()) << report.dump(2);
    for (std::size_t i = 0; i < c.found.size(); ++i) {
      EXPECT_EQ(results[i]["manifest_sha256_hex"], *c.found[i]);
    }
    if (c.found.empty()) {
      EXPECT_TRUE(
          r.err.ends_with("==> no indexed recording matches the clip above low "
                          "confidence\n"))
          << r.err;
      continue;
    }
    const auto& best = results[0];
    EXPECT_EQ(best["evidence"], "evidence.mp4");
    EXPECT_NEAR(best["offset_seconds"].get<double>(), c.start, 0.5);
    const auto& segment = best["segments"][0];
    EXPECT_NEAR(segment["recording_start_s"].get<double>(), c.start, 0.5);
    EXPECT_EQ(segment["transform"], c.transform);
    EXPECT_EQ(segment["boxed"], c.boxed);
  }
}

}  // namespace
