// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Thumbnails: a small JPEG of a picture (longest side 200 pixels unless told otherwise) in the
// "thumbs" folder of its group folder, with the picture's size and the perceptual hash of what
// the thumbnail shows, all from one decode of the picture by the picture module.
//
// A picture that cannot be read gets no thumbnail and one log line; so does one whose header
// declares more pixels than accepted (it is not decoded at all). A decode that runs too long,
// or while the owner's stop flag is set, is abandoned without a line.
//
// Owned by whoever makes thumbnails (the thumbnail worker, a rebuild); const operations, so
// any thread may use one object, several at once. Never called with DecodeLock held.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace qm {

struct ThumbnailOptions {
    int maxSide = 200;  // pixels, the thumbnail's longest side
    int quality = 80;   // JPEG quality
    // Larger pictures are refused from their header: 64 million pixels holds the pictures of
    // today's cameras and keeps a bomb's decode to well under a second and 200 MB.
    std::uint64_t maxPixels = 64'000'000;
    std::chrono::milliseconds timeout{10'000};  // per picture
    bool failOnTruncated = false;  // false: a cut-off picture shows what arrived, rest grey
    // false: a file that is no picture the module reads gets no line of its own (the caller
    // counts them, Thumbnail::unreadable, and says so once).
    bool logUnreadable = true;
};

// The one line said for count files no thumbnail could be made of, first ("<file>: <why>")
// the first of them; empty for none.
std::string unreadableSummary(int count, std::string_view first);

struct Thumbnail {
    bool made = false;
    int width = 0;  // the picture, as shown (also when it was too large)
    int height = 0;
    int thumbWidth = 0;
    int thumbHeight = 0;
    std::uint64_t hash = 0;   // perceptualhash.h, of the thumbnail before JPEG encoding
    bool unreadable = false;  // not a picture the module reads, or damaged beyond use
    std::string error;        // why no thumbnail was made
};

class Thumbnailer {
  public:
    using Log = std::function<void(std::string_view)>;

    // stop, when given, abandons a decode in progress once it is set.
    explicit Thumbnailer(Log log, ThumbnailOptions options = {},
                         const std::atomic<bool>* stop = nullptr);

    // Writes the thumbnail of picture to thumbPath (to a temporary file renamed over it; the
    // folder is made when missing).
    Thumbnail make(const std::string& picture, const std::string& thumbPath) const;

    const ThumbnailOptions& options() const { return m_options; }

  private:
    Log m_log;
    ThumbnailOptions m_options;
    const std::atomic<bool>* m_stop;
    mutable std::atomic<bool> m_moduleMissingLogged{false};
};

// The thumbnail of a file of a group: <group folder>/thumbs/<file name>.jpg.
std::string thumbnailPath(std::string_view groupFolder, std::string_view fileName);

// True for the names of files that may get a thumbnail: .jpg, .jpeg, .png, .gif, .bmp and
// .webp, any case. The file's first bytes decide in the end.
bool canThumbnail(std::string_view fileName);

// A picture by its name (canThumbnail) and, when they are known, by its first bytes (JPEG,
// PNG, GIF, BMP or WebP): what the run's totals count as pictures.
bool isPictureFile(std::string_view fileName, std::string_view head);

}  // namespace qm
