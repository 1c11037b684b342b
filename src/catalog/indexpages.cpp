// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalog/indexpages.h"

#include <cerrno>
#include <clocale>
#include <ctime>

#include "catalog/gallerypage.h"
#include "catalog/picturelist.h"
#include "config/appsettings.h"
#include "model/locks.h"
#include "platform/file.h"
#include "platform/paths.h"

namespace qm {

// Pages opened from disk may not write into the document of another frame, so showImg does
// not build the picture page itself: it sends "my_win" to our viewer page, which shows the
// picture with its address in bold below it.
const std::string_view ViewerScript =
    "<SCRIPT LANGUAGE=JavaScript> \n\tfunction showImg(file) { \n"
    "\t top.frames['my_win'].location='_view.html#'+encodeURIComponent(file);\t }"
    "\t function showFile(file) {\t top.frames['my_win'].location=file;\t }\t </SCRIPT>";

namespace {

// The viewer page reads the picture's address from its fragment and builds the page with DOM
// calls, so no address can inject markup; only addresses inside news.dat are shown.
constexpr std::string_view ViewerPage =
    "<html><head><title>View</title></head><body><div id=\"v\"></div>\n"
    "<script>\n"
    "function show() {\n"
    "  var v = document.getElementById('v');\n"
    "  while (v.firstChild) v.removeChild(v.firstChild);\n"
    "  var f = decodeURIComponent(location.hash.substring(1));\n"
    "  if (f.indexOf('news.dat/') != 0 || f.indexOf('..') >= 0) return;\n"
    "  var i = document.createElement('img'); i.src = f; v.appendChild(i);\n"
    "  v.appendChild(document.createElement('br'));\n"
    "  var b = document.createElement('b'); b.textContent = f; v.appendChild(b);\n"
    "}\n"
    "// Another picture changes only the fragment, which does not reload the page.\n"
    "window.addEventListener('hashchange', show);\n"
    "show();\n"
    "</script></body></html>\n";

}  // namespace

// Subjects and group names come from the network: they are text, never markup.
std::string escapeHtml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

namespace {

// A file name inside a relative address: "%" would start an escape.
std::string escapeUrlName(std::string_view name) {
    std::string out;
    for (char c : name) {
        if (c == '%')
            out += "%25";
        else
            out += c;
    }
    return out;
}

bool appendToFile(const std::string& path, std::string_view text) {
    FilePtr f = openFile(path, "a");
    if (!f) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f.get()) == text.size();
    return std::fflush(f.get()) == 0 && ok;
}

std::string frameset(std::string_view group, std::string_view listPage) {
    std::string html = "<html>\n<title> " + escapeHtml(group) + " \n</title>\n";
    html += "<frameset cols=\"70%,30%\">\n";
    html += "<frame name=\"my_win\" src=\"index.html\">\n";
    html += "<frame src=\"" + std::string(listPage) + "\" target=\"my_win\">\n";
    html += "</frameset>\n</html>\n";
    return html;
}

std::string dayLinkDate() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    // English names whatever the user's locale: the C locale's.
    static const char* const Days[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                       "Thursday", "Friday", "Saturday"};
    static const char* const Months[] = {"January",   "February", "March",    "April",
                                         "May",       "June",     "July",     "August",
                                         "September", "October",  "November", "December"};
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s, %s %02d, %d", Days[local.tm_wday],
                  Months[local.tm_mon], local.tm_mday, local.tm_year + 1900);
    return buffer;
}

}  // namespace

bool ensureViewerPage(const std::string& groupDir) {
    std::string path = joinPath(groupDir, ViewerPageName);
    if (fileExists(path)) return true;
    return writeFileAtomic(path, ViewerPage);
}

namespace {

// The fragment of a file known to be there.
std::string fragmentOf(std::string_view path, std::string_view description) {
    std::string_view name = baseName(path);
    std::string urlName = escapeUrlName(name);
    std::string htmlName = escapeHtml(name);
    std::string action = isPictureName(name) ? "showImg('news.dat/" : "showFile('news.dat/";
    std::string f = "<FORM> <table><tr><td><INPUT TYPE=\"button\" value =\"View\" ";
    f += " onClick=\"" + action + htmlName + "')";
    f += "\"> </td><td><a href=\"news.dat/" + urlName + "\"><B><i>";
    f += escapeHtml(description);
    f += "</i></B></a><br>\n <small> " + htmlName + "</small>\n</td></tr>\n</table></FORM>";
    return f;
}

}  // namespace

std::string pageFragment(std::string_view path, std::string_view description) {
    if (path.empty()) return {};
    if (!openFile(std::string(path), "r")) return {};
    return fragmentOf(path, description);
}

int prepareDayPages(const AppSettings& settings, GroupEntry& g) {
    GroupStats& stats = g.ensureStats();
    if (!stats.idxPage().empty()) return 0;
    std::string dir = groupDirectory(settings, g);
    std::string day = timeStamp(false);
    std::string contents = joinPath(dir, "cont" + day + ".html");

    if (!openFile(contents, "r")) {
        std::string header = "<html>\n<base target=\"my_win\">\n<head> ";
        header += ViewerScript;
        header += "\n<title> " + escapeHtml(g.name()) + " " + escapeHtml(contents) +
                  " </title>\n</head>\n<body>\n";
        header += "<a href=\"index.html\" target= _top>All Index</a>\n<hr size=1 noshade><br>\n";
        header += "<a href=\"gallery.html\" target=_top>Gallery</a><br>\n";
        FilePtr f = openFile(contents, "w");
        if (!f || std::fwrite(header.data(), 1, header.size(), f.get()) != header.size() ||
            std::fflush(f.get()) != 0) {
            settings.frontend().appendLog("Fail open file " + contents);
            return -1;
        }
    }
    stats.setContPage(contents);
    ensureViewerPage(dir);
    ensureGalleryPage(dir, g.name());  // the contents page links to it

    // The group index gets one link per preparation; a failure to write it is not fatal.
    std::string index = joinPath(dir, "index.html");
    std::string link =
        "<a href=\"idx" + day + ".html\" target=_top> " + dayLinkDate() + "</a><br>\n";
    if (!fileExists(index)) {
        link = "<html>\n<title> " + escapeHtml(g.name()) + "</title>\n<body>\n<h1> " +
               escapeHtml(g.name()) + "</h1> <hr><br>\n" + link;
    }
    appendToFile(index, link);

    std::string idx = joinPath(dir, "idx" + day + ".html");
    if (!writeFileAtomic(idx, frameset(g.name(), "cont" + day + ".html"))) return -1;
    stats.setIdxPage(idx);
    return 0;
}

std::string writeFullIndex(const AppSettings& settings, GroupEntry& g) {
    std::string dir = groupDirectory(settings, g);
    std::string framePath = joinPath(dir, "_imgidx.html");
    if (!writeFileAtomic(framePath, frameset(g.name(), "_cnt.html"))) return {};
    ensureViewerPage(dir);

    // The list's buttons call the viewer script, so the page carries it like the day pages do.
    std::string list = "<html><base target=\"my_win\"><head> ";
    list += ViewerScript;
    list += "</head><body>\n";
    std::string files = filesDirectory(settings, g);
    {
        std::lock_guard lock(PictureListLock);
        for (const auto& [name, record] : pictures(settings, g)) {
            if (!record) continue;
            list += pageFragment(joinPath(files, name), record->description);
            list += "\n";
        }
    }
    list += "</body></html>\n";
    if (!writeFileAtomic(joinPath(dir, "_cnt.html"), list)) return {};
    return framePath;
}

int onFileDecoded(const AppSettings& settings, const DecodeInputs& inputs,
                  const std::string& path) {
    settings.frontend().appendLog("Decoded file " + path);
    if (!inputs.group) return 0;
    // The decoder has just put the file in place: it is not opened again to see that it is.
    std::string fragment = path.empty() ? std::string() : fragmentOf(path, inputs.subject);
    if (!fragment.empty())
        recordDecodedFile(settings, *inputs.group, fragment, path, inputs.subject);
    return 0;
}

}  // namespace qm
