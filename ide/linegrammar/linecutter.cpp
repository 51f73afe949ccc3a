// The environment's native logical-line cutter: CutLines of module linegrammar.
//
// vornide.logicallines is the reference: its cutter reads the tokens of the standard library's
// tokenize module and cuts them into logical lines. This file does the same in one pass: a
// tokenizer that gives what tokenize.generate_tokens gives for the tokens the cutter reads
// (same texts, kinds, rows and columns, same NEWLINE/NL choice, same errors at the end; no
// INDENT or DEDENT, which the cutter ignores, and a new start after an inconsistent dedent as
// the reference makes it), and
// the cutter's rules, recovery from half-typed statements included. The records are made as
// instances of the record type the caller gives (vornide.logicallines.LineRecord, a tuple
// subclass), with the cutter's states beside them. Results are checked against the reference
// over the whole standard library.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "linecutter.h"
#include "collector_pause.h"
#include "pyref.h"

namespace {

// Line type codes (vornide.logicallines).
enum LineType {
  kLineClass = 1, kLineDef = 2, kLineDocString = 3, kLineBlockHeader = 4, kLineDecorator = 5,
  kLineTry = 6, kLineStatement = 7, kLineElse = 11, kLineElif = 12, kLineExcept = 13,
  kLineImport = 16, kLineFromImport = 17, kLineFinally = 20, kLineComment = 21, kLineBlank = 22,
};

const long kMaxPosition = 65535;
const long kMaxLinecount = 32767;
const size_t kNo = SIZE_MAX;

enum TokKind { kName, kNumber, kString, kOp, kErrorToken, kComment, kNewline, kNl };

// A token: its text as offsets into the source, its kind, and where it starts and ends (rows
// 1-based within the text cut, columns as offsets in their row).
struct Tok {
  size_t start, end;
  TokKind kind;
  long srow, scol, erow, ecol;
};

// The text cut, split into rows as str.splitlines(True) splits it (every "\n" ends a row; the
// caller has made every line end "\n").
struct Source {
  const char *s;
  size_t size;
  std::vector<size_t> starts;  // offset of each row

  Source(const char *text, size_t n) : s(text), size(n) {
    if (n) starts.push_back(0);
    const char *end = text + n;
    for (const char *p = text; (p = static_cast<const char *>(memchr(p, '\n', size_t(end - p))));) {
      if (++p == end) break;
      starts.push_back(size_t(p - text));
    }
  }
  long rows() const { return long(starts.size()); }
  size_t begin(long row) const { return starts[row - 1]; }
  size_t end(long row) const { return row < rows() ? starts[row] : size; }
  bool ends_with_newline(long row) const {
    return end(row) > begin(row) && s[end(row) - 1] == '\n';
  }
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_name_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_name_char(char c) { return is_name_start(c) || is_digit(c); }
// What str.strip() takes away.
bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// The indentation column of the token at `col` of the row starting at `line`, as the tokenizer
// computes it (tabs to multiples of 8, a form feed back to 0).
long visual_column(const char *line, long col) {
  long column = 0;
  for (long i = 0; i < col; i++) {
    char c = line[i];
    if (c == ' ') {
      column++;
    } else if (c == '\t') {
      column = (column / 8 + 1) * 8;
    } else if (c == '\f') {
      column = 0;
    } else {
      break;
    }
  }
  return column;
}

// tokenize's token patterns, each matched at p within [p, max): the end of the match or kNo.
class Patterns {
 public:
  Patterns(const char *s, size_t max) : s_(s), max_(max) {}

  size_t digits(size_t p) const {
    while (p < max_ && is_digit(s_[p])) p++;
    return p;
  }

  // Exponent: [eE][-+]?\d+, optional.
  size_t exponent(size_t p) const {
    if (p < max_ && (s_[p] == 'e' || s_[p] == 'E')) {
      size_t k = p + 1;
      if (k < max_ && (s_[k] == '+' || s_[k] == '-')) k++;
      if (k < max_ && is_digit(s_[k])) return digits(k);
    }
    return p;
  }

  // Floatnumber: Pointfloat (\d+\.\d* | \.\d+, then an optional exponent) | Expfloat.
  size_t floatnumber(size_t p) const {
    if (p < max_ && is_digit(s_[p])) {
      size_t d = digits(p);
      if (d < max_ && s_[d] == '.') return exponent(digits(d + 1));
      size_t e = exponent(d);
      return e != d ? e : kNo;
    }
    if (p + 1 < max_ && s_[p] == '.' && is_digit(s_[p + 1])) return exponent(digits(p + 1));
    return kNo;
  }

  size_t suffix(size_t p, char a, char b) const {
    return p < max_ && (s_[p] == a || s_[p] == b) ? p + 1 : p;
  }

  // Intnumber: hex, binary, 0o octal, old octal, decimal, in that order.
  size_t intnumber(size_t p) const {
    if (p >= max_) return kNo;
    if (s_[p] == '0') {
      if (p + 1 < max_) {
        char x = s_[p + 1];
        size_t k = p + 2;
        if (x == 'x' || x == 'X') {
          size_t e = k;
          while (e < max_ && (is_digit(s_[e]) || (s_[e] >= 'a' && s_[e] <= 'f') ||
                              (s_[e] >= 'A' && s_[e] <= 'F'))) e++;
          if (e > k) return suffix(e, 'l', 'L');
        } else if (x == 'b' || x == 'B') {
          size_t e = k;
          while (e < max_ && (s_[e] == '0' || s_[e] == '1')) e++;
          if (e > k) return suffix(e, 'l', 'L');
        } else if (x == 'o' || x == 'O') {
          size_t e = k;
          while (e < max_ && s_[e] >= '0' && s_[e] <= '7') e++;
          if (e > k) return e;
        }
      }
      size_t e = p + 1;
      while (e < max_ && s_[e] >= '0' && s_[e] <= '7') e++;
      return suffix(e, 'l', 'L');
    }
    if (s_[p] >= '1' && s_[p] <= '9') return suffix(digits(p), 'l', 'L');
    return kNo;
  }

  // Number: Imagnumber | Floatnumber | Intnumber.
  size_t number(size_t p) const {
    if (p < max_ && is_digit(s_[p])) {
      size_t d = digits(p);
      if (d < max_ && (s_[d] == 'j' || s_[d] == 'J')) return d + 1;
    }
    size_t f = floatnumber(p);
    if (f != kNo) return suffix(f, 'j', 'J');
    return intnumber(p);
  }

  // Funny: operators, brackets, "\n" and the special characters.
  size_t funny(size_t p) const {
    char c = s_[p];
    char n = p + 1 < max_ ? s_[p + 1] : '\0';
    switch (c) {
      case '*': case '>': case '/':
        if (n == c) return p + 2 < max_ && s_[p + 2] == '=' ? p + 3 : p + 2;
        return n == '=' ? p + 2 : p + 1;
      case '<':
        if (n == '<') return p + 2 < max_ && s_[p + 2] == '=' ? p + 3 : p + 2;
        return n == '>' || n == '=' ? p + 2 : p + 1;
      case '!':
        return n == '=' ? p + 2 : kNo;
      case '+': case '-': case '%': case '&': case '|': case '^': case '=':
        return n == '=' ? p + 2 : p + 1;
      case '~': case '(': case ')': case '[': case ']': case '{': case '}':
      case '\n': case ':': case ';': case '.': case ',': case '`': case '@':
        return p + 1;
      case '\r':
        return n == '\n' ? p + 2 : kNo;
      default:
        return kNo;
    }
  }

  // A string prefix [uUbB]?[rR]? followed by a quote: the offset of the quote, or kNo.
  size_t quote_after_prefix(size_t p) const {
    size_t q = p;
    if (q < max_ && (s_[q] == 'u' || s_[q] == 'U' || s_[q] == 'b' || s_[q] == 'B')) q++;
    if (q < max_ && (s_[q] == 'r' || s_[q] == 'R')) q++;
    // The prefix letters are never quotes, so taking them greedily finds any match there is.
    return q < max_ && (s_[q] == '\'' || s_[q] == '"') ? q : kNo;
  }

  // Triple: a prefix and three quotes; the end of the opener.
  size_t triple(size_t p) const {
    size_t q = quote_after_prefix(p);
    if (q == kNo || q + 2 >= max_) return kNo;
    return s_[q + 1] == s_[q] && s_[q + 2] == s_[q] ? q + 3 : kNo;
  }

  // ContStr: a one-line string, or the first line of one continued by a backslash (then the
  // match ends with "\n"). *quote gets the quote character.
  size_t contstr(size_t p, char *quote) const {
    size_t q = quote_after_prefix(p);
    if (q == kNo) return kNo;
    char qc = s_[q];
    for (size_t i = q + 1; i < max_; i++) {
      char c = s_[i];
      if (c == '\n') return kNo;
      if (c == qc) {
        *quote = qc;
        return i + 1;
      }
      if (c == '\\') {
        if (i + 1 >= max_) return kNo;
        if (s_[i + 1] == '\n') {
          *quote = qc;
          return i + 2;
        }
        if (s_[i + 1] == '\r' && i + 2 < max_ && s_[i + 2] == '\n') {
          *quote = qc;
          return i + 3;
        }
        i++;
      }
    }
    return kNo;
  }

  size_t name(size_t p) const {
    if (!is_name_start(s_[p])) return kNo;
    size_t e = p + 1;
    while (e < max_ && is_name_char(s_[e])) e++;
    return e;
  }

  // The tail of a string from p: up to and including its closing quote(s) (a backslash escapes
  // any character but a line end), or kNo when the row does not close it.
  size_t tail(size_t p, char quote, bool triple) const {
    for (size_t i = p; i < max_; i++) {
      char c = s_[i];
      if (c == '\\') {
        if (i + 1 >= max_ || s_[i + 1] == '\n') return kNo;
        i++;
      } else if (c == quote) {
        if (!triple) return i + 1;
        if (i + 2 < max_ && s_[i + 1] == quote && s_[i + 2] == quote) return i + 3;
      }
    }
    return kNo;
  }

 private:
  const char *s_;
  size_t max_;
};

// tokenize.generate_tokens over the rows of a Source, a row at a time, restartable at any row
// with nothing open (the cutter's recovery), as the reference's loop over it restarts it.
class Tokenizer {
 public:
  enum Event { kToken, kEnd, kError };

  explicit Tokenizer(const Source &src) : src_(src) {}

  void restart(long row) {
    lnum_ = row - 1;
    parenlev_ = 0;
    continued_ = false;
    contstr_ = false;
    needcont_ = false;
    indents_.assign(1, 0);
    done_ = false;
    queue_.clear();
    next_ = 0;
  }

  // The next token (kToken), or the end (kEnd), or the error that ends the source (kError:
  // error_in_string, error_row, error_col say which and where, as tokenize's TokenError).
  Event next(Tok *tok) {
    while (next_ == queue_.size()) {
      if (done_) return error_ ? kError : kEnd;
      queue_.clear();
      next_ = 0;
      read_row();
    }
    *tok = queue_[next_++];
    return kToken;
  }

  bool error_in_string = false;
  long error_row = 0, error_col = 0;

 private:
  void push(size_t start, size_t end, TokKind kind, long srow, long scol, long erow,
            long ecol) {
    queue_.push_back(Tok{start, end, kind, srow, scol, erow, ecol});
  }

  void finish(bool error) {
    done_ = true;
    error_ = error;
  }

  void read_row() {
    const char *s = src_.s;
    long lnum = ++lnum_;
    bool empty = lnum > src_.rows();
    size_t ls = empty ? src_.size : src_.begin(lnum);
    size_t max = empty ? ls : src_.end(lnum);
    size_t pos = ls;
    Patterns pat(s, max);
    if (contstr_) {
      if (empty) {
        error_in_string = true;
        error_row = str_row_;
        error_col = str_col_;
        return finish(true);
      }
      size_t e = pat.tail(ls, quote_, triple_);
      if (e != kNo) {
        push(str_start_, e, kString, str_row_, str_col_, lnum, long(e - ls));
        contstr_ = false;
        needcont_ = false;
        pos = e;
      } else if (needcont_ && !(max - ls >= 2 && s[max - 2] == '\\' && s[max - 1] == '\n')) {
        push(str_start_, max, kErrorToken, str_row_, str_col_, lnum, long(max - ls));
        contstr_ = false;
        return;
      } else {
        return;
      }
    } else if (parenlev_ == 0 && !continued_) {
      if (empty) return finish(false);
      long column = 0;
      for (; pos < max; pos++) {
        if (s[pos] == ' ') {
          column++;
        } else if (s[pos] == '\t') {
          column = (column / 8 + 1) * 8;
        } else if (s[pos] == '\f') {
          column = 0;
        } else {
          break;
        }
      }
      if (pos == max) return finish(false);
      if (s[pos] == '#') {
        size_t e = pos;
        while (e < max && s[e] != '\n' && s[e] != '\r') e++;
        push(pos, e, kComment, lnum, long(pos - ls), lnum, long(e - ls));
        push(e, max, kNl, lnum, long(e - ls), lnum, long(max - ls));
        return;
      }
      if (s[pos] == '\n' || s[pos] == '\r') {
        push(pos, max, kNl, lnum, long(pos - ls), lnum, long(max - ls));
        return;
      }
      // tokenize's indentation: it gives no tokens the cutter reads, but an inconsistent
      // dedent ends it, and the reference starts a new one on this row, which forgets
      // needcont_.
      if (column > indents_.back()) indents_.push_back(column);
      while (column < indents_.back()) {
        if (std::find(indents_.begin(), indents_.end(), column) == indents_.end()) {
          indents_.assign(1, 0);
          indents_.push_back(column);
          needcont_ = false;
          break;
        }
        indents_.pop_back();
      }
    } else {
      if (empty) {
        error_in_string = false;
        error_row = lnum;
        error_col = 0;
        return finish(true);
      }
      continued_ = false;
    }

    while (pos < max) {
      size_t p = pos;
      while (p < max && (s[p] == ' ' || s[p] == '\t' || s[p] == '\f')) p++;
      if (p == max) {
        pos = p;
        continue;
      }
      char c = s[p];
      long col = long(p - ls);
      size_t e;
      char quote = 0;
      if (c == '\\' && p + 1 < max && s[p + 1] == '\n') {
        continued_ = true;
        pos = p + 2;
      } else if (c == '#') {
        e = p;
        while (e < max && s[e] != '\n' && s[e] != '\r') e++;
        push(p, e, kComment, lnum, col, lnum, long(e - ls));
        pos = e;
      } else if ((e = pat.triple(p)) != kNo) {
        size_t closed = pat.tail(e, s[e - 1], true);
        if (closed != kNo) {
          push(p, closed, kString, lnum, col, lnum, long(closed - ls));
          pos = closed;
        } else {
          open_string(p, lnum, col, s[e - 1], true);
          return;
        }
      } else if ((e = pat.number(p)) != kNo) {
        push(p, e, kNumber, lnum, col, lnum, long(e - ls));
        pos = e;
      } else if ((e = pat.funny(p)) != kNo) {
        if (c == '\n' || c == '\r') {
          push(p, e, parenlev_ > 0 ? kNl : kNewline, lnum, col, lnum, long(e - ls));
        } else {
          if (c == '(' || c == '[' || c == '{') {
            parenlev_++;
          } else if (c == ')' || c == ']' || c == '}') {
            parenlev_--;
          }
          push(p, e, kOp, lnum, col, lnum, long(e - ls));
        }
        pos = e;
      } else if ((e = pat.contstr(p, &quote)) != kNo) {
        if (s[e - 1] == '\n') {
          needcont_ = true;
          open_string(p, lnum, col, quote, false);
          return;
        }
        push(p, e, kString, lnum, col, lnum, long(e - ls));
        pos = e;
      } else if ((e = pat.name(p)) != kNo) {
        push(p, e, kName, lnum, col, lnum, long(e - ls));
        pos = e;
      } else {
        // Nothing matches: tokenize gives the character at pos (a blank, possibly) alone.
        push(pos, pos + 1, kErrorToken, lnum, long(pos - ls), lnum, long(pos + 1 - ls));
        pos++;
      }
    }
  }

  void open_string(size_t start, long row, long col, char quote, bool triple) {
    contstr_ = true;
    str_start_ = start;
    str_row_ = row;
    str_col_ = col;
    quote_ = quote;
    triple_ = triple;
  }

  const Source &src_;
  long lnum_ = 0;
  long parenlev_ = 0;
  bool continued_ = false;
  bool contstr_ = false;  // a string continues onto the next row
  size_t str_start_ = 0;
  long str_row_ = 0, str_col_ = 0;
  char quote_ = 0;
  bool triple_ = false;
  // A one-quote string was continued by a backslash. As in tokenize, only a string that
  // closes clears it: a triple-quoted string opened after one that ended in an error token
  // ends in an error token too, at the first row without a final backslash.
  bool needcont_ = false;
  std::vector<long> indents_;  // tokenize's indentation columns
  bool done_ = false;
  bool error_ = false;
  std::vector<Tok> queue_;
  size_t next_ = 0;
};

// A logical line being made: its tokens (a range of Cutter::out_), first row, row count,
// level and type.
struct Record {
  size_t first, last;
  long lineno, linecount;
  long indent;
  int linetype;
};

struct State {
  std::vector<long> stack;
  bool has_last = false;
  long last_type = 0, last_indent = 0;
  bool opened = false;
  bool carry_known = true;
  long carry = 0;

  bool operator==(const State &other) const {
    return stack == other.stack && has_last == other.has_last && last_type == other.last_type &&
           last_indent == other.last_indent && opened == other.opened &&
           carry_known == other.carry_known && carry == other.carry;
  }
};

bool text_is(const Source &src, const Tok &t, const char *word) {
  size_t n = strlen(word);
  return t.end - t.start == n && memcmp(src.s + t.start, word, n) == 0;
}

bool is_opener(const Source &src, const Tok &t) {
  return t.end - t.start == 1 && (src.s[t.start] == '(' || src.s[t.start] == '[' ||
                                  src.s[t.start] == '{');
}

bool is_closer(const Source &src, const Tok &t) {
  return t.end - t.start == 1 && (src.s[t.start] == ')' || src.s[t.start] == ']' ||
                                  src.s[t.start] == '}');
}

// The line type a first token gives (kLineStatement for the others).
int first_token_type(const char *text, size_t n) {
  struct Entry {
    std::string_view word;
    int type;
  };
  static const Entry kEntries[] = {
      {"class", kLineClass}, {"def", kLineDef}, {"@", kLineDecorator},
      {"if", kLineBlockHeader}, {"while", kLineBlockHeader}, {"for", kLineBlockHeader},
      {"with", kLineBlockHeader}, {"try", kLineTry}, {"else", kLineElse},
      {"elif", kLineElif}, {"except", kLineExcept}, {"finally", kLineFinally},
      {"import", kLineImport}, {"from", kLineFromImport}};
  for (const Entry &e : kEntries) {
    if (e.word.size() == n && memcmp(e.word.data(), text, n) == 0) return e.type;
  }
  return kLineStatement;
}

bool is_header_keyword(const char *text, size_t n) {
  static const std::string_view kWords[] = {"class", "def", "if", "while", "for", "with",
                                             "try", "else", "elif", "except", "finally"};
  for (std::string_view w : kWords) {
    if (w.size() == n && memcmp(w.data(), text, n) == 0) return true;
  }
  return false;
}

// Statement keywords no expression continues with: the recovery rule's tokens.
bool is_recovery_word(const char *text, size_t n) {
  static const std::string_view kWords[] = {
      "def", "class", "@",      "return", "import",  "from", "pass",  "break", "continue", "raise",
      "del", "global", "exec", "try",    "except", "finally", "elif", "while", "with", "assert"};
  for (std::string_view w : kWords) {
    if (w.size() == n && memcmp(w.data(), text, n) == 0) return true;
  }
  return false;
}

// The cutter of vornide.logicallines._Cutter, rule for rule.
class Cutter {
 public:
  Cutter(const Source &src, const State &state) : src_(src), tokenizer_(src) {
    // Some one token in four bytes and a record a row, in the modules of the library.
    out_.reserve(src.size / 4);
    records_.reserve(size_t(src.rows()));
    stack_ = state.stack;
    if (state.has_last) {
      has_last_ = true;
      last_type_ = state.last_type;
      last_indent_ = state.last_indent;
      level_ = state.last_indent;
    }
    opened_block_ = state.opened;
  }

  void run();

  State state() const {
    State st;
    st.stack = stack_;
    st.has_last = has_last_;
    st.last_type = last_type_;
    st.last_indent = last_indent_;
    st.opened = opened_block_;
    st.carry_known = carry_known_;
    st.carry = carry_;
    return st;
  }

  const Source &src_;
  std::vector<Tok> out_;           // the tokens of the records, in order
  std::vector<Record> records_;
  std::vector<std::pair<size_t, State>> states_;  // record index: state before its statement
  bool clean_ = true;

 private:
  long row_column(long row, long col) const { return visual_column(src_.s + src_.begin(row), col); }

  void emit(const Tok *toks, size_t n, long level, int linetype) {
    long lineno = toks[0].srow;
    if (linetype == 0) {
      linetype = first_token_type(src_.s + toks[0].start, toks[0].end - toks[0].start);
      if (linetype == kLineStatement && is_docstring(toks, n, level)) linetype = kLineDocString;
    }
    long last_row = toks[0].erow;
    for (size_t i = 0; i < n; i++) last_row = std::max(last_row, toks[i].erow);
    Record r;
    r.first = out_.size();
    out_.insert(out_.end(), toks, toks + n);
    r.last = out_.size();
    r.lineno = lineno;
    r.linecount = std::min(last_row - lineno + 1, kMaxLinecount);
    r.indent = level;
    r.linetype = linetype;
    records_.push_back(r);
    if (linetype != kLineComment && linetype != kLineBlank) {
      has_last_ = true;
      last_type_ = linetype;
      last_indent_ = level;
      level_ = level;
    }
  }

  bool is_docstring(const Tok *toks, size_t n, long level) const {
    for (size_t i = 0; i < n; i++) {
      if (toks[i].kind != kString) return false;
    }
    if (!has_last_) return level == 0;
    return (last_type_ == kLineClass || last_type_ == kLineDef) && level == last_indent_ + 1;
  }

  void emit_comment(const Tok &t) {
    long column = row_column(t.srow, t.scol);
    long level = -1;
    for (long c : stack_) {
      if (c <= column) level++;
    }
    if (opened_block_ && column > stack_.back()) level++;
    emit(&t, 1, level, kLineComment);
  }

  void emit_blank(long row) {
    Record r{out_.size(), out_.size(), row, 1, level_, kLineBlank};
    records_.push_back(r);
  }

  void statement(const std::vector<Tok> &toks, long end_row) {
    long column = row_column(toks[0].srow, toks[0].scol);
    State before = state();
    while (column < stack_.back()) stack_.pop_back();
    if (column > stack_.back()) stack_.push_back(column);
    opened_block_ = false;
    size_t emitted = records_.size();
    split(toks.data(), toks.size(), long(stack_.size()) - 1);
    if (records_.size() > emitted) {
      states_.emplace_back(emitted, std::move(before));
      Record &last = records_.back();
      if (last.lineno + last.linecount - 1 < end_row) {
        last.linecount = std::min(end_row - last.lineno + 1, kMaxLinecount);
      }
    }
    if (carry_known_) {
      for (const Tok &t : toks) {
        if (is_opener(src_, t)) {
          carry_++;
        } else if (is_closer(src_, t)) {
          carry_--;
        }
      }
    }
  }

  // Index of the colon that ends a compound statement's header, or n.
  size_t header_colon(const Tok *toks, size_t n) const {
    long depth = 0, lambdas = 0;
    for (size_t i = 0; i < n; i++) {
      if (is_opener(src_, toks[i])) {
        depth++;
      } else if (is_closer(src_, toks[i])) {
        depth = std::max(depth - 1, 0L);
      } else if (depth == 0) {
        if (text_is(src_, toks[i], "lambda")) {
          lambdas++;
        } else if (text_is(src_, toks[i], ":")) {
          if (lambdas) {
            lambdas--;
          } else {
            return i;
          }
        }
      }
    }
    return n;
  }

  void split(const Tok *toks, size_t n, long level) {
    if (is_header_keyword(src_.s + toks[0].start, toks[0].end - toks[0].start)) {
      size_t colon = header_colon(toks, n);
      if (colon != n && colon + 1 < n) {
        emit(toks, colon + 1, level, 0);
        split_body(toks + colon + 1, n - colon - 1, level + 1);
        return;
      }
      emit(toks, n, level, 0);
      opened_block_ = colon != n;
      return;
    }
    split_body(toks, n, level);
  }

  void split_body(const Tok *toks, size_t n, long level) {
    size_t part = 0;
    long depth = 0;
    for (size_t i = 0; i < n; i++) {
      if (is_opener(src_, toks[i])) {
        depth++;
      } else if (is_closer(src_, toks[i])) {
        depth = std::max(depth - 1, 0L);
      } else if (depth == 0 && text_is(src_, toks[i], ";")) {
        simple(toks + part, i - part, level);
        part = i + 1;
      }
    }
    simple(toks + part, n - part, level);
  }

  void simple(const Tok *toks, size_t n, long level) {
    if (!n) return;
    if (is_header_keyword(src_.s + toks[0].start, toks[0].end - toks[0].start)) {
      split(toks, n, level);
    } else {
      emit(toks, n, level, 0);
    }
  }

  // The first row from `first` on that starts, at or left of `column`, with a recovery
  // keyword; 0 when there is none.
  long recovery_row(long first, long column) const {
    const char *s = src_.s;
    for (long row = first; row <= src_.rows(); row++) {
      size_t b = src_.begin(row), e = src_.end(row), p = b;
      while (p < e && (s[p] == ' ' || s[p] == '\t' || s[p] == '\f')) p++;
      if (p == e || s[p] == '#' || s[p] == '\n' || s[p] == '\\') continue;
      size_t w = p;
      if (s[w] == '@') {
        w++;
      } else if (is_name_start(s[w])) {
        while (w < e && is_name_char(s[w])) w++;
      }
      if (w > p && is_recovery_word(s + p, w - p) && visual_column(s + b, long(p - b)) <= column) {
        return row;
      }
    }
    return 0;
  }

  Tokenizer tokenizer_;
  std::vector<long> stack_;
  long level_ = 0;
  bool opened_block_ = false;
  bool has_last_ = false;
  long last_type_ = 0, last_indent_ = 0;
  bool carry_known_ = true;
  long carry_ = 0;
};

void Cutter::run() {
  std::vector<Tok> pending;
  long comment_row = -1;
  tokenizer_.restart(1);
  const char *s = src_.s;
  Tok t;
  for (;;) {
    Tokenizer::Event event = tokenizer_.next(&t);
    if (event == Tokenizer::kToken && !pending.empty() && t.srow > pending.back().erow &&
        (t.kind == kName || (t.kind == kOp && s[t.start] == '@')) &&
        is_recovery_word(s + t.start, t.end - t.start) &&
        row_column(t.srow, t.scol) <= row_column(pending[0].srow, pending[0].scol)) {
      // A statement keyword cannot continue the statement still open before it; that
      // statement ends at its last token and the tokenizer starts again on the next row.
      long end_row = pending.back().erow;
      statement(pending, end_row);
      pending.clear();
      if (carry_known_) carry_ = 0;
      tokenizer_.restart(end_row + 1);
      continue;
    }
    if (event == Tokenizer::kEnd) break;
    if (event == Tokenizer::kError) {
      clean_ = false;
      if (tokenizer_.error_in_string) {
        long srow = tokenizer_.error_row, scol = tokenizer_.error_col;
        long column = pending.empty() ? row_column(srow, scol)
                                      : row_column(pending[0].srow, pending[0].scol);
        long end = recovery_row(srow + 1, column);
        size_t start = src_.begin(srow) + size_t(scol);
        if (end == 0) {
          long rows = src_.rows();
          pending.push_back(Tok{start, src_.size, kString, srow, scol, rows,
                                long(src_.end(rows) - src_.begin(rows))});
        } else {
          size_t stop = src_.end(end - 1) - 1;  // the "\n" that ends the row before
          pending.push_back(Tok{start, stop, kString, srow, scol, end - 1,
                                long(stop - src_.begin(end - 1))});
          statement(pending, end - 1);
          pending.clear();
          carry_known_ = false;
          tokenizer_.restart(end);
          continue;
        }
      }
      break;
    }
    switch (t.kind) {
      case kNewline:
        if (!pending.empty()) statement(pending, t.srow);
        pending.clear();
        break;
      case kComment:
        if (pending.empty()) {
          emit_comment(t);
          comment_row = t.srow;
        }
        break;
      case kNl:
        if (pending.empty() && t.srow != comment_row) emit_blank(t.srow);
        break;
      case kErrorToken:
        if (t.end - t.start == 1 && is_space(s[t.start])) break;
        pending.push_back(t);
        break;
      default:
        pending.push_back(t);
        break;
    }
  }
  if (!pending.empty()) statement(pending, 0);
  long rows = src_.rows();
  if (rows && !src_.ends_with_newline(rows)) {
    // The tokenizer gives no NL for blanks that end the source without a line end.
    bool blank = true;
    for (size_t i = src_.begin(rows); i < src_.size; i++) {
      if (!is_space(s[i])) {
        blank = false;
        break;
      }
    }
    if (blank) {
      if (records_.empty()) {
        emit_blank(rows);
      } else {
        const Record &last = records_.back();
        if (last.lineno + last.linecount - 1 < rows) emit_blank(rows);
      }
    }
  }
}

// -- conversion to Python objects ------------------------------------------------------------

// Token texts and position pairs repeat across a module; one object each per cut.
class Objects {
 public:
  ~Objects() {
    for (auto &entry : texts_) Py_DECREF(entry.second);
    for (PyObject *p : positions_) Py_XDECREF(p);
    for (PyObject *c : chars_) Py_XDECREF(c);
  }

  PyObject *text(const char *s, size_t n) {
    if (n == 1) {
      // Operators and one-letter names, without hashing.
      PyObject *&slot = chars_[static_cast<unsigned char>(s[0])];
      if (!slot) {
        slot = PyString_FromStringAndSize(s, 1);
        if (!slot) return nullptr;
      }
      Py_INCREF(slot);
      return slot;
    }
    if (n > 24) return PyString_FromStringAndSize(s, Py_ssize_t(n));
    std::string_view key(s, n);
    auto found = texts_.find(key);
    if (found != texts_.end()) {
      Py_INCREF(found->second);
      return found->second;
    }
    PyObject *made = PyString_FromStringAndSize(s, Py_ssize_t(n));
    if (!made) return nullptr;
    Py_INCREF(made);
    texts_.emplace(key, made);
    return made;
  }

  // (a, b): two ints, nothing for the cyclic collector to walk.
  static PyObject *pair(long a, long b) {
    PyObject *made = Py_BuildValue("(ll)", a, b);
    if (made) _PyTuple_MaybeUntrack(made);
    return made;
  }

  PyObject *position(long row, long col) {
    const long kRows = 4, kCols = 160;
    if (row < kRows && col < kCols) {
      if (positions_.empty()) positions_.assign(kRows * kCols, nullptr);
      PyObject *&slot = positions_[row * kCols + col];
      if (!slot) {
        slot = pair(row, col);
        if (!slot) return nullptr;
      }
      Py_INCREF(slot);
      return slot;
    }
    return pair(row, col);
  }

 private:
  std::unordered_map<std::string_view, PyObject *> texts_;  // keys point into the source
  std::vector<PyObject *> positions_;
  PyObject *chars_[256] = {};
};

// The parts of states repeat across a cut (a few indentation stacks, a few last lines): one
// tuple each per cut, left to themselves by the cyclic collector (ints only).
class StateParts {
 public:
  ~StateParts() {
    for (auto &entry : stacks_) Py_DECREF(entry.second);
    for (auto &entry : lasts_) Py_DECREF(entry.second);
  }

  PyObject *stack(const std::vector<long> &columns) {
    PyObject *&slot = stacks_[columns];
    if (!slot) {
      slot = PyTuple_New(Py_ssize_t(columns.size()));
      for (size_t i = 0; slot && i < columns.size(); i++) {
        PyObject *v = PyInt_FromLong(columns[i]);
        if (!v) Py_CLEAR(slot);
        if (slot) PyTuple_SET_ITEM(slot, Py_ssize_t(i), v);
      }
      if (!slot) return nullptr;
      _PyTuple_MaybeUntrack(slot);
    }
    Py_INCREF(slot);
    return slot;
  }

  PyObject *last(long type, long indent) {
    PyObject *&slot = lasts_[std::make_pair(type, indent)];
    if (!slot) {
      slot = Objects::pair(type, indent);
      if (!slot) return nullptr;
    }
    Py_INCREF(slot);
    return slot;
  }

 private:
  std::map<std::vector<long>, PyObject *> stacks_;
  std::map<std::pair<long, long>, PyObject *> lasts_;
};

PyObject *state_object(const State &st, StateParts *parts) {
  PyRef stack(parts->stack(st.stack));
  if (!stack) return nullptr;
  PyRef last;
  if (st.has_last) {
    last.reset(parts->last(st.last_type, st.last_indent));
  } else {
    last = PyRef::borrow(Py_None);
  }
  if (!last) return nullptr;
  PyRef carry;
  if (st.carry_known) {
    carry.reset(PyInt_FromLong(st.carry));
  } else {
    carry = PyRef::borrow(Py_None);
  }
  if (!carry) return nullptr;
  PyObject *made =
      PyTuple_Pack(4, stack.get(), last.get(), st.opened ? Py_True : Py_False, carry.get());
  // Ints, tuples of ints, None and bools: nothing for the cyclic collector to walk.
  if (made) _PyTuple_MaybeUntrack(made);
  return made;
}

// Reads a state of vornide.logicallines (stack, last, opened, carry); carry must be 0.
bool read_state(PyObject *obj, State *st) {
  PyObject *stack, *last, *opened, *carry;
  if (!PyTuple_Check(obj) || !PyArg_ParseTuple(obj, "OOOO:state", &stack, &last, &opened, &carry)) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "state must be a 4-tuple");
    return false;
  }
  if (!PyTuple_Check(stack) || PyTuple_GET_SIZE(stack) == 0) {
    PyErr_SetString(PyExc_TypeError, "a state's stack must be a non-empty tuple");
    return false;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(stack); i++) {
    long c = PyInt_AsLong(PyTuple_GET_ITEM(stack, i));
    if (c == -1 && PyErr_Occurred()) return false;
    if (c < 0 || (i > 0 && c <= st->stack.back())) {
      PyErr_SetString(PyExc_ValueError, "a state's stack must be increasing columns from 0");
      return false;
    }
    st->stack.push_back(c);
  }
  if (last != Py_None) {
    if (!PyTuple_Check(last) || !PyArg_ParseTuple(last, "ll:last line", &st->last_type,
                                                  &st->last_indent)) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a state's last line must be a pair");
      return false;
    }
    st->has_last = true;
  }
  int is_opened = PyObject_IsTrue(opened);
  if (is_opened < 0) return false;
  st->opened = is_opened != 0;
  long c = carry == Py_None ? -1 : PyInt_AsLong(carry);
  if (c == -1 && PyErr_Occurred()) return false;
  if (c != 0) {
    PyErr_SetString(PyExc_ValueError, "a cut starts where the tokenizer carries nothing");
    return false;
  }
  return true;
}

// A new instance of the record type (a tuple subclass without fields of its own) holding items.
PyObject *new_record(PyTypeObject *type, PyObject *items[6]) {
  PyObject *record = type->tp_alloc(type, 6);
  if (!record) {
    for (int i = 0; i < 6; i++) Py_DECREF(items[i]);
    return nullptr;
  }
  for (int i = 0; i < 6; i++) PyTuple_SET_ITEM(record, i, items[i]);
  return record;
}

PyObject *record_object(const Cutter &cutter, const Record &r, long shift, PyTypeObject *type,
                        Objects *objects) {
  const Source &src = cutter.src_;
  size_t n = r.last - r.first;
  PyRef tokens(PyList_New(Py_ssize_t(n)));
  PyRef positions(PyList_New(Py_ssize_t(n)));
  if (!tokens || !positions) return nullptr;
  for (size_t i = 0; i < n; i++) {
    const Tok &t = cutter.out_[r.first + i];
    PyObject *text = objects->text(src.s + t.start, t.end - t.start);
    if (!text) return nullptr;
    PyList_SET_ITEM(tokens.get(), Py_ssize_t(i), text);
    PyObject *pos = objects->position(std::min(t.srow - r.lineno, kMaxPosition),
                                      std::min(t.scol, kMaxPosition));
    if (!pos) return nullptr;
    PyList_SET_ITEM(positions.get(), Py_ssize_t(i), pos);
  }
  PyObject *items[6] = {tokens.release(), positions.release(), PyInt_FromLong(r.lineno + shift),
                        PyInt_FromLong(r.linecount), PyInt_FromLong(r.indent),
                        PyInt_FromLong(r.linetype)};
  for (int i = 2; i < 6; i++) {
    if (!items[i]) {
      for (int k = 0; k < 6; k++) Py_XDECREF(items[k]);
      return nullptr;
    }
  }
  // A record holds only its two lists, of strs and of (row, column) pairs, and ints, and
  // nothing changes them once made: the cyclic collector need not walk them, again and again
  // while the module is open.
  PyObject_GC_UnTrack(items[0]);
  PyObject_GC_UnTrack(items[1]);
  PyObject *record = new_record(type, items);
  if (record) PyObject_GC_UnTrack(record);
  return record;
}

}  // namespace

PyObject *linecutter_CutLines(PyObject *, PyObject *args) {
  const char *text;
  Py_ssize_t size;
  long first_lineno;
  PyObject *state_arg, *type_arg;
  if (!PyArg_ParseTuple(args, "s#lOO:CutLines", &text, &size, &first_lineno, &state_arg,
                        &type_arg)) {
    return nullptr;
  }
  if (!PyType_Check(type_arg) ||
      !PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(type_arg), &PyTuple_Type) ||
      reinterpret_cast<PyTypeObject *>(type_arg)->tp_basicsize != PyTuple_Type.tp_basicsize ||
      reinterpret_cast<PyTypeObject *>(type_arg)->tp_itemsize != PyTuple_Type.tp_itemsize) {
    PyErr_SetString(PyExc_TypeError, "record_type must be a tuple subclass without fields");
    return nullptr;
  }
  if (first_lineno < 1 || first_lineno > INT32_MAX) {
    PyErr_SetString(PyExc_ValueError, "first_lineno must be a positive line number");
    return nullptr;
  }
  State state;
  if (!read_state(state_arg, &state)) return nullptr;
  PyTypeObject *type = reinterpret_cast<PyTypeObject *>(type_arg);

  Source src(text, size_t(size));
  Cutter cutter(src, state);
  cutter.run();

  long shift = first_lineno - 1;
  CollectorPause pause;
  Objects objects;
  size_t count = cutter.records_.size();
  PyRef records(PyList_New(Py_ssize_t(count)));
  PyRef states(PyList_New(Py_ssize_t(count)));
  if (!records || !states) return nullptr;
  for (size_t i = 0; i < count; i++) {
    PyObject *record = record_object(cutter, cutter.records_[i], shift, type, &objects);
    if (!record) return nullptr;
    PyList_SET_ITEM(records.get(), Py_ssize_t(i), record);
    Py_INCREF(Py_None);
    PyList_SET_ITEM(states.get(), Py_ssize_t(i), Py_None);
  }
  // Statements in a row at one level mostly start in the same state: they share its tuple.
  StateParts parts;
  const State *previous = nullptr;
  PyObject *previous_object = nullptr;
  for (const auto &entry : cutter.states_) {
    PyObject *st;
    if (previous && entry.second == *previous) {
      st = previous_object;
      Py_INCREF(st);
    } else {
      st = state_object(entry.second, &parts);
      if (!st) return nullptr;
    }
    previous = &entry.second;
    previous_object = st;
    PyList_SetItem(states.get(), Py_ssize_t(entry.first), st);
  }
  PyRef end(state_object(cutter.state(), &parts));
  if (!end) return nullptr;
  return PyTuple_Pack(4, records.get(), states.get(), cutter.clean_ ? Py_True : Py_False,
                      end.get());
}
