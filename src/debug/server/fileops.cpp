// File identity: absolute names made from the current directory without touching the file
// system, and file identity from device and inode numbers, each cached per tracer. A name found
// missing is remembered for kNotFoundSeconds, so repeated questions about it during tracing cost
// one table lookup.
#include "fileops.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static tFileOpsClock gClock = nullptr;

void fileops_set_clock_for_testing(tFileOpsClock clock) { gClock = clock; }

// get_seconds --
//   The current time in seconds, from the test clock when one is set.
static time_t get_seconds() { return gClock ? gClock() : time(nullptr); }

time_t fileops_now() { return get_seconds(); }

bool missing_names_due(time_t *last) {
  time_t now = get_seconds();
  if (now == *last) return false;
  *last = now;
  return true;
}

bool mark_is_current(time_t marked, time_t now) {
  time_t age = now - marked;
  if (age < 0) age = -age;
  return age < kNotFoundSeconds;
}

// free_values --
//   Frees every value block of a cache and empties it.
static void free_values(CUt_HashTable *table) {
  CUt_HashSearch search;
  for (CUt_HashEntry *entry = CU_FirstHashEntry(table, &search); entry;
       entry = CU_NextHashEntry(&search)) {
    free(CU_GetHashValue(entry));
  }
  CU_DeleteHashTable(table);
}

tFileOpsData *create_file_ops_data() {
  tFileOpsData *ops = static_cast<tFileOpsData *>(malloc(sizeof(tFileOpsData)));
  if (!ops) return nullptr;
  CU_InitHashTable(&ops->absname_cache, CU_STRING_KEYS);
  CU_InitHashTable(&ops->not_found_table, CU_STRING_KEYS);
  CU_InitHashTable(&ops->stat_cache, CU_STRING_KEYS);
  return ops;
}

void destroy_file_ops_data(tFileOpsData *ops) {
  if (!ops) return;
  free_values(&ops->absname_cache);
  CU_DeleteHashTable(&ops->not_found_table);  // the values are times, not blocks
  free_values(&ops->stat_cache);
  free(ops);
}

// mark_not_found --
//   Remembers that `name` did not exist at the current time.
static void mark_not_found(tFileOpsData *ops, const char *name) {
  int is_new;
  CUt_HashEntry *entry = CU_CreateHashEntry(&ops->not_found_table, name, &is_new);
  if (entry) CU_SetHashValue(entry, reinterpret_cast<void *>(static_cast<intptr_t>(get_seconds())));
}

// is_not_found --
//   Whether `name` was found missing less than kNotFoundSeconds ago. An older mark is dropped.
static bool is_not_found(tFileOpsData *ops, const char *name) {
  CUt_HashEntry *entry = CU_FindHashEntry(&ops->not_found_table, name);
  if (!entry) return false;
  time_t marked = static_cast<time_t>(reinterpret_cast<intptr_t>(CU_GetHashValue(entry)));
  if (mark_is_current(marked, get_seconds())) return true;
  CU_DeleteHashEntry(entry);
  return false;
}

bool __tracer_not_found_since(tFileOpsData *ops, const char *name, time_t *marked) {
  if (!is_not_found(ops, name)) return false;
  CUt_HashEntry *entry = CU_FindHashEntry(&ops->not_found_table, name);
  *marked = static_cast<time_t>(reinterpret_cast<intptr_t>(CU_GetHashValue(entry)));
  return true;
}

// normalise_path --
//   Writes the absolute name `joined` (it begins with '/') to `out` (kFileOpsPathSize bytes) with
//   "." and empty components dropped and each ".." removing the component before it. A ".." at
//   the root stays at the root, as the file system resolves it.
static void normalise_path(const char *joined, char *out) {
  size_t len = 0;
  const char *p = joined;
  while (*p) {
    while (*p == '/') p++;
    const char *end = strchr(p, '/');
    size_t n = end ? static_cast<size_t>(end - p) : strlen(p);
    if (n == 0 || (n == 1 && p[0] == '.')) {
      // dropped
    } else if (n == 2 && p[0] == '.' && p[1] == '.') {
      while (len > 0 && out[len - 1] != '/') len--;
      if (len > 0) len--;  // the separator before the dropped component
    } else {
      out[len++] = '/';
      memcpy(out + len, p, n);
      len += n;
    }
    p += n;
  }
  if (len == 0) out[len++] = '/';
  out[len] = '\0';
}

const char *get_absname(tFileOpsData *ops, const char *name) {
  if (!ops || !name) return nullptr;
  CUt_HashEntry *entry = CU_FindHashEntry(&ops->absname_cache, name);
  if (entry) return static_cast<const char *>(CU_GetHashValue(entry));

  // Joined and normalised names are never longer than the joined form.
  char *joined = static_cast<char *>(malloc(2 * kFileOpsPathSize));
  if (!joined) return nullptr;
  char *normal = joined + kFileOpsPathSize;
  size_t name_len = strlen(name);
  bool made = false;
  if (name[0] == '/') {
    if (name_len < static_cast<size_t>(kFileOpsPathSize)) {
      memcpy(joined, name, name_len + 1);
      made = true;
    }
  } else {
    char cwd[kFileOpsCwdSize];
    if (getcwd(cwd, sizeof(cwd))) {
      size_t cwd_len = strlen(cwd);
      if (cwd_len + 1 + name_len < static_cast<size_t>(kFileOpsPathSize)) {
        memcpy(joined, cwd, cwd_len);
        joined[cwd_len] = '/';
        memcpy(joined + cwd_len + 1, name, name_len + 1);
        made = true;
      }
    }
  }
  char *result = nullptr;
  if (made) {
    normalise_path(joined, normal);
    result = strdup(normal);
  }
  free(joined);
  if (!result) return nullptr;
  int is_new;
  entry = CU_CreateHashEntry(&ops->absname_cache, name, &is_new);
  if (!entry) {
    free(result);
    return nullptr;
  }
  if (!is_new) free(CU_GetHashValue(entry));
  CU_SetHashValue(entry, result);
  return result;
}

const struct stat *__tracer_stat(tFileOpsData *ops, const char *path) {
  CUt_HashEntry *entry = CU_FindHashEntry(&ops->stat_cache, path);
  if (entry) return static_cast<const struct stat *>(CU_GetHashValue(entry));
  if (is_not_found(ops, path)) return nullptr;
  struct stat *record = static_cast<struct stat *>(malloc(sizeof(struct stat)));
  if (!record) return nullptr;
  if (stat(path, record) != 0) {
    free(record);
    mark_not_found(ops, path);
    return nullptr;
  }
  int is_new;
  entry = CU_CreateHashEntry(&ops->stat_cache, path, &is_new);
  if (!entry) {
    free(record);
    return nullptr;
  }
  CU_SetHashValue(entry, record);
  return record;
}

// stat_source_or_compiled --
//   The stat record of `name`, or when it does not exist of its compiled form (`name` + "c"), so
//   a module shipped without its source still has an identity.
static const struct stat *stat_source_or_compiled(tFileOpsData *ops, const char *name) {
  const struct stat *found = __tracer_stat(ops, name);
  if (found) return found;
  size_t len = strlen(name);
  if (len + 2 > static_cast<size_t>(kFileOpsPathSize)) return nullptr;
  char *compiled = static_cast<char *>(malloc(len + 2));
  if (!compiled) return nullptr;
  memcpy(compiled, name, len);
  compiled[len] = 'c';
  compiled[len + 1] = '\0';
  found = __tracer_stat(ops, compiled);
  free(compiled);
  return found;
}

// put_hex --
//   Writes `value` in hexadecimal (lowest digit first, which keys need not mind) at `out`;
//   returns the position after it.
static char *put_hex(char *out, unsigned long long value) {
  do {
    *out++ = "0123456789abcdef"[value & 15];
    value >>= 4;
  } while (value);
  return out;
}

bool file_identity(tFileOpsData *ops, const char *name, tFileId *id) {
  const struct stat *found = ops && name ? stat_source_or_compiled(ops, name) : nullptr;
  if (!found) return false;
  // Spelt by hand: formatting through printf would cost more than the cached lookup itself.
  char *end = put_hex(id->text, static_cast<unsigned long long>(found->st_dev));
  *end++ = ':';
  end = put_hex(end, static_cast<unsigned long long>(found->st_ino));
  *end = '\0';
  return true;
}

bool samefile(tFileOpsData *ops, const char *name1, const char *name2) {
  if (!ops || !name1 || !name2) return false;
  // Whole names: "/a/b" and "/a/bc.py" share a prefix, not a file.
  if (strcmp(name1, name2) == 0) return true;
  const struct stat *st1 = stat_source_or_compiled(ops, name1);
  if (!st1) return false;
  const struct stat *st2 = stat_source_or_compiled(ops, name2);
  if (!st2) return false;
  return st1->st_dev == st2->st_dev && st1->st_ino == st2->st_ino;
}
