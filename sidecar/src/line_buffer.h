#ifndef PARLANTO_SIDECAR_LINE_BUFFER_H_
#define PARLANTO_SIDECAR_LINE_BUFFER_H_

#include <cstddef>
#include <optional>
#include <string_view>

// The request loop's input buffer. Lines are handed out where they were
// read, so that none is copied; a line longer than the buffer doubles it
// with realloc, which moves a large block's pages instead of copying them.
namespace sidecar {

class LineBuffer {
 public:
  // Starts with `working_size` bytes, the size shrink() returns to.
  explicit LineBuffer(std::size_t working_size);
  ~LineBuffer();
  LineBuffer(const LineBuffer&) = delete;
  LineBuffer& operator=(const LineBuffer&) = delete;

  enum class Fill {
    kRead,      // more bytes are buffered
    kEnded,     // the input ended
    kFailed,    // reading failed
    kNoMemory,  // the unfinished line fills the buffer, which cannot grow
  };

  // Reads once from `fd` into the free space, after moving the unfinished
  // line to the front and doubling the buffer if that line fills most of it.
  // Lines handed out before are no longer valid.
  Fill fill(int fd);

  // The next whole line, without its newline, or nothing until the next
  // fill(). Valid until the next fill() or shrink().
  std::optional<std::string_view> next_line();

  // What is buffered of the unfinished line, and dropping it.
  std::string_view rest() const;
  void drop_rest();

  std::size_t capacity() const { return capacity_; }

  // Gives back a buffer grown past the working size once what it holds
  // fits in that size again.
  void shrink();

 private:
  char* data_;
  std::size_t capacity_;
  std::size_t working_size_;
  std::size_t begin_ = 0;    // the first byte not handed out
  std::size_t scanned_ = 0;  // no newline in [begin_, scanned_)
  std::size_t end_ = 0;      // the end of what was read
};

}  // namespace sidecar

#endif  // PARLANTO_SIDECAR_LINE_BUFFER_H_
