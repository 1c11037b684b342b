// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalog/picturemodule.h"

#include <dlfcn.h>

#include <cstdlib>

#include "platform/paths.h"

namespace qm {
namespace {

// How many threads libvips computes a picture with. One: thumbnails are made beside the
// readers, which keep the other core busy; VIPS_CONCURRENCY in the environment overrides.
constexpr int VipsThreads = 1;

}  // namespace

const PictureModule* PictureModule::instance(std::string* whyNot) {
    // Made once, thread-safely, and kept: libvips must outlive every thread that might still
    // use it at exit, and the module holds nothing that needs closing.
    static PictureModule module;
    static const std::string error = module.load();
    if (!error.empty()) {
        if (whyNot) *whyNot = error;
        return nullptr;
    }
    return &module;
}

std::vector<std::string> PictureModule::candidates() {
    std::vector<std::string> paths;
    if (const char* env = std::getenv("QMERE_PICTURES_MODULE"); env && *env) paths.push_back(env);
    const std::string exe = executableDirectory();
    if (!exe.empty()) {
        for (const char* dir : {"", "..", "../lib/qmere"}) {
            paths.push_back(joinPath(joinPath(exe, dir), QM_PICTURES_LIBRARY));
        }
    }
    return paths;
}

std::string PictureModule::load() {
    void* handle = nullptr;
    std::string tried;
    for (const std::string& path : candidates()) {
        if (!fileExists(path)) continue;
        // Never unloaded (RTLD_NODELETE): libvips and GLib cannot be.
        handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        if (handle) break;
        tried += std::string(tried.empty() ? "" : "; ") + ::dlerror();
    }
    if (!handle) {
        return tried.empty() ? std::string("no " QM_PICTURES_LIBRARY " beside the program") : tried;
    }
    auto abi = reinterpret_cast<QmPicturesAbiFn>(::dlsym(handle, "qm_pictures_abi"));
    auto init = reinterpret_cast<QmPicturesInitFn>(::dlsym(handle, "qm_pictures_init"));
    m_make = reinterpret_cast<QmPicturesMakeFn>(::dlsym(handle, "qm_pictures_make"));
    if (!abi || !init || !m_make || abi() != QM_PICTURES_ABI) {
        m_make = nullptr;
        return QM_PICTURES_LIBRARY " is of another version";
    }
    char error[256] = {};
    const char* threads = std::getenv("VIPS_CONCURRENCY");
    if (init(threads && *threads ? 0 : VipsThreads, error, sizeof error) != 0) {
        m_make = nullptr;
        return error;
    }
    return {};
}

}  // namespace qm
