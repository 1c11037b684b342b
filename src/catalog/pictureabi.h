// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The interface between the core and the picture module, the one part of the program that
// decodes pictures (with libvips). Shared by both sides.
//
// The module is a shared library of ours, "libqmere-pictures.so", loaded with dlopen() on
// the first thumbnail: libvips pulls in about a hundred shared libraries, which would cost
// every start of the programs (qmere-cli config included) some 30 ms if the core linked it.
// See PictureModule for where it is looked for.
//
// It exports three C functions under exactly these names:
//   int32_t qm_pictures_abi(void);     QM_PICTURES_ABI: the version of this interface
//   int32_t qm_pictures_init(int32_t threads, char* error, size_t size);
//                                      starts libvips once, with that many threads of its
//                                      own (0: as many as cores); 0, or non-zero and why
//   void    qm_pictures_make(const QmPictureRequest* request, QmPictureReply* reply);
//                                      reads one picture, makes its thumbnail
// qm_pictures_make may be called from any thread, several at once, after qm_pictures_init
// returned 0. Everything the module hands back is copied into the caller's buffers or passed
// to the caller's callback during the call: no memory changes hands.
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QM_PICTURES_ABI 1
#define QM_PICTURES_LIBRARY "libqmere-pictures.so"

// Outcomes of qm_pictures_make.
enum {
    QM_PICTURE_OK = 0,
    QM_PICTURE_UNREADABLE = 1,  // not a picture the module reads, or damaged beyond use
    QM_PICTURE_TOO_LARGE = 2,   // its header declares more than maxPixels pixels
    QM_PICTURE_STOPPED = 3,     // cancelled() said so, or timeoutMs passed
};

// What makes a damaged picture unreadable (libvips's levels, in this order): nothing (the
// readable part is shown, the rest grey), a truncation, any decoding error.
enum { QM_FAIL_ON_NONE = 0, QM_FAIL_ON_TRUNCATED = 1, QM_FAIL_ON_ERROR = 2 };

typedef struct QmPictureRequest {
    const char* path;    // the picture file
    int32_t maxSide;     // the thumbnail's longest side; smaller pictures keep their size
    int32_t quality;     // JPEG quality of the thumbnail, 1 to 100
    uint64_t maxPixels;  // a larger width x height in the header is refused before decoding
    uint32_t timeoutMs;  // work on one picture is abandoned after this long (0: no limit)
    int32_t failOn;      // QM_FAIL_ON_*: how damaged a picture may be and still be shown
    // Polled while decoding; non-zero abandons the work. May be null. May be called from
    // libvips's worker threads.
    int (*cancelled)(void* context);
    // Receives the thumbnail, a JPEG file's bytes, once, before qm_pictures_make returns OK.
    void (*thumbnail)(void* context, const void* jpeg, size_t size);
    void* context;
    // The thumbnail in grey, one byte a pixel, rows of thumbWidth bytes; at most
    // greyCapacity bytes are written (maxSide * maxSide always suffices).
    uint8_t* grey;
    size_t greyCapacity;
} QmPictureRequest;

typedef struct QmPictureReply {
    int32_t status;       // QM_PICTURE_*
    int32_t width;        // the picture as shown (after its orientation tag is applied)
    int32_t height;       //   known also when it was too large
    int32_t thumbWidth;   // the thumbnail (and grey) when OK
    int32_t thumbHeight;  //
    char error[256];      // why not OK, one line
} QmPictureReply;

typedef int32_t (*QmPicturesAbiFn)(void);
typedef int32_t (*QmPicturesInitFn)(int32_t threads, char* error, size_t size);
typedef void (*QmPicturesMakeFn)(const QmPictureRequest* request, QmPictureReply* reply);

#ifdef __cplusplus
}
#endif
