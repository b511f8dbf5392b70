// A numbered sequence of packed K files in one folder, one sequence per
// exponent: file n of N = 2^ln is "<dir>/ln<ln>pi<nnnnn>.pkk". Numbers start
// at 0 and have no gaps; values ascend within a file and across files (the
// first value of file n+1 is the one that did not fit into file n).
//
// Readers start at file 0 or seek to a given k and move from file to file;
// the writer finds where a sequence ends and rolls over into a new file when
// one is full. Messages go to the log callback.
//
// A new file is prepared in full under a temporary name and then renamed, so
// a sequence never ends in a file without a value; the writer clears away
// what an interrupted creation leaves (PreparePackedKSequence). Readers
// refuse a file whose last k is 2^63 - 256 or more, and a file whose
// first value is not above the last value of the file before it.
//
// Every k handed to a sieve (by StartPackedK, SeekPackedK, NextPackedKFile
// and ReadPackedKValue) is first checked as the generator checked it
// (CheckPackedKValue): a damaged file, one flipped bit of a difference that
// shifts every later k of the file, say, is refused at its first value that
// is no factor candidate, before that value is sieved.
#pragma once

#include <cstdint>
#include <string>

#include "files/CandidateFiles.h"
#include "files/PackedKDB.h"
#include "math/FactorCandidates.h"

namespace zentrova {

// The size of the files the create job writes, unless its job record names
// another; readers take the size from each file.
inline constexpr uint64_t kPackedKFileBytes = 100000000;

std::string PackedKFileName(const std::string& dir, int ln, int number);

// The name a new file is prepared under before it takes its own.
std::string PackedKTempName(const std::string& name);

// The sequence number read back from a name: the five characters that begin
// nine before its end.
int PackedKFileNumber(const std::string& name);

// Which loop is reading: the two loops word their failures differently.
enum class PackedKLoop { kNormal, kWide };

// False with error (naming the file, the index of the value in it, k and p)
// when k, the value at index of the open file db, is no factor candidate of
// N = 2^ln: when p = k*2N+1 has a prime factor from 3 to 61 (other than
// itself), fails the base-2 Fermat test, or has k outside 1 to 2^63 - 257. These
// are the generator's tests, so no sequence it wrote is refused.
bool CheckPackedKValue(const CPackedKDB& db, int ln, uint64_t index, uint64_t k,
                       std::string& error);

// CheckPackedKValue over the n values ks of the open file db, the first of
// them at index first, with the Fermat tests run in batches through fermat
// (a vector test; FermatBatchScalar when null). Returns the number of values
// before the first one refused (n when none is), error telling that one.
// Only a value the batch refuses is judged by CheckPackedKValue itself, so
// the answer and the text are the same whichever test ran the batch.
size_t CheckPackedKValues(const CPackedKDB& db, int ln, uint64_t first, const uint64_t* ks,
                          size_t n, FermatBatchFn fermat, std::string& error);

// ReadNext64KValue, then CheckPackedKValue on the value read: false at the
// end of the file (db.Exhausted() then tells it) or at damage, with error.
bool ReadPackedKValue(CPackedKDB& db, int ln, uint64_t& k, std::string& error);

// Opens file 0 and reads its first value into k. On failure the reader's error
// text is logged.
bool StartPackedK(CPackedKDB& db, const std::string& dir, int ln, uint64_t& k, const LogFn& log);

// Opens the file holding the first stored value not below k and leaves the
// reader just behind it; found is that value (k itself, or the next value
// above k when k is not stored, which must then be sieved next).
bool SeekPackedK(CPackedKDB& db, const std::string& dir, int ln, uint64_t k, uint64_t& found,
                 const LogFn& log);

// After the reader's file is exhausted: closes it, opens the next one and
// reads its first value into k. A next file that is not there, or is held by
// its writer, ends the sequence, told through log; one that is there but
// cannot be used (a damaged header, a read the system refuses, a last value
// beyond a sieve's reach, a first value that is damaged, not above the last
// one of the file before, or no factor candidate) is a failure, told through
// fail.
bool NextPackedKFile(CPackedKDB& db, const std::string& dir, int ln, PackedKLoop loop,
                     uint64_t& k, const LogFn& log, const LogFn& fail);

// The number of the last file of the sequence, or -1 when file 0 is missing;
// name is set to that file's name.
int FindLastPackedKFile(const std::string& dir, int ln, std::string& name, const LogFn& log);

// FindLastPackedKFile for the writer, after what a writer killed while
// creating a file may have left: temporary files of the sequence are removed
// (unless another process holds them), and so is a last file that holds no
// value, the one before it becoming the last. False with error when something
// could not be removed.
bool PreparePackedKSequence(const std::string& dir, int ln, int& last, std::string& name,
                            const LogFn& log, std::string& error);

// Creates the file name holding value as value 0, open for writing and of
// fileBytes bytes, space reserved; no file of that name is ever replaced.
bool CreatePackedKFile(CPackedKDB& db, const std::string& name, uint64_t value,
                       uint64_t fileBytes, std::string& error);

// Refuses an open file whose last value k is at or above kKLimit (N = 2^ln):
// no sieve can use such a k, and no writer writes one.
bool CheckPackedKLastValue(const CPackedKDB& db, int ln, std::string& error);

// The writer's file is full: closes it and continues in a new file of
// fileBytes bytes that starts with value. Progress lines go to log, failures
// to fail.
bool RollOverPackedKFile(CPackedKDB& db, const std::string& dir, int ln, uint64_t value,
                         uint64_t fileBytes, const LogFn& log, const LogFn& fail);

}  // namespace zentrova
