// Building small packed K sequences for tests: files far smaller than the
// real 100000000 bytes, filled with the generator's own output, so that a
// sieve crosses several files in a short run.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "files/PackedKSequence.h"
#include "math/FactorCandidates.h"
#include "sieve/kernels/Dispatch.h"

namespace zentrova::test {

// The first `count` candidate k for N, from the generator.
inline std::vector<uint64_t> GeneratorKs(uint64_t n, size_t count) {
  static const WheelTables tables;
  FactorCandidateGenerator gen(tables, FermatBatchFor(Isa::kAuto), 32);
  gen.Reset(static_cast<int64_t>(2 * n), 0);
  std::vector<uint64_t> ks;
  while (ks.size() < count) ks.push_back(static_cast<uint64_t>(gen.NextFactorCandidate().k));
  return ks;
}

// Writes ks into files of `perFile` values each (the last one may be shorter):
// file i+1 starts with the value that did not fit into file i.
inline void WriteSequence(const std::string& dir, int ln, const std::vector<uint64_t>& ks,
                          size_t perFile) {
  const uint64_t bytes = 40 + 4 * ((perFile + 2) / 3);
  size_t at = 0;
  for (int file = 0; at < ks.size(); ++file) {
    CPackedKDB db;
    db.SetFileName(PackedKFileName(dir, ln, file));
    std::string error;
    ASSERT_TRUE(db.InitOpenNewFile(ks[at], 0, bytes, error)) << error;
    ++at;
    for (size_t i = 1; i < perFile && at < ks.size(); ++i, ++at) {
      ASSERT_TRUE(db.WriteNew64KValue(ks[at], error)) << error;
    }
    db.Close();
  }
}

// One file holding values, of the least size that takes them.
inline void WritePackedKFile(const std::string& path, const std::vector<uint64_t>& values) {
  CPackedKDB db;
  db.SetFileName(path);
  std::string error;
  ASSERT_TRUE(db.InitOpenNewFile(values.at(0), 0, 40 + 4 * ((values.size() + 2) / 3), error));
  for (size_t i = 1; i < values.size(); ++i) ASSERT_TRUE(db.WriteNew64KValue(values[i], error));
}

// Overwrites the little-endian 64-bit header field at offset.
inline void PatchLE64(const std::string& path, long offset, uint64_t value) {
  std::FILE* f = std::fopen(path.c_str(), "r+b");
  ASSERT_NE(f, nullptr) << path;
  std::fseek(f, offset, SEEK_SET);
  for (int i = 0; i < 8; ++i) std::fputc(static_cast<int>((value >> (8 * i)) & 0xFF), f);
  std::fclose(f);
}

// Every value of the sequence, file after file.
inline std::vector<uint64_t> ReadSequence(const std::string& dir, int ln) {
  std::vector<uint64_t> out;
  for (int file = 0;; ++file) {
    CPackedKDB db;
    db.SetFileName(PackedKFileName(dir, ln, file));
    std::string error;
    if (!db.OpenForRead(error)) break;
    db.Rewind();
    uint64_t v = 0;
    while (db.ReadNext64KValue(v, error)) out.push_back(v);
  }
  return out;
}

}  // namespace zentrova::test
