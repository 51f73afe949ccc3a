// File identity for the tracer: absolute names and "same file" tests, cached per tracer. Plain
// C++ (no interpreter calls), so the unit tests use it directly.
#ifndef ZARDEL_FILEOPS_H
#define ZARDEL_FILEOPS_H

#include <sys/stat.h>
#include <time.h>

#include "zardelhash.h"

// Size of every path buffer, terminator included: longer names are never made or cached.
constexpr int kFileOpsPathSize = 32000;
// Size of the buffer the current directory is read into.
constexpr int kFileOpsCwdSize = 5120;
// A "not found" mark is trusted for this many seconds.
constexpr int kNotFoundSeconds = 3;

// The file-identity caches of one tracer. All keys are names as the caller gave them; all values
// are heap blocks owned by the record (the not-found marks hold a time in the value word).
struct tFileOpsData {
  CUt_HashTable absname_cache;    // name -> absolute name (char *); never expires
  CUt_HashTable not_found_table;  // name -> time it was found missing (time_t in the word)
  CUt_HashTable stat_cache;       // name -> struct stat of the file (struct stat *)
};

// A new record with three empty caches, or null when memory is exhausted.
tFileOpsData *create_file_ops_data();

// Frees the record and everything its caches hold; null is allowed.
void destroy_file_ops_data(tFileOpsData *ops);

// The absolute, normalised form of `name` (owned by the cache, valid until the record is
// destroyed), or null when it cannot be made.
const char *get_absname(tFileOpsData *ops, const char *name);

// Whether the two names are the same file: equal names, or the same device and inode.
bool samefile(tFileOpsData *ops, const char *name1, const char *name2);

// What samefile compares, as text (device and inode in hexadecimal): the key of string-key tables
// of files (an array key would hash by its byte sum, which spreads many files poorly).
constexpr int kFileIdSize = 2 * (2 * sizeof(unsigned long long) + 1);
struct tFileId {
  char text[kFileIdSize];
};

// Sets *id to the identity of the file `name` names (of its compiled form when the name itself
// does not exist, as samefile has it); false when neither exists. Answers come from the caches.
bool file_identity(tFileOpsData *ops, const char *name, tFileId *id);

// The cached stat record of `path`, or null when the file does not exist (remembered for
// kNotFoundSeconds).
const struct stat *__tracer_stat(tFileOpsData *ops, const char *path);

// Whether `name` carries a current "not found" mark; *marked is then the time it was set. The
// mark, and with it the answers that missing file gave, holds while mark_is_current(*marked, now).
bool __tracer_not_found_since(tFileOpsData *ops, const char *name, time_t *marked);
bool mark_is_current(time_t marked, time_t now);

// The clock the not-found marks are read against (seconds).
time_t fileops_now();

// Whether names found missing are worth looking up again, judged by *last, the time of the
// previous look (updated when the answer is true): once per clock second, since a name found
// missing is taken for missing for kNotFoundSeconds anyway.
bool missing_names_due(time_t *last);

// Test seam: the clock the not-found marks are read against (seconds); null restores time().
typedef time_t (*tFileOpsClock)(void);
void fileops_set_clock_for_testing(tFileOpsClock clock);

#endif  // ZARDEL_FILEOPS_H
