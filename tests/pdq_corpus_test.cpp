// Bit identity of the PDQ hash on a fixed corpus: a few hundred frames from
// ffmpeg's test sources (scripts/make_pdq_corpus, read through a pipe so the
// test also runs under an emulator) and edge-case frames made here, hashed
// on every kernel path this processor runs and compared line by line with
// tests/data/pdq_corpus.txt. That file was written once with
// VORLANT_PDQ_CORPUS_WRITE=<path>, which checks every hash against the plain
// scalar transcription before writing it.

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "encoding/hex.h"
#include "pdq/pdq.h"
#include "pdq/pdq_testing.h"
#include "pdq_reference.h"

namespace {

const std::string kDir = VORLANT_SOURCE_DIR;
const std::string kScript = kDir + "/scripts/make_pdq_corpus";
const std::string kExpected = kDir + "/tests/data/pdq_corpus.txt";

using Frame = std::vector<std::uint8_t>;

struct Sha256 {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx{EVP_MD_CTX_new(), EVP_MD_CTX_free};
  Sha256() { EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr); }
  void add(const Frame& f) { EVP_DigestUpdate(ctx.get(), f.data(), f.size()); }
  std::string hex() {
    unsigned char md[32];
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx.get(), md, &n);
    return hex_encode(std::span<const std::uint8_t>(md, n));
  }
};

// Frames that stress the ends of rows and columns, the sampled positions,
// ties at the median and the range of byte values.
std::vector<std::pair<std::string, Frame>> edge_frames() {
  std::vector<std::pair<std::string, Frame>> out;
  const auto add = [&](std::string name, const std::function<std::uint8_t(int, int, int)>& px) {
    Frame f(pdq::kRgbaFrameBytes);
    for (int y = 0; y < 512; ++y)
      for (int x = 0; x < 512; ++x)
        for (int c = 0; c < 4; ++c) f[4 * (512 * y + x) + c] = px(x, y, c);
    out.emplace_back(std::move(name), std::move(f));
  };
  for (int v : {0, 1, 128, 255})
    add("constant-" + std::to_string(v), [v](int, int, int) { return v; });
  add("white-transparent", [](int, int, int c) { return c == 3 ? 0 : 255; });
  const int spots[][2] = {{0, 0},     {511, 0},   {0, 511}, {511, 511}, {4, 4},   {5, 4},
                          {255, 256}, {508, 508}, {2, 3},   {509, 510}, {1, 300}, {300, 510}};
  for (const auto& s : spots) {
    const int sx = s[0], sy = s[1];
    add("bright-" + std::to_string(sx) + "-" + std::to_string(sy),
        [sx, sy](int x, int y, int) { return x == sx && y == sy ? 255 : 0; });
    add("dark-" + std::to_string(sx) + "-" + std::to_string(sy),
        [sx, sy](int x, int y, int) { return x == sx && y == sy ? 0 : 255; });
  }
  for (int line : {0, 4, 511}) {
    add("row-" + std::to_string(line), [line](int, int y, int) { return y == line ? 255 : 0; });
    add("column-" + std::to_string(line), [line](int x, int, int) { return x == line ? 255 : 0; });
  }
  for (int period : {2, 3, 4, 5, 8, 9}) {
    add("stripes-" + std::to_string(period), [period](int x, int y, int c) {
      return (x / period + (c == 1 ? y / period : 0)) % 2 ? 250 : 3;
    });
  }
  for (unsigned seed = 1; seed <= 16; ++seed) {
    std::mt19937 rng(seed);
    const unsigned mask = seed <= 4 ? 3 : 255;  // the first few almost flat
    add("random-" + std::to_string(seed), [&](int, int, int) { return rng() & mask; });
  }
  return out;
}

// Each frame's hash on every runnable path, as "name index hash" when the
// paths agree; otherwise a line naming the disagreement.
struct Hashing {
  std::vector<std::pair<pdq::testing::KernelPath, std::unique_ptr<pdq::Hasher>>> paths;
  bool write = std::getenv("VORLANT_PDQ_CORPUS_WRITE") != nullptr;
  Hashing() {
    for (auto p : pdq::testing::kAllPaths)
      if (auto* k = pdq::testing::kernels_for(p))
        paths.emplace_back(p, std::make_unique<pdq::Hasher>(*k));
  }
  std::string line(const std::string& name, std::size_t index, const Frame& f) {
    const std::string prefix = name + " " + std::to_string(index) + " ";
    std::string first;
    for (auto& [path, hasher] : paths) {
      const std::string h = *hasher->hash_rgba_frame(f);
      if (first.empty()) first = h;
      if (h != first) return prefix + "paths differ: " + std::string(pdq::testing::path_name(path));
    }
    if (write && pdq::hash_to_hex(pdq_reference::pdq_hash(f, 512, 512)) != first)
      return prefix + "differs from the scalar transcription";
    return prefix + first;
  }
};

TEST(PdqCorpus, EveryPathGivesTheCheckedInHashes) {
  Hashing hashing;
  std::vector<std::string> lines;
  std::vector<std::string> sources;  // "source NAME FRAMES SHA256"

  std::FILE* list = ::popen((kScript + " --list").c_str(), "r");
  ASSERT_NE(list, nullptr);
  std::vector<std::pair<std::string, int>> listed;
  char name[64];
  int count = 0;
  while (std::fscanf(list, "%63s %d", name, &count) == 2) listed.emplace_back(name, count);
  ::pclose(list);
  ASSERT_FALSE(listed.empty()) << "no corpus sources from " << kScript;

  for (const auto& [source, frames] : listed) {
    std::FILE* pipe = ::popen((kScript + " " + source).c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    Sha256 sha;
    Frame f(pdq::kRgbaFrameBytes);
    int n = 0;
    while (std::fread(f.data(), 1, f.size(), pipe) == f.size()) {
      sha.add(f);
      lines.push_back(hashing.line(source, n++, f));
    }
    const int status = ::pclose(pipe);
    ASSERT_TRUE(status == 0 && n == frames)
        << "corpus source " << source << ": " << n << " of " << frames << " frames (exit status "
        << (WIFEXITED(status) ? WEXITSTATUS(status) : -1) << "); is ffmpeg installed? (see stderr)";
    sources.push_back("source " + source + " " + std::to_string(frames) + " " + sha.hex());
  }
  std::size_t n = 0;
  for (const auto& [edge, f] : edge_frames()) lines.push_back(hashing.line(edge, n++, f));

  if (const char* path = std::getenv("VORLANT_PDQ_CORPUS_WRITE")) {
    std::ofstream out(path);
    out << "# PDQ hashes of the bit-identity corpus (tests/pdq_corpus_test.cpp):\n"
        << "# per ffmpeg source its frame count and the SHA-256 of its frames' bytes,\n"
        << "# then one line per frame: source, index, hash.\n";
    for (const auto& s : sources) out << s << "\n";
    for (const auto& l : lines) out << l << "\n";
    for (const auto& l : lines) EXPECT_EQ(l.find("differ"), std::string::npos) << l;
    return;
  }

  std::ifstream in(kExpected);
  ASSERT_TRUE(in) << "cannot read " << kExpected;
  std::vector<std::string> want_sources, want_lines;
  for (std::string l; std::getline(in, l);) {
    if (l.empty() || l[0] == '#') continue;
    (l.rfind("source ", 0) == 0 ? want_sources : want_lines).push_back(l);
  }
  // Other frame bytes would make every later comparison meaningless.
  ASSERT_EQ(sources.size(), want_sources.size());
  bool same_frames = true;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    if (sources[i] == want_sources[i]) continue;
    same_frames = false;
    ADD_FAILURE() << "corpus frames changed: ffmpeg version?\ngot  " << sources[i] << "\nwant "
                  << want_sources[i];
  }
  ASSERT_TRUE(same_frames) << "the hashes were recorded for the frames whose SHA-256 is listed";
  ASSERT_EQ(lines.size(), want_lines.size());
  int shown = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] != want_lines[i] && shown++ < 10)
      ADD_FAILURE() << "got  " << lines[i] << "\nwant " << want_lines[i];
  }
  EXPECT_EQ(shown, 0) << "frames hashed differently";
  std::printf("%zu frames on %zu kernel paths\n", lines.size(), hashing.paths.size());
}

}  // namespace
