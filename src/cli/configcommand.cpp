// Placeholder until the config command is written; replaced by its owner.
#include <cstdio>

#include "cli/commands.h"

namespace qm::cli {

int runConfigCommand(Args) {
    std::fputs("qmere-cli: config is not available yet\n", stderr);
    return 2;
}

}  // namespace qm::cli
