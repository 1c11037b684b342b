// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The size and first bytes of a file the decoder wrote, taken while the file was still open,
// so that whoever compares files (the picture catalogue) need not read it again.

#include <cstddef>
#include <cstdint>
#include <string>

namespace qm {

struct FileStart {
    // As many first bytes as are kept: enough to tell most files of one size apart.
    static constexpr std::size_t Bytes = 4096;

    std::int64_t size = -1;  // -1: not known (a file assembled or staged elsewhere)
    std::string head;        // its first min(size, Bytes) bytes

    bool known() const { return size >= 0; }

    // Of the regular file open at fd (written through a stream: flushed first); not known
    // when it cannot be read.
    static FileStart of(int fd);
};

}  // namespace qm
