// The archive index at scale, one step per run so that every search starts
// in a fresh process (a cold start, as far as the page cache allows):
//   index_bench build INDEX random|realistic RECORDINGS [FIRST]
//   index_bench search INDEX random|realistic RECORDINGS VIEWS [DISTANCE] [SEED]
//   index_bench envelopes DIR COUNT [random|realistic]   (signed envelopes;
//       realistic content unless told)
//   index_bench add INDEX ENVELOPE...     (read, check and store them)
//   index_bench recording random|realistic VIEWS   (the in-memory search of
//       one recording's 21,600 hashes against comparing with every one)
// Each prints CPU (user + system) and wall time and the peak resident memory.

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "evidence/checked_envelope.h"
#include "evidence/envelope.h"
#include "evidence/manifest.h"
#include "evidence/request.h"
#include "evidence/signature.h"
#include "fileio/fileio.h"
#include "index/evidence_recording.h"
#include "index/index_search.h"
#include "index/index_store.h"
#include "index/recording_search.h"
#include "index_content.h"

namespace {

double cpu_seconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double wall_seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string status_line(const char* key) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(key)) return line;
  }
  return {};
}

void report(const char* what, double cpu, double wall, std::uint64_t items, const char* unit) {
  std::printf("%s: %.3f s CPU, %.3f s wall, %llu %s, %.0f %s per CPU second\n", what, cpu, wall,
              static_cast<unsigned long long>(items), unit, static_cast<double>(items) / cpu, unit);
}

void memory() {
  std::printf("%s | %s | %s\n", status_line("VmHWM").c_str(), status_line("RssAnon").c_str(),
              status_line("RssFile").c_str());
}

int die(const std::string& message) {
  std::fprintf(stderr, "error: %s\n", message.c_str());
  return 1;
}

NewRecording generated(bool realistic, std::uint64_t i) {
  char id[65];
  std::snprintf(id, sizeof id, "%064llx", static_cast<unsigned long long>(i + 1));
  RecordingInfo info{id,
                     "nvr-" + std::to_string(i / bench_content::kRecordingsPerRecorder),
                     "key-1",
                     std::string(130, 'a'),
                     1700000000000 + static_cast<std::int64_t>(i),
                     2.0,
                     std::string(64, 'b'),
                     1 << 30,
                     "/archive/" + std::string(id, 16) + ".json",
                     SourceBinding::NotChecked,
                     bench_content::kRecordingHashes};
  return {info, bench_content::recording(realistic, i)};
}

int build(const std::string& index, bool realistic, std::uint64_t count, std::uint64_t first) {
  const double cpu = cpu_seconds(), wall = wall_seconds();
  double generating = 0;
  // One writer per 50 recordings, as a stream of separate `index add` runs.
  for (std::uint64_t i = first; i < first + count; i += 50) {
    auto writer = IndexWriter::open(index);
    if (!writer) return die(writer.error());
    for (std::uint64_t j = i; j < std::min(first + count, i + 50); ++j) {
      const double g = cpu_seconds();
      const NewRecording r = generated(realistic, j);
      generating += cpu_seconds() - g;
      if (auto added = writer->add(r); !added) return die(added.error());
    }
    if (auto r = writer->flush(); !r) return die(r.error());
  }
  report("build (generation left out)", cpu_seconds() - cpu - generating, wall_seconds() - wall,
         count * bench_content::kRecordingHashes, "hashes");
  memory();
  return 0;
}

int search(const std::vector<std::string>& indexes, bool realistic, std::uint64_t recordings,
           int views, int distance, std::uint64_t seed) {
  const auto queries = bench_content::clip_queries(realistic, recordings, views, seed);
  const double cpu = cpu_seconds(), wall = wall_seconds();
  auto found = search_indexes(indexes, queries, distance);
  if (!found) return die(found.error());
  report("search", cpu_seconds() - cpu, wall_seconds() - wall, queries.size(), "lookups");
  std::uint64_t hits = 0, hashes = 0;
  for (const RecordingHits& r : *found) {
    hits += r.hits.size();
    for (const QueryHit& h : r.hits) hashes += h.last - h.first + 1;
  }
  std::printf("%zu recordings, %llu hits covering %llu signed hashes\n", found->size(),
              static_cast<unsigned long long>(hits), static_cast<unsigned long long>(hashes));
  memory();
  return 0;
}

int envelopes(const std::string& dir, std::uint64_t count, bool realistic) {
  constexpr std::array<std::uint8_t, 32> kKey = {0xc9, 0xaf, 0xa9, 0xd8, 0x45, 0xba, 0x75, 0x16,
                                                 0x6b, 0x5c, 0x21, 0x57, 0x67, 0xb1, 0xd6, 0x93,
                                                 0x4e, 0x50, 0xc3, 0xdb, 0x36, 0xe8, 0x9b, 0x12,
                                                 0x7b, 0x8a, 0x62, 0x2b, 0x12, 0x0f, 0x67, 0x21};
  constexpr std::string_view kPublicKey =
      "0460fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb67903fe1008b8bc99a41ae9e"
      "95628bc64f2f1b20c2d7e9f5177a3c294d4462299";
  for (std::uint64_t i = 0; i < count; ++i) {
    EvidenceManifest m;
    m.purpose = kVideoManifestPurpose;
    m.nvr_device_id = "nvr-bench";
    m.nvr_key_id = "key-1";
    m.source_hash_scope = kSourceHashScope;
    m.source_sha256.assign(32, static_cast<std::uint8_t>(i));
    m.source_size = 1 << 30;
    m.phashes_hex.emplace();
    for (const PackedHash& h : bench_content::recording(realistic, 100000 + i)) {
      char hex[65];
      std::snprintf(hex, sizeof hex, "%016llx%016llx%016llx%016llx",
                    static_cast<unsigned long long>(h[0]), static_cast<unsigned long long>(h[1]),
                    static_cast<unsigned long long>(h[2]), static_cast<unsigned long long>(h[3]));
      m.phashes_hex->push_back(hex);
    }
    m.fps = 2.0;
    m.sampler = video_sampler();
    m.signed_at_ms = 1700000000000 + static_cast<std::int64_t>(i);
    auto s = sign_manifest(m, kKey);
    if (!s) return die(s.error());
    std::ofstream(dir + "/evidence-" + std::to_string(i) + ".json") << write_envelope(
        kMp4BoxEnvelopePurpose, 2, s->manifest_b64, s->nvr_sig_hex, kPublicKey, "");
  }
  return 0;
}

int add(const std::string& index, const std::vector<std::string>& files) {
  double reading = 0, storing = 0;
  const double wall = wall_seconds();
  auto writer = IndexWriter::open(index);
  if (!writer) return die(writer.error());
  keep_freed_memory();
  std::uint64_t hashes = 0;
  for (const std::string& path : files) {
    double t = cpu_seconds();
    auto bytes = read_input(InputSource::file(path), "evidence");
    if (!bytes) return die(bytes.error());
    auto checked = check_envelope_document(*bytes);
    if (!checked) return die(checked.error());
    auto r = recording_from_evidence(checked->envelope, checked->manifest, path,
                                     SourceBinding::NotChecked);
    if (!r) return die(r.error());
    reading += cpu_seconds() - t;
    t = cpu_seconds();
    if (auto added = writer->add(*r); !added) return die(added.error());
    storing += cpu_seconds() - t;
    hashes += r->hashes.size();
  }
  const double t = cpu_seconds();
  if (auto r = writer->flush(); !r) return die(r.error());
  storing += cpu_seconds() - t;
  report("read, decode and check", reading, 0, hashes, "hashes");
  report("store", storing, 0, hashes, "hashes");
  report("add in all", reading + storing, wall_seconds() - wall, hashes, "hashes");
  memory();
  return 0;
}

int recording(bool realistic, int views) {
  const auto hashes = bench_content::recording(realistic, 0);
  const auto queries = bench_content::clip_queries(realistic, 1, views, 1);
  double cpu = cpu_seconds(), wall = wall_seconds();
  const RecordingSearch search(hashes);
  report("in-memory build", cpu_seconds() - cpu, wall_seconds() - wall, hashes.size(), "hashes");
  cpu = cpu_seconds();
  wall = wall_seconds();
  const std::size_t found = search.search(queries, 31).size();
  report("in-memory search", cpu_seconds() - cpu, wall_seconds() - wall, queries.size(), "lookups");
  cpu = cpu_seconds();
  wall = wall_seconds();
  std::size_t matched = 0;
  for (const PackedHash& q : queries) matched += find_nearest(q, hashes).distance <= 31;
  report("match's nearest-hash scan", cpu_seconds() - cpu, wall_seconds() - wall, queries.size(),
         "lookups");
  std::printf("%zu stretches found; %zu queries matched by the scan\n", found, matched);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> a(argv + 1, argv + argc);
  if (a.size() >= 4 && a[0] == "build") {
    return build(a[1], a[2] == "realistic", std::stoull(a[3]),
                 a.size() > 4 ? std::stoull(a[4]) : 0);
  }
  if (a.size() >= 5 && a[0] == "search") {
    std::vector<std::string> indexes;
    for (std::size_t p = 0, q; p <= a[1].size(); p = q + 1) {
      q = a[1].find(',', p);
      if (q == std::string::npos) q = a[1].size();
      indexes.push_back(a[1].substr(p, q - p));
    }
    return search(indexes, a[2] == "realistic", std::stoull(a[3]), std::stoi(a[4]),
                  a.size() > 5 ? std::stoi(a[5]) : 31, a.size() > 6 ? std::stoull(a[6]) : 1);
  }
  if ((a.size() == 3 || a.size() == 4) && a[0] == "envelopes") {
    return envelopes(a[1], std::stoull(a[2]), a.size() == 3 || a[3] == "realistic");
  }
  if (a.size() == 3 && a[0] == "recording") return recording(a[1] == "realistic", std::stoi(a[2]));
  if (a.size() >= 3 && a[0] == "add") return add(a[1], {a.begin() + 2, a.end()});
  return die("usage: see the comment at the top of bench/index_bench.cpp");
}
