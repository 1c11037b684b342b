// SPDX-License-Identifier: GPL-3.0-or-later
// The picture module: reads a picture with libvips and makes its thumbnail and the grey
// version the perceptual hash is taken from, in one decode (see catalog/pictureabi.h).
//
// Pictures come from the network. Only JPEG, PNG, GIF, BMP and WebP are read, each recognised
// by its first bytes before libvips sees it; every other loader of libvips (PDF, SVG, FITS,
// Matlab, ...) is blocked, so a file cannot reach one by its content. BMP has no loader of
// libvips's own in Debian's 8.14: it goes through the ImageMagick module under ImageMagick's
// own resource policy. The pixel count in the header is checked before any decoding.
#include <fcntl.h>
#include <unistd.h>
#include <vips/vips.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "catalog/pictureabi.h"

namespace {

// Owns one reference of a libvips object.
struct Unref {
    void operator()(void* object) const noexcept {
        if (object) g_object_unref(object);
    }
};
using ImagePtr = std::unique_ptr<VipsImage, Unref>;

// An open descriptor, closed when it goes.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

enum class Format { Unknown, Jpeg, Png, Gif, Bmp, Webp };

Format sniff(int fd) {
    unsigned char head[16] = {};
    const ssize_t got = ::pread(fd, head, sizeof head, 0);
    const size_t n = got > 0 ? static_cast<size_t>(got) : 0;
    auto starts = [&](std::string_view magic, size_t at = 0) {
        return n >= at + magic.size() && std::memcmp(head + at, magic.data(), magic.size()) == 0;
    };
    if (starts("\xff\xd8\xff")) return Format::Jpeg;
    if (starts("\x89PNG\r\n\x1a\n")) return Format::Png;
    if (starts("GIF87a") || starts("GIF89a")) return Format::Gif;
    if (starts("BM") && n >= 14) return Format::Bmp;
    if (starts("RIFF") && starts("WEBP", 8)) return Format::Webp;
    return Format::Unknown;
}

// The first line of libvips's error text, which is then cleared.
void takeError(QmPictureReply* reply, const char* fallback) {
    const char* text = vips_error_buffer();
    if (!text || !*text) text = fallback;
    std::snprintf(reply->error, sizeof reply->error, "%s", text);
    if (char* end = std::strchr(reply->error, '\n')) *end = '\0';
    vips_error_clear();
}

void fail(QmPictureReply* reply, int32_t status, const char* text) {
    reply->status = status;
    std::snprintf(reply->error, sizeof reply->error, "%s", text);
}

// Stops a running computation when the caller cancels or the time is up. libvips calls
// "eval" between tiles, from the thread that computes the image.
struct Watch {
    const QmPictureRequest* request;
    std::chrono::steady_clock::time_point deadline;
    std::atomic<bool> stopped{false};
};

void onEval(VipsImage* image, VipsProgress*, void* data) {
    auto* watch = static_cast<Watch*>(data);
    const QmPictureRequest* r = watch->request;
    const bool late = r->timeoutMs > 0 && std::chrono::steady_clock::now() > watch->deadline;
    if (late || (r->cancelled && r->cancelled(r->context))) {
        watch->stopped = true;
        vips_image_set_kill(image, TRUE);
    }
}

// The thumbnail as 8-bit sRGB without alpha, what a JPEG holds: transparency over white.
ImagePtr displayable(VipsImage* thumb) {
    VipsImage* srgb = nullptr;
    if (vips_colourspace(thumb, &srgb, VIPS_INTERPRETATION_sRGB, nullptr)) return nullptr;
    ImagePtr step(srgb);
    if (vips_image_hasalpha(step.get())) {
        VipsArrayDouble* white = vips_array_double_newv(1, 255.0);
        VipsImage* flat = nullptr;
        const int rc = vips_flatten(step.get(), &flat, "background", white, nullptr);
        vips_area_unref(VIPS_AREA(white));
        if (rc) return nullptr;
        step.reset(flat);
    }
    VipsImage* bytes = nullptr;
    if (vips_cast_uchar(step.get(), &bytes, nullptr)) return nullptr;
    return ImagePtr(bytes);
}

using SourcePtr = std::unique_ptr<VipsSource, Unref>;

// The picture's bytes for libvips, read through its own copy of fd. A file name would make
// libvips ask every loader it has whether the file is theirs (tens of opens and reads a
// picture, some loaders even open it as a database); a source is recognised from the bytes
// it has read once. Null for BMP: it has no loader that reads a source in Debian's libvips.
SourcePtr sourceOf(int fd, Format format) {
    if (format == Format::Bmp) return nullptr;
    return SourcePtr(vips_source_new_from_descriptor(fd));
}

// The header: size and orientation, without decoding pixels.
bool readHeader(const QmPictureRequest* r, VipsSource* source, QmPictureReply* reply) {
    VipsImage* header =
        source ? vips_image_new_from_source(source, "", "access", VIPS_ACCESS_SEQUENTIAL, nullptr)
               : vips_image_new_from_file(r->path, "access", VIPS_ACCESS_SEQUENTIAL, nullptr);
    if (!header) {
        reply->status = QM_PICTURE_UNREADABLE;
        takeError(reply, "unreadable header");
        return false;
    }
    ImagePtr owner(header);
    reply->width = vips_image_get_width(header);
    reply->height = vips_image_get_height(header);
    const auto pixels = static_cast<uint64_t>(reply->width) * static_cast<uint64_t>(reply->height);
    if (vips_image_get_orientation_swap(header)) std::swap(reply->width, reply->height);
    if (pixels > r->maxPixels) {
        reply->status = QM_PICTURE_TOO_LARGE;
        std::snprintf(reply->error, sizeof reply->error,
                      "%d x %d pixels, more than the %llu accepted", reply->width, reply->height,
                      static_cast<unsigned long long>(r->maxPixels));
        return false;
    }
    return true;
}

// Decodes once into memory; the JPEG and the grey version are both made from that copy.
ImagePtr decodeThumbnail(const QmPictureRequest* r, VipsSource* source, QmPictureReply* reply) {
    VipsImage* thumb = nullptr;
    const auto failOn = static_cast<VipsFailOn>(r->failOn);
    // This libvips hands fail_on to a source's loader only through the option string.
    const char* options = failOn == VIPS_FAIL_ON_NONE        ? ""
                          : failOn == VIPS_FAIL_ON_TRUNCATED ? "fail_on=truncated"
                                                             : "fail_on=error";
    const int rc = source ? vips_thumbnail_source(source, &thumb, r->maxSide, "height", r->maxSide,
                                                  "size", VIPS_SIZE_DOWN, "fail_on", failOn,
                                                  "option_string", options, nullptr)
                          : vips_thumbnail(r->path, &thumb, r->maxSide, "height", r->maxSide,
                                           "size", VIPS_SIZE_DOWN, "fail_on", failOn, nullptr);
    if (rc) {
        reply->status = QM_PICTURE_UNREADABLE;
        takeError(reply, "cannot be read");
        return nullptr;
    }
    ImagePtr lazy = displayable(thumb);
    g_object_unref(thumb);
    if (!lazy) {
        reply->status = QM_PICTURE_UNREADABLE;
        takeError(reply, "cannot be converted");
        return nullptr;
    }
    Watch watch{r, std::chrono::steady_clock::now() + std::chrono::milliseconds(r->timeoutMs)};
    vips_image_set_progress(lazy.get(), TRUE);
    g_signal_connect(lazy.get(), "eval", G_CALLBACK(onEval), &watch);
    ImagePtr memory(vips_image_copy_memory(lazy.get()));
    g_signal_handlers_disconnect_by_data(lazy.get(), &watch);
    if (!memory || watch.stopped) {
        if (watch.stopped) {
            vips_error_clear();
            fail(reply, QM_PICTURE_STOPPED, "stopped while decoding");
        } else {
            reply->status = QM_PICTURE_UNREADABLE;
            takeError(reply, "cannot be decoded");
        }
        return nullptr;
    }
    return memory;
}

bool deliverJpeg(const QmPictureRequest* r, VipsImage* thumb, QmPictureReply* reply) {
    void* jpeg = nullptr;
    size_t size = 0;
    if (vips_jpegsave_buffer(thumb, &jpeg, &size, "Q", r->quality, "strip", TRUE, nullptr)) {
        reply->status = QM_PICTURE_UNREADABLE;
        takeError(reply, "thumbnail cannot be encoded");
        return false;
    }
    r->thumbnail(r->context, jpeg, size);
    g_free(jpeg);
    return true;
}

bool deliverGrey(const QmPictureRequest* r, VipsImage* thumb, QmPictureReply* reply) {
    VipsImage* grey = nullptr;
    if (vips_colourspace(thumb, &grey, VIPS_INTERPRETATION_B_W, nullptr)) {
        reply->status = QM_PICTURE_UNREADABLE;
        takeError(reply, "no grey version");
        return false;
    }
    ImagePtr owner(grey);
    size_t size = 0;
    void* pixels = vips_image_write_to_memory(grey, &size);
    if (!pixels) {
        reply->status = QM_PICTURE_UNREADABLE;
        takeError(reply, "no grey version");
        return false;
    }
    const bool fits = size <= r->greyCapacity &&
                      size == static_cast<size_t>(reply->thumbWidth) * reply->thumbHeight;
    if (fits) std::memcpy(r->grey, pixels, size);
    g_free(pixels);
    if (!fits) fail(reply, QM_PICTURE_UNREADABLE, "grey version does not fit");
    return fits;
}

// Pictures being made now, so that the end of the process does not pull libvips away under
// one of them.
std::atomic<int> working{0};

// At exit: libvips's idle worker threads would outlive everything else, and a leak checker
// that stops the process to scan their thread-local storage cannot read it.
void shutdownAtExit() {
    if (working.load() == 0) vips_shutdown();
}

// libvips reports damaged input as warnings on standard error; the caller logs one line of
// its own instead.
void dropWarning(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int32_t qm_pictures_abi(void) {
    return QM_PICTURES_ABI;
}

__attribute__((visibility("default"))) int32_t qm_pictures_init(int32_t threads, char* error,
                                                                size_t size) {
    if (VIPS_INIT("qmere")) {
        std::snprintf(error, size, "libvips does not start: %s", vips_error_buffer());
        vips_error_clear();
        return 1;
    }
    g_log_set_handler("VIPS", G_LOG_LEVEL_WARNING, dropWarning, nullptr);
    // Every picture is read once: caching operations would only hold memory and could hand
    // back a file's old content under its name.
    vips_cache_set_max(0);
    std::atexit(shutdownAtExit);
    if (threads > 0) vips_concurrency_set(threads);
    vips_operation_block_set("VipsForeignLoad", TRUE);
    for (const char* loader : {"VipsForeignLoadJpeg", "VipsForeignLoadPng", "VipsForeignLoadNsgif",
                               "VipsForeignLoadWebp", "VipsForeignLoadMagick"}) {
        vips_operation_block_set(loader, FALSE);
    }
    return 0;
}

__attribute__((visibility("default"))) void qm_pictures_make(const QmPictureRequest* request,
                                                             QmPictureReply* reply) {
    *reply = QmPictureReply{};
    working.fetch_add(1);
    struct Done {
        ~Done() { working.fetch_sub(1); }
    } done;
    // libvips reads options from a file name that ends in "[...]", and the name might change
    // hands between two opens: it reads the file opened here, through a name of its own.
    const Descriptor file{::open(request->path, O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) {
        fail(reply, QM_PICTURE_UNREADABLE, std::strerror(errno));
        return;
    }
    const Format format = sniff(file.fd);
    if (format == Format::Unknown) {
        fail(reply, QM_PICTURE_UNREADABLE, "not a JPEG, PNG, GIF, BMP or WebP picture");
        return;
    }
    char name[32];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", file.fd);
    QmPictureRequest opened = *request;
    opened.path = name;
    // One source each: the thumbnail starts reading from the first byte again.
    if (!readHeader(&opened, sourceOf(file.fd, format).get(), reply)) return;
    ImagePtr thumb = decodeThumbnail(&opened, sourceOf(file.fd, format).get(), reply);
    if (!thumb) return;
    reply->thumbWidth = vips_image_get_width(thumb.get());
    reply->thumbHeight = vips_image_get_height(thumb.get());
    if (!deliverJpeg(request, thumb.get(), reply)) return;
    if (!deliverGrey(request, thumb.get(), reply)) return;
    reply->status = QM_PICTURE_OK;
}

}  // extern "C"
