// index add, list and remove through the built program, on the fixed
// evidence of evidence_fixture.h and an envelope signed here with another
// key: the line written for each file, the summary, the exit status, and
// what the index holds afterwards.

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "evidence_fixture.h"
#include "test_util.h"

namespace {

using test_util::RunResult;
using test_util::TempDir;
using test_util::write_file;

constexpr std::string_view kFullId =
    "99890a7e249b63521d35bfcb5288ddde911853835c6d9355b9d030c413c3bec4";
// The public key of private key 1: the curve's generator point.
constexpr std::string_view kGeneratorKey =
    "046b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c2964fe342e2fe1a7f9b8ee7eb4a7c0"
    "f9e162bce33576b315ececbb6406837bf51f5";

// kFullEnvelope's evidence file as list describes it.
constexpr std::string_view kFullRecording =
    R"({"evidence":"full.mp4","fps":2.0,"manifest_sha256_hex":"99890a7e249b63521d35bfcb5288ddde911853835c6d9355b9d030c413c3bec4","nvr_device_id":"nvr-01","nvr_key_id":"key-01","nvr_pubkey_hex":"0460fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb67903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299","phash_count":2,"signed_at_ms":1700000000000,"source_binding":"ok","source_sha256_hex":"01e0f45099e3d95e64ef94580220576c10e35e289282bf695610f7b9ce2fbd7c","source_size":28})"
    "\n";

class IndexCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(dir_.file("full.mp4"), fixture::evidence_file(fixture::kFullEnvelope));
    write_file(dir_.file("full.json"), fixture::kFullEnvelope);  // the same manifest
    write_file(dir_.file("no-hashes.mp4"), fixture::evidence_file(fixture::kPlainEnvelope));
    std::string forged(fixture::kFullEnvelope);
    const std::size_t sig = forged.find("\"nvr_sig_hex\": \"") + 16;
    forged[sig] = forged[sig] == '0' ? '1' : '0';
    write_file(dir_.file("forged.json"), forged);
  }
  RunResult run(std::vector<std::string> args) const {
    test_util::RunOptions options;
    options.cwd = dir_.path();
    return test_util::run(args, options);
  }
  std::string read(const std::string& name) const { return test_util::read_file(dir_.file(name)); }

  TempDir dir_;
};

TEST_F(IndexCommand, AddReportsEachFileAndIndexesWhatItCanDespiteRefusals) {
  // An envelope of two hashes signed by another key.
  write_file(dir_.file("hashes.txt"), std::string(63, '0') + "1\n" + std::string(63, '0') + "2\n");
  ASSERT_EQ(run({"prepare-attestation", "full.mp4", "--pdq-hashes", "hashes.txt", "-o", "req.json"})
                .status,
            0);
  ASSERT_EQ(run({"sign-attestation", "req.json", "--nvr-device-id", "nvr-02", "--nvr-key-id",
                 "key-02", "--nvr-private-key-hex", std::string(63, '0') + "1", "-o", "other.json"})
                .status,
            0);
  const struct {
    std::vector<std::string> args;
    int status;
    std::string_view lines, summary;
    std::string_view other = {};  // other.json's status, its line being last
  } kRuns[] = {
      {{"full.mp4", "full.json", "no-hashes.mp4", "forged.json"},
       1,
       R"({"evidence":"full.mp4","manifest_sha256_hex":"99890a7e249b63521d35bfcb5288ddde911853835c6d9355b9d030c413c3bec4","phash_count":2,"status":"added"}
{"evidence":"full.json","manifest_sha256_hex":"99890a7e249b63521d35bfcb5288ddde911853835c6d9355b9d030c413c3bec4","phash_count":2,"status":"already_indexed"}
{"error":"the signed manifest has no phashes_hex and fps to index","evidence":"no-hashes.mp4","status":"refused"}
{"error":"NVR signature does not verify with envelope public key","evidence":"forged.json","status":"refused"}
)",
       "==> 4 files: 1 added, 1 already indexed, 2 refused; index idx\n"
       "error: 2 of 4 evidence files were refused\n"},
      // Pinned to the other key: the test key's file is refused, the other added.
      {{"full.mp4", "other.json", "--nvr-pubkey-hex", std::string(kGeneratorKey)},
       1,
       R"({"error":"The envelope's NVR public key is not one of the pinned keys: 0460fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb67903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299","evidence":"full.mp4","status":"refused"}
)",
       "==> 2 files: 1 added, 0 already indexed, 1 refused; index idx\n"
       "error: 1 of 2 evidence files were refused\n",
       "added"},
      {{"full.mp4", "other.json"},
       0,
       R"({"evidence":"full.mp4","manifest_sha256_hex":"99890a7e249b63521d35bfcb5288ddde911853835c6d9355b9d030c413c3bec4","phash_count":2,"status":"already_indexed"}
)",
       "==> 2 files: 0 added, 2 already indexed, 0 refused; index idx\n",
       "already_indexed"},
  };
  for (const auto& r : kRuns) {
    SCOPED_TRACE(r.summary);
    std::vector<std::string> args = {"index", "add", "idx", "-o", "added.jsonl"};
    args.insert(args.end(), r.args.begin(), r.args.end());
    const RunResult result = run(args);
    EXPECT_EQ(result.status, r.status) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.err.ends_with(r.summary)) << result.err;
    // other.json's digest comes from our own signer: only its status is checked.
    const std::string written = read("added.jsonl");
    ASSERT_TRUE(written.starts_with(r.lines)) << written;
    if (r.other.empty()) {
      EXPECT_EQ(written, r.lines);
    } else {
      EXPECT_EQ(nlohmann::json::parse(written.substr(r.lines.size()))["status"], r.other);
    }
  }
  const RunResult listed = run({"index", "list", "idx"});
  EXPECT_EQ(listed.err, "==> 2 recordings in idx\n");
  ASSERT_TRUE(listed.out.starts_with(kFullRecording)) << listed.out;
  EXPECT_EQ(nlohmann::json::parse(listed.out.substr(kFullRecording.size()))["evidence"],
            "other.json");
}

TEST_F(IndexCommand, ListAndRemove) {
  ASSERT_EQ(run({"index", "add", "idx", "full.mp4"}).status, 0);
  RunResult r = run({"index", "list", "idx"});
  EXPECT_EQ(r.out, kFullRecording);
  EXPECT_EQ(r.err, "==> 1 recording in idx\n");
  ASSERT_EQ(run({"index", "list", "idx", "-o", "listed.jsonl"}).status, 0);
  EXPECT_EQ(read("listed.jsonl"), kFullRecording);

  // Hex is read in either case.
  std::string upper(kFullId);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  r = run({"index", "remove", "idx", upper});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "==> removed 1 recording from idx\n");
  r = run({"index", "list", "idx", "-o", "listed.jsonl"});
  EXPECT_EQ(r.err, "==> wrote listed.jsonl\n==> 0 recordings in idx\n");
  EXPECT_EQ(read("listed.jsonl"), "");  // not the earlier listing

  r = run({"index", "remove", "idx", std::string(kFullId)});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "warning: " + std::string(kFullId) +
                       " is not in the index\n==> removed 0 recordings from idx\n"
                       "error: 1 recording was not in the index\n");
  // A mistyped index path is not made into a new, empty index.
  r = run({"index", "remove", "idz", std::string(kFullId)});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.starts_with("error: idz is not an index: ")) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir_.file("idz")));
}

}  // namespace
