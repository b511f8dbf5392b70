// A numbered sequence of packed K files in one folder, one sequence per
// exponent: file n of N = 2^ln is "<dir>/ln<ln>pi<nnnnn>.pkk". Numbers start
// at 0 and have no gaps; values ascend within a file and across files (the
// first value of file n+1 is the one that did not fit into file n).
//
// Readers start at file 0 or seek to a given k and move from file to file;
// the writer finds where a sequence ends and rolls over into a new file when
// one is full. Messages go to the log callback.
#pragma once

#include <cstdint>
#include <string>

#include "files/CandidateFiles.h"
#include "files/PackedKDB.h"

namespace zentrova {

// Every written packed K file has exactly this size.
inline constexpr uint64_t kPackedKFileBytes = 100000000;

std::string PackedKFileName(const std::string& dir, int ln, int number);

// The sequence number read back from a name: the five characters that begin
// nine before its end.
int PackedKFileNumber(const std::string& name);

// Which loop is reading: the two loops word their failures differently.
enum class PackedKLoop { kNormal, kWide };

// Opens file 0 and reads its first value into k. On failure the reader's error
// text is logged.
bool StartPackedK(CPackedKDB& db, const std::string& dir, int ln, uint64_t& k, const LogFn& log);

// Opens the file holding the first stored value not below k and leaves the
// reader just behind it; found is that value (k itself, or the next value
// above k when k is not stored, which must then be sieved next).
bool SeekPackedK(CPackedKDB& db, const std::string& dir, int ln, uint64_t k, uint64_t& found,
                 const LogFn& log);

// After the reader's file is exhausted: closes it, opens the next one and
// reads its first value into k.
bool NextPackedKFile(CPackedKDB& db, const std::string& dir, int ln, PackedKLoop loop,
                     uint64_t& k, const LogFn& log);

// The number of the last file of the sequence, or -1 when file 0 is missing;
// name is set to that file's name.
int FindLastPackedKFile(const std::string& dir, int ln, std::string& name, const LogFn& log);

// The writer's file is full: closes it and continues in a new file that starts
// with value.
bool RollOverPackedKFile(CPackedKDB& db, const std::string& dir, int ln, uint64_t value,
                         const LogFn& log);

}  // namespace zentrova
