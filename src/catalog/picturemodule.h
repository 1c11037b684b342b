// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The picture module (catalog/pictureabi.h): the shared library that reads pictures with
// libvips, loaded on first use so that programs which never make a thumbnail never load
// libvips or start it.
//
// One per process, made by the first call of instance() and kept until the process ends:
// libvips can be started only once and not unloaded. Any thread may call it.
#include <string>
#include <vector>

#include "catalog/pictureabi.h"

namespace qm {

class PictureModule {
  public:
    // The module, loaded and started by the first call; null when it cannot be, with the
    // reason in whyNot (the same reason at every later call).
    static const PictureModule* instance(std::string* whyNot = nullptr);

    // Where the module is looked for, in this order: $QMERE_PICTURES_MODULE; beside the
    // program; in the folder above it (the tests and benchmarks of a build); in lib/qmere
    // beside the program's bin folder (installed).
    static std::vector<std::string> candidates();

    void make(const QmPictureRequest& request, QmPictureReply& reply) const {
        m_make(&request, &reply);
    }

    PictureModule(const PictureModule&) = delete;
    PictureModule& operator=(const PictureModule&) = delete;

  private:
    PictureModule() = default;
    // Loads and starts the module; empty on success, else why not.
    std::string load();

    QmPicturesMakeFn m_make = nullptr;
};

}  // namespace qm
