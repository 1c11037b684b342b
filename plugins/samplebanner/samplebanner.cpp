// SPDX-License-Identifier: GPL-3.0-or-later
// The sample banner plug-in "libqmere-banner.so": draws one static banner for the program's
// own name, with no network and no adverts. It shows the plug-in interface of
// src/advert/bannerabi.h at work; the program runs the same without it.
//
// Built with QM_BANNER_INCOMPLETE it leaves out "_debugTriggerEvent", which the host must
// refuse (a test fixture). When QMERE_BANNER_TRACE names a file, each entry point appends
// its name to it, so that a test can see what the host called.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "advert/bannerabi.h"

namespace {

struct State {
    bool started = false;
    void (*callback)(void*) = nullptr;
    void* callbackData = nullptr;
};
State state;

void trace(const char* what) {
    const char* path = std::getenv("QMERE_BANNER_TRACE");
    if (!path || !*path) return;
    if (std::FILE* f = std::fopen(path, "a")) {
        std::fprintf(f, "%s\n", what);
        std::fclose(f);
    }
}

// A 5 x 7 capital font, enough for the banner's words; each row is five bits, left bit first.
struct Glyph {
    char c;
    unsigned char rows[7];
};
constexpr Glyph Font[] = {
    {'A', {14, 17, 17, 31, 17, 17, 17}}, {'C', {14, 17, 16, 16, 16, 17, 14}},
    {'D', {30, 17, 17, 17, 17, 17, 30}}, {'E', {31, 16, 16, 30, 16, 16, 31}},
    {'F', {31, 16, 16, 30, 16, 16, 16}}, {'G', {14, 17, 16, 23, 17, 17, 15}},
    {'H', {17, 17, 17, 31, 17, 17, 17}}, {'I', {14, 4, 4, 4, 4, 4, 14}},
    {'L', {16, 16, 16, 16, 16, 16, 31}}, {'M', {17, 27, 21, 21, 17, 17, 17}},
    {'N', {17, 25, 21, 19, 17, 17, 17}}, {'O', {14, 17, 17, 17, 17, 17, 14}},
    {'P', {30, 17, 17, 30, 16, 16, 16}}, {'Q', {14, 17, 17, 17, 21, 18, 13}},
    {'R', {30, 17, 17, 30, 20, 18, 17}}, {'S', {15, 16, 16, 14, 1, 1, 30}},
    {'T', {31, 4, 4, 4, 4, 4, 4}},       {'U', {17, 17, 17, 17, 17, 17, 14}},
    {'W', {17, 17, 17, 21, 21, 21, 10}}, {'Y', {17, 17, 10, 4, 4, 4, 4}},
    {',', {0, 0, 0, 0, 12, 4, 8}},       {'.', {0, 0, 0, 0, 0, 12, 12}},
};

const Glyph* glyphOf(char c) {
    for (const Glyph& g : Font)
        if (g.c == c) return &g;
    return nullptr;
}

void put(QmBannerCanvas& canvas, int x, int y, std::uint32_t colour) {
    if (x >= 0 && y >= 0 && x < canvas.width && y < canvas.height)
        canvas.pixels[std::size_t(y) * std::size_t(canvas.stride) + std::size_t(x)] = colour;
}

int textWidth(const char* text, int scale) {
    return int(std::strlen(text)) * 6 * scale - scale;
}

void drawText(QmBannerCanvas& canvas, const char* text, int x, int y, int scale,
              std::uint32_t colour) {
    for (; *text; ++text, x += 6 * scale) {
        const Glyph* g = glyphOf(*text);
        if (!g) continue;  // a blank
        for (int row = 0; row < 7; ++row)
            for (int col = 0; col < 5; ++col)
                if (g->rows[row] & (16 >> col))
                    for (int dy = 0; dy < scale; ++dy)
                        for (int dx = 0; dx < scale; ++dx)
                            put(canvas, x + col * scale + dx, y + row * scale + dy, colour);
    }
}

std::uint32_t mix(std::uint32_t a, std::uint32_t b, int t, int range) {
    auto channel = [&](int shift) {
        const int ca = int(a >> shift & 0xff), cb = int(b >> shift & 0xff);
        return std::uint32_t(ca + (cb - ca) * t / range) << shift;
    };
    return 0xff000000u | channel(16) | channel(8) | channel(0);
}

void drawBanner(QmBannerCanvas& canvas) {
    const int w = canvas.width, h = canvas.height;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) put(canvas, x, y, mix(0xff1d3557, 0xff2a9d8f, x, w));
    for (int x = 0; x < w; ++x) {
        put(canvas, x, 0, 0xfff1c40f);
        put(canvas, x, h - 1, 0xfff1c40f);
    }
    for (int y = 0; y < h; ++y) {
        put(canvas, 0, y, 0xfff1c40f);
        put(canvas, w - 1, y, 0xfff1c40f);
    }
    const char* title = "QUILLMERE";
    const char* line = "PICTURES FROM THE NEWS, DECODED.";
    drawText(canvas, title, (w - textWidth(title, 3)) / 2 + 1, 8 + 1, 3, 0xff0b1320);
    drawText(canvas, title, (w - textWidth(title, 3)) / 2, 8, 3, 0xfffdf6e3);
    drawText(canvas, line, (w - textWidth(line, 1)) / 2, 40, 1, 0xfff1c40f);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int _Startup(void* handle, void*, void*, int32_t, int16_t,
                                                    uint32_t) {
    trace("_Startup");
    state = State{};
    state.started = handle != nullptr;
    return state.started;
}

__attribute__((visibility("default"))) int _Paint(void*, QmBannerCanvas* canvas, int, int) {
    trace("_Paint");
    if (!state.started || !canvas || !canvas->pixels || canvas->width <= 0 || canvas->height <= 0 ||
        canvas->stride < canvas->width)
        return 0;
    drawBanner(*canvas);
    return 1;
}

__attribute__((visibility("default"))) int _OnClick(void*) {
    trace("_OnClick");
    if (!state.started) return 0;
    if (state.callback) state.callback(state.callbackData);
    return 1;
}

__attribute__((visibility("default"))) int _SetCallback(void*, void (*callback)(void*),
                                                        void* data) {
    trace("_SetCallback");
    state.callback = callback;
    state.callbackData = data;
    return 1;
}

__attribute__((visibility("default"))) void _Shutdown(void*) {
    trace("_Shutdown");
    state = State{};
}

#ifndef QM_BANNER_INCOMPLETE
__attribute__((visibility("default"))) int _debugTriggerEvent(void*, int32_t) {
    trace("_debugTriggerEvent");
    return state.started;
}
#endif
}
