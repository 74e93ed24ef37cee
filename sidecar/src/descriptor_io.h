#ifndef PARLANTO_SIDECAR_DESCRIPTOR_IO_H_
#define PARLANTO_SIDECAR_DESCRIPTOR_IO_H_

#include <cstddef>
#include <string_view>

// Reading and writing a file descriptor whatever the parent process made of
// it: a non-blocking descriptor is waited on with poll(2) instead of failing,
// and interrupted or partial transfers go on where they stopped.
namespace sidecar {

// Reads at least one byte into `buffer`: the count read, 0 at the end of
// input, or -1 when reading failed (errno tells why).
std::ptrdiff_t read_some(int fd, char* buffer, std::size_t size);

// Whether input can be read from `fd` without waiting (its end and errors
// included).
bool readable_now(int fd);

// Whether all of `bytes` reached `fd`. False only for a failure that waiting
// cannot mend (a closed reader, a full disk, a bad descriptor).
bool write_all(int fd, std::string_view bytes);

// Asks for a larger buffer when `fd` is a pipe, so that a long line crosses
// it in a few pieces, each waking the other side once, rather than in many.
// A pipe is never made smaller; where the system says no, nothing changes.
void widen_pipe(int fd);

}  // namespace sidecar

#endif  // PARLANTO_SIDECAR_DESCRIPTOR_IO_H_
