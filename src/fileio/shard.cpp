// Places a path in its share by a hash of its text, which every node
// computes alike and which spreads the paths of one directory evenly.

#include "fileio/shard.h"

#include <charconv>
#include <string>

#include "encoding/sha256.h"

bool in_shard(std::string_view path, const Shard& shard) {
  if (shard.count <= 1) return true;
  const std::string digest = sha256_hex(path);
  std::uint64_t leading = 0;
  std::from_chars(digest.data(), digest.data() + 16, leading, 16);
  return leading % shard.count == shard.index - 1;
}
