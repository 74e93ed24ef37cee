#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "line_buffer.h"

namespace sidecar {
namespace {

// Feeds `input` through a pipe in pieces of random size, filling after
// each, and collects the lines and the unfinished rest at the end.
struct Split {
  std::vector<std::string> lines;
  std::string rest;
  std::size_t largest_capacity = 0;
  std::size_t final_capacity = 0;
};
Split split_through_pipe(const std::string& input, std::size_t working, unsigned seed) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  LineBuffer buffer(working);
  Split split;
  std::mt19937 random(seed);
  for (std::size_t at = 0; at < input.size();) {
    const std::size_t piece = std::min<std::size_t>(input.size() - at, 1 + random() % 5000);
    EXPECT_EQ(::write(fds[1], input.data() + at, piece), static_cast<ssize_t>(piece));
    at += piece;
    EXPECT_EQ(buffer.fill(fds[0]), LineBuffer::Fill::kRead);
    while (const auto line = buffer.next_line()) split.lines.emplace_back(*line);
    split.largest_capacity = std::max(split.largest_capacity, buffer.capacity());
    buffer.shrink();
  }
  ::close(fds[1]);
  for (LineBuffer::Fill filled; (filled = buffer.fill(fds[0])) != LineBuffer::Fill::kEnded;) {
    EXPECT_EQ(filled, LineBuffer::Fill::kRead);
    while (const auto line = buffer.next_line()) split.lines.emplace_back(*line);
    split.largest_capacity = std::max(split.largest_capacity, buffer.capacity());
  }
  buffer.shrink();
  ::close(fds[0]);
  split.rest = buffer.rest();
  split.final_capacity = buffer.capacity();
  return split;
}

TEST(LineBuffer, HandsOutTheLinesOfAnyReadsAndGrowsOnlyForALongOne) {
  const std::string long_line(20000, 'x');
  for (unsigned seed = 1; seed <= 20; ++seed) {
    std::vector<std::string> lines = {"",        "a", "{\"id\":\"1\"}\r", "",
                                      long_line, "b", long_line + "y"};
    std::string input;
    for (const std::string& line : lines) input += line + "\n";
    const Split split = split_through_pipe(input + "tail", 256, seed);
    EXPECT_EQ(split.lines, lines);
    EXPECT_EQ(split.rest, "tail");
    EXPECT_GE(split.largest_capacity, long_line.size());
    EXPECT_EQ(split.final_capacity, 256u);  // given back once the long lines went
  }
  const Split short_lines = split_through_pipe(std::string(300, '\n'), 256, 1);
  EXPECT_EQ(short_lines.lines.size(), 300u);
  EXPECT_EQ(short_lines.largest_capacity, 256u);
}

TEST(LineBuffer, DropsAnUnfinishedLineAndGoesOnAfterItsEnd) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  LineBuffer buffer(64);
  const std::string first = "{\"id\":\"a\",\"input\":\"long";
  ASSERT_EQ(::write(fds[1], first.data(), first.size()), static_cast<ssize_t>(first.size()));
  ASSERT_EQ(buffer.fill(fds[0]), LineBuffer::Fill::kRead);
  EXPECT_FALSE(buffer.next_line());
  EXPECT_EQ(buffer.rest(), first);
  buffer.drop_rest();
  EXPECT_EQ(buffer.rest(), "");
  const std::string second = " text\"}\nnext\n";
  ASSERT_EQ(::write(fds[1], second.data(), second.size()), static_cast<ssize_t>(second.size()));
  ASSERT_EQ(buffer.fill(fds[0]), LineBuffer::Fill::kRead);
  EXPECT_EQ(buffer.next_line(), " text\"}");
  EXPECT_EQ(buffer.next_line(), "next");
  EXPECT_FALSE(buffer.next_line());
  ::close(fds[0]);
  ::close(fds[1]);
  EXPECT_EQ(buffer.fill(fds[0]), LineBuffer::Fill::kFailed);
}

}  // namespace
}  // namespace sidecar
