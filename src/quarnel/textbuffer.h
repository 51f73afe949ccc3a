// The analyzer's text buffer: a growable NUL-terminated byte string for rendered expressions and
// full names. Texts shorter than the inline storage never touch the heap; past it the storage
// grows to exactly the size needed (no doubling), since most texts are built once and interned.
#ifndef QUARNEL_TEXTBUFFER_H
#define QUARNEL_TEXTBUFFER_H

#include <stddef.h>

class TextBuffer {
 public:
  static constexpr size_t kInlineSize = 160;

  TextBuffer() { fInline[0] = '\0'; }
  ~TextBuffer();
  TextBuffer(const TextBuffer &) = delete;
  TextBuffer &operator=(const TextBuffer &) = delete;

  // Appends `length` bytes of `text`. When the new length would reach or pass the capacity the
  // storage grows to exactly new length + 1 bytes. An empty append does nothing. Returns 0, or
  // -1 when the storage cannot grow (the buffer is then unchanged).
  int Append(const char *text, size_t length);
  int Append(const char *text);

  const char *Text() const { return fText; }
  size_t Length() const { return fLength; }
  size_t Capacity() const { return fCapacity; }
  bool OnHeap() const { return fText != fInline; }

 private:
  char *fText = fInline;  // the storage: fInline, or a heap block once grown
  size_t fLength = 0;     // bytes before the terminating NUL
  size_t fCapacity = kInlineSize;
  char fInline[kInlineSize];
};

#endif  // QUARNEL_TEXTBUFFER_H
