// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The state of TcpStream's compression layer (socketcompression.cpp); seen by socket.cpp only
// so that the stream can destroy it.
#include <cstddef>
#include <memory>
#include <string>

#include "platform/deflate.h"
#include "platform/socket.h"

namespace qm {

struct TcpStream::Compression {
    Deflater out;
    Inflater in;
    std::unique_ptr<char[]> raw = std::make_unique<char[]>(ReceiveSize);  // as received
    std::size_t rawPos = 0;
    std::size_t rawEnd = 0;
    // The reply line before the compressed stream ended with a CR whose LF was not yet read:
    // that LF, if it comes, is not part of the compressed stream.
    bool skipLf = false;
    bool ended = false;  // the peer ended its compressed stream
    std::string sendBuffer;
};

}  // namespace qm
