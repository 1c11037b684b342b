// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/filestart.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace qm {

FileStart FileStart::of(int fd) {
    FileStart start;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return start;
    std::string head(std::min<std::size_t>(static_cast<std::size_t>(st.st_size), Bytes), '\0');
    std::size_t got = 0;
    while (got < head.size()) {
        const ssize_t n =
            ::pread(fd, head.data() + got, head.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return start;
        got += static_cast<std::size_t>(n);
    }
    start.size = st.st_size;
    start.head = std::move(head);
    return start;
}

}  // namespace qm
