// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalog/pictureview.h"

#include <unistd.h>

#include "catalog/picturelist.h"
#include "platform/file.h"
#include "platform/paths.h"

namespace qm {
namespace {

bool keptInUrl(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '/' ||
           c == '-' || c == '.' || c == '_' || c == '~';
}

std::string absolute(std::string_view path) {
    if (!path.empty() && path.front() == '/') return std::string(path);
    char buffer[4096];
    if (!getcwd(buffer, sizeof buffer)) return std::string(path);
    return joinPath(buffer, path);
}

}  // namespace

std::string fileUrl(std::string_view path) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string url = "file://";
    for (unsigned char c : absolute(path)) {
        if (keptInUrl(c)) {
            url += static_cast<char>(c);
        } else {
            url += '%';
            url += Hex[c >> 4];
            url += Hex[c & 15];
        }
    }
    return url;
}

std::string pictureViewPage(std::string_view dir, std::string_view name, int width) {
    std::string full = joinPath(dir, name);
    if (!isPictureName(name)) return fileUrl(full);
    std::string page = joinPath(dir, "__img.html");
    std::string url = fileUrl(full);
    std::string html = "<html><body><a href=\"" + url +
                       "\">Original size image</a><br><img src=\"" + url +
                       "\" width=" + std::to_string(width) + "></body></html>\n";
    // A page, not state: a plain rewrite is enough, but through a temporary file all the same
    // so a viewer never reads half a page.
    if (!writeFileAtomic(page, html)) return {};
    return fileUrl(page);
}

}  // namespace qm
