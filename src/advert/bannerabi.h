// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The interface between the program and a banner plug-in, shared by both sides.
//
// The plug-in is a shared library named "libqmere-banner.so". The program loads it with
// dlopen() by that bare name, so the dynamic loader's usual search order applies:
// LD_LIBRARY_PATH, then the program's RUNPATH (which is "$ORIGIN", the folder of the
// executable, where the build and "make install" put the sample), then the loader cache
// and the system library folders. No plug-in found means no banner and no message.
//
// It exports six C functions under exactly these names (C calling convention):
//   int  _Startup(void* handle, void* module, void* window, int32_t value, int16_t flag,
//                 uint32_t extra);          non-zero: started
//   int  _Paint(void* handle, QmBannerCanvas* canvas, int x, int y);
//   int  _OnClick(void* handle);
//   int  _SetCallback(void* handle, void (*callback)(void*), void* data);
//   void _Shutdown(void* handle);
//   int  _debugTriggerEvent(void* handle, int32_t event);
// "handle" is a block of two 32-bit words owned by the host; the plug-in may keep its
// pointer until _Shutdown. "module" is the dlopen() handle of the plug-in itself; "window"
// is an opaque token of the host window, good only for comparison.
//
// Painting: there is no device context to hand over on Linux. _Paint receives a canvas of
// 32-bit pixels (0xAARRGGBB, premultiplied alpha, rows of `stride` pixels) the size of the
// banner (468 x 60), cleared to transparent; x and y say where the host will show it in its
// window. Whatever the plug-in draws into the canvas before returning non-zero is shown;
// after a zero result the host shows nothing. The canvas is valid during the call only.
//
// Every call comes from the host's window thread.
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QmBannerCanvas {
    uint32_t* pixels;
    int32_t width;
    int32_t height;
    int32_t stride;  // pixels from one row to the next
} QmBannerCanvas;

#ifdef __cplusplus
}
#endif

#define QM_BANNER_LIBRARY "libqmere-banner.so"
#define QM_BANNER_WIDTH 468
#define QM_BANNER_HEIGHT 60
