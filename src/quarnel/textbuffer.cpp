// The analyzer's text buffer (textbuffer.h).
#include "textbuffer.h"

#include <stdlib.h>
#include <string.h>

TextBuffer::~TextBuffer() {
  if (OnHeap()) free(fText);
}

int TextBuffer::Append(const char *text, size_t length) {
  if (length == 0) return 0;
  if (length >= size_t(-1) - fLength - 1) return -1;
  size_t needed = fLength + length;
  if (needed >= fCapacity) {
    size_t capacity = needed + 1;
    char *grown;
    if (OnHeap()) {
      grown = static_cast<char *>(realloc(fText, capacity));
    } else {
      grown = static_cast<char *>(malloc(capacity));
      if (grown) memcpy(grown, fText, fLength + 1);
    }
    if (!grown) return -1;
    fText = grown;
    fCapacity = capacity;
  }
  memcpy(fText + fLength, text, length);
  fLength = needed;
  fText[fLength] = '\0';
  return 0;
}

int TextBuffer::Append(const char *text) { return Append(text, strlen(text)); }
