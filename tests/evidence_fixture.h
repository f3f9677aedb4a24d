#pragma once
// Fixed evidence for the mp4, embed and verify tests: a 28-byte source, the
// envelopes a signer wrote for it with the P-256 key of RFC 6979's examples
// (private key c9afa9d8...f6721), and an independent builder of MP4 boxes.

#include <cstdint>
#include <string>
#include <string_view>

namespace fixture {

// An ftyp box and a free box holding "abcd": 28 bytes of well-formed MP4 boxes.
inline const std::string kSource(
    "\0\0\0\x10"
    "ftypisom\0\0\x02\0"
    "\0\0\0\x0c"
    "freeabcd",
    28);
inline constexpr std::string_view kSourceSha256 =
    "01e0f45099e3d95e64ef94580220576c10e35e289282bf695610f7b9ce2fbd7c";

// Manifest of kSource without optional members; the file as the signer wrote it.
inline constexpr std::string_view kPlainEnvelope = R"({
  "manifest_b64": "qGF2AWdwdXJwb3NleBp2aWRlby5ldmlkZW5jZS5tYW5pZmVzdC52MW1udnJfZGV2aWNlX2lkZm52ci0wMWpudnJfa2V5X2lkZmtleS0wMXFzb3VyY2VfaGFzaF9zY29wZXgdb3JpZ2luYWxfZmlsZV9ieXRlc19zaGEyNTZfdjFtc291cmNlX3NoYTI1NlggAeD0UJnj2V5k75RYAiBXbBDjXiiSgr9pVhD3uc4vvXxrc291cmNlX3NpemUYHGxzaWduZWRfYXRfbXMbAAABi8/laAA=",
  "nvr_pubkey_hex": "0460fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb67903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299",
  "nvr_sig_hex": "5b0395d31b30e39eb334b885c02209f2821eaebd625ff674f109b3eb1f57d7d9d628c21234d48c59407409597a2c54cc91768a70451a70b4cd954f5b6e9b81d8",
  "purpose": "zq.evidence.mp4_box.v2",
  "registry_base": "",
  "v": 2
}
)";

// Manifest of kSource with camera_id "cam-7", two PDQ hashes, fps and sampler;
// the envelope also carries fps.
inline constexpr std::string_view kFullEnvelope = R"({
  "fps": 2.0,
  "manifest_b64": "rGF2AWdwdXJwb3NleBp2aWRlby5ldmlkZW5jZS5tYW5pZmVzdC52MWljYW1lcmFfaWRlY2FtLTdtbnZyX2RldmljZV9pZGZudnItMDFqbnZyX2tleV9pZGZrZXktMDFxc291cmNlX2hhc2hfc2NvcGV4HW9yaWdpbmFsX2ZpbGVfYnl0ZXNfc2hhMjU2X3YxbXNvdXJjZV9zaGEyNTZYIAHg9FCZ49leZO+UWAIgV2wQ414okoK/aVYQ97nOL718a3NvdXJjZV9zaXplGBxrcGhhc2hlc19oZXiCeEAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAweEBmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmY2Zwc/lAAGdzYW1wbGVyo2lhbGdvcml0aG1vdnBkcV9zYW1wbGVyX3YxZnJlc2l6ZXA1MTJ4NTEyX2JpbGluZWFyZGhhc2hncGRxXzI1NmxzaWduZWRfYXRfbXMbAAABi8/laAA=",
  "nvr_pubkey_hex": "0460fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb67903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299",
  "nvr_sig_hex": "85b5ae84938710b71b898e0cf68a49b9694684d8c16acc1e019297b951de4e7f032c770a1f2594fcbac8540897f6d2abc24a770c44ec57c7c90c4c20bb8beaee",
  "purpose": "zq.evidence.mp4_box.v2",
  "registry_base": "",
  "v": 2
}
)";

// A correctly signed manifest of kSource whose version is 2.
inline constexpr std::string_view kBadVersionEnvelope = R"({
  "manifest_b64": "qGF2AmdwdXJwb3NleBp2aWRlby5ldmlkZW5jZS5tYW5pZmVzdC52MW1udnJfZGV2aWNlX2lkZm52ci0wMWpudnJfa2V5X2lkZmtleS0wMXFzb3VyY2VfaGFzaF9zY29wZXgdb3JpZ2luYWxfZmlsZV9ieXRlc19zaGEyNTZfdjFtc291cmNlX3NoYTI1NlggAeD0UJnj2V5k75RYAiBXbBDjXiiSgr9pVhD3uc4vvXxrc291cmNlX3NpemUYHGxzaWduZWRfYXRfbXMbAAABi8/laAA=",
  "nvr_pubkey_hex": "0460fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb67903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299",
  "nvr_sig_hex": "8f1e58d5abef353dd03f6f7db43c634b66c7040de657bde6a733b004a0832cd60d7aa9a63f453e509d950dade4c085dc08ffe7459af8fb495b0ee7a83bf34eb6",
  "purpose": "zq.evidence.mp4_box.v2",
  "registry_base": "",
  "v": 2
}
)";

inline std::string be32(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}
inline std::string be64(std::uint64_t v) {
  return be32(static_cast<std::uint32_t>(v >> 32)) + be32(static_cast<std::uint32_t>(v));
}

/// A box with the 32-bit size form.
inline std::string box(std::string_view type, std::string_view payload) {
  return be32(static_cast<std::uint32_t>(8 + payload.size())) + std::string(type) +
         std::string(payload);
}

inline const std::string kEvidenceUsertype(
    "\x5A\x51\x32\xAF\x1B\xDC\x4E\x76\x9A\x35\x1D\x8D\x2E\x8A\x3C\x66", 16);

/// An evidence box around the payload, 32-bit size form.
inline std::string evidence_box(std::string_view payload) {
  return box("uuid", kEvidenceUsertype + std::string(payload));
}

/// The evidence file an embed of `envelope` into kSource must produce.
inline std::string evidence_file(std::string_view envelope) {
  return kSource + evidence_box(envelope);
}

}  // namespace fixture
