// Placeholder until the decode command is written; replaced by its owner.
#include <cstdio>

#include "cli/commands.h"

namespace qm::cli {

int runDecodeCommand(Args) {
    std::fputs("qmere-cli: decode is not available yet\n", stderr);
    return 2;
}

}  // namespace qm::cli
