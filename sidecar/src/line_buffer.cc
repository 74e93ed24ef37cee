#include "line_buffer.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <optional>

#include "descriptor_io.h"

namespace sidecar {

LineBuffer::LineBuffer(std::size_t working_size)
    : data_(static_cast<char*>(std::malloc(working_size))),
      capacity_(working_size),
      working_size_(working_size) {
  if (data_ == nullptr) throw std::bad_alloc();
}

LineBuffer::~LineBuffer() { std::free(data_); }

LineBuffer::Fill LineBuffer::fill(int fd) {
  if (begin_ == end_) {
    begin_ = scanned_ = end_ = 0;
  } else if (begin_ > 0 && capacity_ - end_ < capacity_ / 4) {
    // Only the unfinished line is moved, and only when little room is left
    // behind it; a line that grows stays at the front.
    std::memmove(data_, data_ + begin_, end_ - begin_);
    end_ -= begin_;
    scanned_ -= begin_;
    begin_ = 0;
  }
  if (capacity_ - end_ < capacity_ / 4) {
    auto* grown = capacity_ <= std::numeric_limits<std::size_t>::max() / 2
                      ? static_cast<char*>(std::realloc(data_, 2 * capacity_))
                      : nullptr;
    if (grown != nullptr) {
      data_ = grown;
      capacity_ *= 2;
    } else if (end_ == capacity_) {
      return Fill::kNoMemory;
    }
  }
  const std::ptrdiff_t got = read_some(fd, data_ + end_, capacity_ - end_);
  if (got < 0) return Fill::kFailed;
  if (got == 0) return Fill::kEnded;
  end_ += static_cast<std::size_t>(got);
  return Fill::kRead;
}

std::optional<std::string_view> LineBuffer::next_line() {
  const auto* newline =
      static_cast<const char*>(std::memchr(data_ + scanned_, '\n', end_ - scanned_));
  if (newline == nullptr) {
    scanned_ = end_;
    return std::nullopt;
  }
  const std::string_view line(data_ + begin_, static_cast<std::size_t>(newline - data_) - begin_);
  begin_ = scanned_ = static_cast<std::size_t>(newline - data_) + 1;
  return line;
}

std::string_view LineBuffer::rest() const { return {data_ + begin_, end_ - begin_}; }

void LineBuffer::drop_rest() { begin_ = scanned_ = end_; }

void LineBuffer::shrink() {
  const std::size_t held = end_ - begin_;
  if (capacity_ <= working_size_ || held > working_size_) return;
  auto* smaller = static_cast<char*>(std::malloc(working_size_));
  if (smaller == nullptr) return;
  std::memcpy(smaller, data_ + begin_, held);
  std::free(data_);
  data_ = smaller;
  capacity_ = working_size_;
  scanned_ -= begin_;
  end_ = held;
  begin_ = 0;
}

}  // namespace sidecar
