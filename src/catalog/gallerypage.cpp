#include "catalog/gallerypage.h"

#include "catalog/indexpages.h"
#include "catalog/thumbnailer.h"
#include "platform/file.h"
#include "platform/paths.h"

namespace qm {
namespace {

constexpr std::string_view Style =
    "<style>\n"
    "body{font-family:sans-serif;margin:8px;background:#f2f2f2}\n"
    "h1{font-size:1.3em;margin:0 0 4px}\n"
    "p.about{margin:0 0 8px;color:#555}\n"
    ".grid{display:flex;flex-wrap:wrap;gap:8px}\n"
    // Off-screen cells are neither laid out nor painted until scrolled near.
    "figure{margin:0;width:210px;padding:4px;box-sizing:border-box;background:#fff;"
    "border:1px solid #ccc;content-visibility:auto;contain-intrinsic-size:210px 270px}\n"
    "figure a{display:flex;height:200px;align-items:center;justify-content:center}\n"
    "figcaption{font-size:12px;overflow-wrap:anywhere;margin-top:4px}\n"
    "figure.near{border:3px solid #d08000}\n"
    ".nearmark{color:#a04000;font-weight:bold}\n"
    "</style>\n";

// Like encodeURIComponent, and "'" too: the result is safe in any attribute and as the
// viewer page's fragment, which it decodes with decodeURIComponent.
std::string encodeComponent(std::string_view text) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' || c == '~';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += Hex[c >> 4];
            out += Hex[c & 15];
        }
    }
    return out;
}

void appendCell(std::string& html, const StoredPicture& p) {
    const std::string name(baseName(p.path));
    html += p.near ? "<figure class=\"near\">" : "<figure>";
    html += "<a href=\"";
    html += ViewerPageName;
    html += "#" + encodeComponent("news.dat/" + name) + "\">";
    html += "<img src=\"thumbs/" + encodeComponent(name + ".jpg") + "\" width=\"" +
            std::to_string(p.thumbWidth) + "\" height=\"" + std::to_string(p.thumbHeight) +
            "\" loading=\"lazy\" decoding=\"async\" alt=\"" + escapeHtml(name) + "\"></a>";
    html += "<figcaption>" + escapeHtml(p.subject.empty() ? name : p.subject);
    if (p.near) html += "<br><span class=\"nearmark\">Looks like another picture</span>";
    html += "</figcaption></figure>\n";
}

}  // namespace

std::string galleryHtml(std::string_view group, std::span<const StoredPicture> newestFirst) {
    const std::string title = escapeHtml(group);
    std::string html = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">\n<title>" + title +
                       ": gallery</title>\n";
    html += Style;
    html += "</head><body>\n<h1>" + title + "</h1>\n<p class=\"about\">" +
            std::to_string(newestFirst.size()) + " pictures, newest first.</p>\n";
    html += "<div class=\"grid\">\n";
    html.reserve(html.size() + newestFirst.size() * 400);
    for (const StoredPicture& p : newestFirst) appendCell(html, p);
    html += "</div>\n</body></html>\n";
    return html;
}

bool writeGalleryPage(const std::string& groupFolder, std::string_view group,
                      std::span<const StoredPicture> newestFirst) {
    if (makeDirectories(groupFolder) != 0) return false;
    ensureViewerPage(groupFolder);
    return writeFileAtomic(joinPath(groupFolder, GalleryPageName), galleryHtml(group, newestFirst));
}

}  // namespace qm
