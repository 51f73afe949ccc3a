// Tests of the analyzer's text buffer: inline storage up to its size, exact growth past it, and
// the text kept whole and NUL-terminated across growths, compared with std::string as a model.
#include "textbuffer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

TEST(TextBuffer, InlineUntilFullThenExactGrowth) {
  TextBuffer buffer;
  EXPECT_EQ(buffer.Capacity(), TextBuffer::kInlineSize);
  EXPECT_STREQ(buffer.Text(), "");
  std::string text(TextBuffer::kInlineSize - 1, 'a');
  ASSERT_EQ(buffer.Append(text.c_str()), 0);  // 159 bytes + NUL fill the inline storage
  EXPECT_FALSE(buffer.OnHeap());
  EXPECT_EQ(buffer.Capacity(), TextBuffer::kInlineSize);
  ASSERT_EQ(buffer.Append("b", 1), 0);  // reaching the capacity grows to length + 1
  EXPECT_TRUE(buffer.OnHeap());
  EXPECT_EQ(buffer.Length(), TextBuffer::kInlineSize);
  EXPECT_EQ(buffer.Capacity(), TextBuffer::kInlineSize + 1);
  ASSERT_EQ(buffer.Append("cd", 2), 0);  // and again on the heap, no doubling
  EXPECT_EQ(buffer.Capacity(), TextBuffer::kInlineSize + 3);
  EXPECT_EQ(std::string(buffer.Text()), text + "bcd");
}

TEST(TextBuffer, EmptyAppendChangesNothing) {
  TextBuffer buffer;
  ASSERT_EQ(buffer.Append("", 0), 0);
  ASSERT_EQ(buffer.Append(nullptr, 0), 0);
  EXPECT_EQ(buffer.Length(), 0u);
  EXPECT_EQ(buffer.Capacity(), TextBuffer::kInlineSize);
}

TEST(TextBuffer, RandomAppendsMatchAModel) {
  // The model: a std::string for the text and the capacity rule (grow to exactly the new
  // length + 1 whenever the new length reaches the capacity).
  std::mt19937 random(1234);
  for (int round = 0; round < 50; round++) {
    TextBuffer buffer;
    std::string model;
    size_t capacity = TextBuffer::kInlineSize;
    int appends = int(random() % 40);
    for (int i = 0; i < appends; i++) {
      std::string piece(random() % 30, char('a' + random() % 26));
      ASSERT_EQ(buffer.Append(piece.data(), piece.size()), 0);
      model += piece;
      if (!piece.empty() && model.size() >= capacity) capacity = model.size() + 1;
      ASSERT_EQ(std::string(buffer.Text()), model);
      ASSERT_EQ(buffer.Length(), model.size());
      ASSERT_EQ(buffer.Capacity(), capacity);
      ASSERT_EQ(buffer.OnHeap(), capacity != TextBuffer::kInlineSize);
    }
  }
}

}  // namespace
