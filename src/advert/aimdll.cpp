// SPDX-License-Identifier: GPL-3.0-or-later
#include "advert/aimdll.h"

#include <dlfcn.h>

namespace qm {

LibraryHandle::LibraryHandle(const std::string& name)
    : m_handle(::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL)) {}

LibraryHandle::~LibraryHandle() {
    if (m_handle) ::dlclose(m_handle);
}

void* LibraryHandle::symbol(const char* name) const {
    return m_handle ? ::dlsym(m_handle, name) : nullptr;
}

namespace {

template <typename Fn>
Fn bind(const LibraryHandle& library, const char* name) {
    return reinterpret_cast<Fn>(library.symbol(name));
}

}  // namespace

AimDll::AimDll(std::int32_t value, void* window, std::int16_t flag, std::uint32_t extra,
               const std::string& library)
    : m_module(std::make_unique<LibraryHandle>(library)) {
    m_startup = bind<StartupFn>(*m_module, "_Startup");
    m_paint = bind<PaintFn>(*m_module, "_Paint");
    m_onClick = bind<OnClickFn>(*m_module, "_OnClick");
    m_setCallback = bind<SetCallbackFn>(*m_module, "_SetCallback");
    m_shutdown = bind<ShutdownFn>(*m_module, "_Shutdown");
    m_debugTriggerEvent = bind<TriggerFn>(*m_module, "_debugTriggerEvent");
    if (!m_startup || !m_paint || !m_onClick || !m_setCallback || !m_shutdown ||
        !m_debugTriggerEvent) {
        m_module.reset();  // unloaded at once; nothing of it is ever called
        m_startup = nullptr;
        m_paint = nullptr;
        m_onClick = nullptr;
        m_setCallback = nullptr;
        m_shutdown = nullptr;
        m_debugTriggerEvent = nullptr;
        m_status = StatusMissing;
        return;
    }
    m_handle = std::make_unique<std::uint32_t[]>(2);
    m_handle[0] = std::uint32_t(reinterpret_cast<std::uintptr_t>(this));
    m_handle[1] = 0;
    m_okay = m_startup(m_handle.get(), m_module->get(), window, value, flag, extra) != 0;
}

AimDll::~AimDll() {
    // A plug-in that did not start is never called again, not even to shut down.
    if (m_okay) m_shutdown(m_handle.get());
}

bool AimDll::Paint(QmBannerCanvas* canvas, int x, int y) {
    return m_okay && m_paint(m_handle.get(), canvas, x, y) != 0;
}

bool AimDll::OnClick() {
    return m_okay && m_onClick(m_handle.get()) != 0;
}

bool AimDll::SetCallback(Callback callback, void* data) {
    return m_okay && m_setCallback(m_handle.get(), callback, data) != 0;
}

bool AimDll::debugTriggerEvent(std::int32_t event) {
    return m_okay && m_debugTriggerEvent(m_handle.get(), event) != 0;
}

}  // namespace qm
