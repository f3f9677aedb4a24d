// Loads the NVR's P-256 private key from a key file (hex digits or PEM) or
// hex text, refuses scalars outside [1, n) without branching on key bits, and
// derives the public key that the signing commands publish. Every buffer that
// held key bytes is wiped before it is freed.

#include "evidence/nvr_key.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string_view>
#include <vector>

#include "encoding/hex.h"
#include "encoding/text.h"
#include "evidence/p256.h"
#include "evidence/pem_key.h"
#include "fileio/fd.h"
#include "fileio/fileio.h"

namespace {

constexpr std::string_view kHexKeyWarning =
    "warning: --nvr-private-key-hex can expose key material via process listings; prefer "
    "--nvr-private-key-file on NVRs\n";
constexpr std::string_view kBadScalar = "parse nvr private key: signature error";
// A key file holds 64 hex digits and some white space; reading stops well
// before a device or a huge file could exhaust memory.
constexpr std::size_t kMaxKeyFileBytes = 64 * 1024;

// Wipes every block it frees, so a vector that grows while reading a key file
// leaves no copy of the key behind in freed memory.
template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) {}
  T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, std::size_t n) {
    OPENSSL_cleanse(p, n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
  }
  friend bool operator==(const WipingAllocator&, const WipingAllocator&) { return true; }
};
using SecretBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

// A key that others can read is no longer this recorder's alone; warned about
// as ssh does, without refusing it. A pipe or device has no bits of its own
// worth judging, so only regular files are.
void warn_if_readable_by_others(int fd, const std::string& path) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & (S_IRGRP | S_IROTH)) == 0)
    return;
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  (void)write_all(STDERR_FILENO, "warning: private key file " + path +
                                     " is readable by group or others (mode " + mode +
                                     "); restrict it with chmod 600 " + path + "\n");
}

Result<SecretBytes> read_key_file(const std::string& path) {
  auto failure = [&](std::string_view cause) {
    return fail("read private key " + path + ": " + std::string(cause));
  };
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return failure(format_io_error(errno));
  warn_if_readable_by_others(fd.get(), path);
  SecretBytes text;
  text.reserve(256);
  std::array<std::uint8_t, 256> chunk;
  WipeOnExit wipe_chunk{chunk};
  for (;;) {
    auto n = read_some(fd.get(), chunk);
    if (!n) return failure(n.error());
    if (*n == 0) break;
    if (text.size() + *n > kMaxKeyFileBytes) {
      return failure(more_than_bytes(kMaxKeyFileBytes) + ", not a key file");
    }
    text.insert(text.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(*n));
  }
  std::string_view view(reinterpret_cast<const char*>(text.data()), text.size());
  if (!is_valid_utf8(view)) return failure("stream did not contain valid UTF-8");
  return text;
}

// The hex text of the key, decoded to its bytes; the caller checks the count.
Result<std::vector<std::uint8_t>> decode_key_text(const KeySource& source) {
  if (source.kind == KeySource::Kind::Hex) {
    // Printed before anything is checked, so a refused key still warns.
    (void)write_all(STDERR_FILENO, kHexKeyWarning);
    auto bytes = hex_decode(source.value);
    if (!bytes) return fail("nvr private key: " + bytes.error());
    return bytes;
  }
  auto file_text = read_key_file(source.value);
  if (!file_text) return fail(file_text.error());
  const std::string_view text(reinterpret_cast<const char*>(file_text->data()), file_text->size());
  if (is_pem_text(text)) return read_pem_private_scalar(text, source.value);
  std::string digits = remove_unicode_whitespace(text);
  WipeOnExit wipe_digits{digits};
  auto bytes = hex_decode(digits);
  if (!bytes) return fail("nvr private key: " + bytes.error());
  return bytes;
}

// 04 || X || Y of k*G, or nothing when OpenSSL fails.
std::optional<std::array<std::uint8_t, 65>> derive_public_key(
    const std::array<std::uint8_t, 32>& scalar) {
  GroupPtr group = p256_group();
  BnCtxPtr ctx(BN_CTX_secure_new(), BN_CTX_free);
  BnPtr k = secret_bn(scalar);
  if (!group || !ctx || !k) return std::nullopt;
  PointPtr q(EC_POINT_new(group.get()), EC_POINT_free);
  if (!q || !EC_POINT_mul(group.get(), q.get(), k.get(), nullptr, nullptr, ctx.get()))
    return std::nullopt;
  std::array<std::uint8_t, 65> encoded{};
  if (EC_POINT_point2oct(group.get(), q.get(), POINT_CONVERSION_UNCOMPRESSED, encoded.data(),
                         encoded.size(), ctx.get()) != encoded.size())
    return std::nullopt;
  return encoded;
}

}  // namespace

NvrKey::NvrKey(NvrKey&& other) noexcept
    : scalar(other.scalar), public_key_hex(std::move(other.public_key_hex)) {
  OPENSSL_cleanse(other.scalar.data(), other.scalar.size());
}

NvrKey& NvrKey::operator=(NvrKey&& other) noexcept {
  if (this != &other) {
    scalar = other.scalar;
    public_key_hex = std::move(other.public_key_hex);
    OPENSSL_cleanse(other.scalar.data(), other.scalar.size());
  }
  return *this;
}

NvrKey::~NvrKey() { OPENSSL_cleanse(scalar.data(), scalar.size()); }

bool is_p256_scalar(std::span<const std::uint8_t, 32> bytes) {
  // k - n borrows exactly when k < n; the OR of all bytes is zero exactly when k = 0.
  std::uint32_t borrow = 0;
  std::uint32_t any_bit = 0;
  for (std::size_t i = 32; i-- > 0;) {
    std::uint32_t diff = std::uint32_t{bytes[i]} - kP256Order[i] - borrow;
    borrow = (diff >> 31) & 1;
    any_bit |= bytes[i];
  }
  std::uint32_t nonzero = ((any_bit | (0u - any_bit)) >> 31) & 1;
  return (borrow & nonzero) != 0;
}

Result<NvrKey> load_nvr_key(const KeySource& source,
                            const std::optional<std::string>& expected_public_key_hex) {
  auto decoded = decode_key_text(source);
  if (!decoded) return fail(decoded.error());
  WipeOnExit wipe_decoded{*decoded};
  if (decoded->size() != 32) {
    return fail("nvr private key must be a 32-byte P-256 scalar encoded as 64 hex chars, got " +
                std::to_string(decoded->size()) + " bytes");
  }
  NvrKey key;
  std::copy(decoded->begin(), decoded->end(), key.scalar.begin());
  if (!is_p256_scalar(key.scalar)) return fail(std::string(kBadScalar));
  auto public_key = derive_public_key(key.scalar);
  if (!public_key) return fail(std::string(kBadScalar));
  key.public_key_hex = hex_encode(*public_key);
  if (expected_public_key_hex) {
    auto expected = hex_decode(*expected_public_key_hex);
    if (!expected) return fail("nvr public key: " + expected.error());
    if (!std::equal(expected->begin(), expected->end(), public_key->begin(), public_key->end()))
      return fail("--nvr-pubkey-hex does not match --nvr-private-key-*");
  }
  return key;
}
