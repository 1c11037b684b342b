// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/threadcontext.h"

namespace qm {

ThreadContext& ThreadContext::current() {
    thread_local ThreadContext context;
    return context;
}

}  // namespace qm
