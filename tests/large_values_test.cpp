// Values past what a 32-bit off_t or time_t holds, which 32-bit recorders
// meet: evidence boxes beyond 4 GiB in a sparse file, and wall-clock readings
// after 2038 where the signing time and the temporary-file name take them.

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <optional>

#include "fileio/clock.h"
#include "encoding/hex.h"
#include "evidence_fixture.h"
#include "fileio/fd.h"
#include "fileio/fileio.h"
#include "mp4/box_scanner.h"
#include "mp4/evidence_writer.h"
#include "test_util.h"

namespace {
std::optional<timespec> g_fake_clock;  // the wall clock while a test sets it
}  // namespace

// Takes the place of the C library's clock for this test program (built with
// 64-bit time, a 32-bit target's header names the 64-bit entry point here),
// so the code under test reads whatever wall-clock time a test sets.
extern "C" int clock_gettime(clockid_t clock, timespec* now) noexcept {
  if (clock == CLOCK_REALTIME && g_fake_clock) {
    *now = *g_fake_clock;
    return 0;
  }
  using ClockFn = int (*)(clockid_t, timespec*);
  static const auto real = reinterpret_cast<ClockFn>(
      ::dlsym(RTLD_NEXT, sizeof(time_t) > sizeof(long) ? "__clock_gettime64" : "clock_gettime"));
  return real(clock, now);
}

namespace {

using test_util::TempDir;

class FakeClock {
 public:
  FakeClock(std::int64_t seconds, long nanoseconds) {
    g_fake_clock = timespec{static_cast<time_t>(seconds), nanoseconds};
  }
  ~FakeClock() { g_fake_clock.reset(); }
};

constexpr std::int64_t k2100 = 4102444800;  // 2100-01-01T00:00:00Z

TEST(LargeValues, SigningTimeAfter2038) {
  FakeClock clock(k2100, 123456789);
  auto now = current_time_ms();
  ASSERT_TRUE(now) << now.error();
  EXPECT_EQ(*now, 4102444800123);
}

// The rename onto a directory fails and its message shows the temporary name.
TEST(LargeValues, TemporaryNameStampsNanosecondsAfter2038) {
  const struct {
    std::int64_t seconds;
    long nanoseconds;
    std::string stamp;
  } cases[] = {
      {k2100, 7, "4102444800000000007"},
      {k2100, 999999999, "4102444800999999999"},
      {1, 0, "1000000000"},
      {0, 7, "7"},
  };
  TempDir dir;
  test_util::write_file(dir.file("clip.mp4"), fixture::kSource);
  std::filesystem::create_directories(dir.path() / "out.mp4" / "keep");
  EvidenceManifest manifest;
  manifest.source_sha256 = *hex_decode(fixture::kSourceSha256);
  manifest.source_size = fixture::kSource.size();
  const std::string box = fixture::evidence_box(fixture::kPlainEnvelope);
  const std::span<const std::uint8_t> box_bytes(reinterpret_cast<const std::uint8_t*>(box.data()),
                                                box.size());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stamp);
    FakeClock clock(c.seconds, c.nanoseconds);
    auto source = open_file(dir.file("clip.mp4"));
    ASSERT_TRUE(source) << source.error();
    auto r = write_evidence_file(*source, dir.file("out.mp4"), box_bytes, manifest);
    ASSERT_FALSE(r);
    const std::string temp =
        test_util::temp_name_prefix(dir.path().string(), "out.mp4") + c.stamp + "-0";
    EXPECT_TRUE(r.error().starts_with("rename " + temp + " ")) << r.error();
  }
}

// An evidence box 4 GiB into a sparse file: the size and every offset of the
// walk need 64 bits.
TEST(LargeValues, EvidenceBoxPast4GiB) {
  TempDir dir;
  const std::uint64_t mdat_size = (std::uint64_t{1} << 32) + 100;
  const std::string head = fixture::box("ftyp", std::string("isom\0\0\0\0", 8)) + fixture::be32(1) +
                           "mdat" + fixture::be64(mdat_size);
  const std::string box = fixture::evidence_box(fixture::kPlainEnvelope);
  const std::uint64_t box_offset = 16 + mdat_size;
  {
    Fd fd(::open(dir.file("big.mp4").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    ASSERT_TRUE(fd.valid());
    ASSERT_EQ(::pwrite(fd.get(), head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
    ASSERT_EQ(::pwrite(fd.get(), box.data(), box.size(), static_cast<off_t>(box_offset)),
              static_cast<ssize_t>(box.size()));
  }
  auto found = find_evidence_box(dir.file("big.mp4"));
  ASSERT_TRUE(found) << found.error();
  ASSERT_TRUE(found->has_value());
  EXPECT_EQ((*found)->box_offset, box_offset);
  EXPECT_EQ((*found)->box_end, box_offset + box.size());
  EXPECT_EQ((*found)->file_size, box_offset + box.size());
  EXPECT_EQ((*found)->envelope.purpose, "zq.evidence.mp4_box.v2");
}

}  // namespace
