// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalog/thumbnailer.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "catalog/perceptualhash.h"
#include "catalog/picturemodule.h"
#include "platform/file.h"
#include "platform/paths.h"

namespace qm {
namespace {

struct Outputs {
    const std::atomic<bool>* stop;
    std::string jpeg;
};

int cancelled(void* context) {
    const auto* out = static_cast<Outputs*>(context);
    return out->stop && out->stop->load(std::memory_order_relaxed) ? 1 : 0;
}

void takeJpeg(void* context, const void* data, size_t size) {
    static_cast<Outputs*>(context)->jpeg.assign(static_cast<const char*>(data), size);
}

std::string parentOf(std::string_view path) {
    auto slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string(".") : std::string(path.substr(0, slash));
}

}  // namespace

Thumbnailer::Thumbnailer(Log log, ThumbnailOptions options, const std::atomic<bool>* stop)
    : m_log(std::move(log)), m_options(options), m_stop(stop) {
    m_options.maxSide = std::clamp(m_options.maxSide, 8, 2000);
    m_options.quality = std::clamp(m_options.quality, 1, 100);
}

Thumbnail Thumbnailer::make(const std::string& picture, const std::string& thumbPath) const {
    Thumbnail result;
    std::string whyNot;
    const PictureModule* module = PictureModule::instance(&whyNot);
    if (!module) {
        if (!m_moduleMissingLogged.exchange(true)) m_log("No thumbnails: " + whyNot);
        return result;
    }
    const auto side = static_cast<std::size_t>(m_options.maxSide);
    std::vector<std::uint8_t> grey(side * side);
    Outputs out{m_stop, {}};
    QmPictureRequest request{};
    request.path = picture.c_str();
    request.maxSide = m_options.maxSide;
    request.quality = m_options.quality;
    request.maxPixels = m_options.maxPixels;
    request.timeoutMs = static_cast<std::uint32_t>(m_options.timeout.count());
    request.failOn = m_options.failOnTruncated ? QM_FAIL_ON_TRUNCATED : QM_FAIL_ON_NONE;
    request.cancelled = cancelled;
    request.thumbnail = takeJpeg;
    request.context = &out;
    request.grey = grey.data();
    request.greyCapacity = grey.size();
    QmPictureReply reply{};
    module->make(request, reply);

    result.width = reply.width;
    result.height = reply.height;
    if (reply.status == QM_PICTURE_STOPPED && cancelled(&out)) return result;
    if (reply.status != QM_PICTURE_OK) {
        result.error = reply.error;
        result.unreadable = reply.status == QM_PICTURE_UNREADABLE;
        if (!result.unreadable || m_options.logUnreadable)
            m_log("No thumbnail for " + picture + ": " + reply.error);
        return result;
    }
    if (makeDirectories(parentOf(thumbPath)) != 0 || !writeFileAtomic(thumbPath, out.jpeg)) {
        m_log("No thumbnail for " + picture + ": cannot write " + thumbPath);
        return result;
    }
    result.made = true;
    result.thumbWidth = reply.thumbWidth;
    result.thumbHeight = reply.thumbHeight;
    result.hash = differenceHash(grey, reply.thumbWidth, reply.thumbHeight);
    return result;
}

std::string unreadableSummary(int count, std::string_view first) {
    if (count <= 0) return {};
    if (count == 1) return "No thumbnail for " + std::string(first);
    return "No thumbnail for " + std::to_string(count) +
           " files (not a picture, or damaged), such as " + std::string(first);
}

std::string thumbnailPath(std::string_view groupFolder, std::string_view fileName) {
    return joinPath(joinPath(groupFolder, "thumbs"), std::string(fileName) + ".jpg");
}

bool canThumbnail(std::string_view fileName) {
    auto dot = fileName.rfind('.');
    if (dot == std::string_view::npos) return false;
    std::string ext(fileName.substr(dot + 1));
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* known : {"jpg", "jpeg", "png", "gif", "bmp", "webp"}) {
        if (ext == known) return true;
    }
    return false;
}

bool isPictureFile(std::string_view fileName, std::string_view head) {
    if (!canThumbnail(fileName)) return false;
    if (head.empty()) return true;  // nothing read: the name is all there is to go by
    for (std::string_view magic : {std::string_view("\xFF\xD8\xFF"), std::string_view("\x89PNG"),
                                   std::string_view("GIF8"), std::string_view("BM")})
        if (head.starts_with(magic)) return true;
    return head.size() >= 12 && head.starts_with("RIFF") && head.substr(8, 4) == "WEBP";
}

}  // namespace qm
