// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// AimDll: the host of the optional banner plug-in (see bannerabi.h for the plug-in's side).
// It loads the library by name, binds its six entry points and starts it for a window;
// Paint, OnClick, SetCallback and debugTriggerEvent are forwarded only while the plug-in
// is started. A missing library or entry point leaves the host inert and silent: every
// operation returns false.
//
// Owned by the window that shows the banner; its destructor shuts the plug-in down. The
// library handle lives in a LibraryHandle, which closes it. Window thread only.
#include <cstdint>
#include <memory>
#include <string>

#include "advert/bannerabi.h"

namespace qm {

// An open dlopen() handle; dlclose() when destroyed.
class LibraryHandle {
  public:
    explicit LibraryHandle(const std::string& name);
    ~LibraryHandle();
    LibraryHandle(const LibraryHandle&) = delete;
    LibraryHandle& operator=(const LibraryHandle&) = delete;

    void* get() const { return m_handle; }
    void* symbol(const char* name) const;

  private:
    void* m_handle = nullptr;
};

class AimDll {
  public:
    using Callback = void (*)(void*);

    static constexpr std::uint32_t StatusMissing = 0x80000000u;

    // Loads the library QM_BANNER_LIBRARY, or the one named (a path is loaded as is).
    AimDll(std::int32_t value, void* window, std::int16_t flag, std::uint32_t extra,
           const std::string& library = QM_BANNER_LIBRARY);
    ~AimDll();
    // One host per plug-in: two would shut it down twice.
    AimDll(const AimDll&) = delete;
    AimDll& operator=(const AimDll&) = delete;

    bool Paint(QmBannerCanvas* canvas, int x, int y);
    bool OnClick();
    bool SetCallback(Callback callback, void* data);
    bool debugTriggerEvent(std::int32_t event);
    bool isOkay() const { return m_okay; }
    std::uint32_t status() const { return m_status; }

    // The banner's rectangle in the window: left 15, top 10, 468 x 60; the right and bottom
    // edges (x = 483, y = 70) are outside it.
    static constexpr int Left = 15, Top = 10, Right = 483, Bottom = 70;
    static bool inBanner(int x, int y) { return x >= Left && x < Right && y >= Top && y < Bottom; }

  private:
    using StartupFn = int (*)(void*, void*, void*, std::int32_t, std::int16_t, std::uint32_t);
    using PaintFn = int (*)(void*, QmBannerCanvas*, int, int);
    using OnClickFn = int (*)(void*);
    using SetCallbackFn = int (*)(void*, Callback, void*);
    using ShutdownFn = void (*)(void*);
    using TriggerFn = int (*)(void*, std::int32_t);

    std::uint32_t m_status = 0;
    StartupFn m_startup = nullptr;
    PaintFn m_paint = nullptr;
    OnClickFn m_onClick = nullptr;
    SetCallbackFn m_setCallback = nullptr;
    ShutdownFn m_shutdown = nullptr;
    TriggerFn m_debugTriggerEvent = nullptr;
    // Two 32-bit words handed to the plug-in; the first identifies this host (the
    // plug-in must not treat it as a pointer: on 64-bit it cannot hold one).
    std::unique_ptr<std::uint32_t[]> m_handle;
    std::unique_ptr<LibraryHandle> m_module;
    bool m_okay = false;
};

}  // namespace qm
