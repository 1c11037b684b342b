// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalog/gallerypage.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <iterator>

#include "catalog/indexpages.h"
#include "catalog/thumbnailer.h"
#include "platform/file.h"
#include "platform/paths.h"

namespace qm {
namespace {

// Colours are variables, so the dark scheme changes them in one place. The columns are as
// many as fit at 216 pixels (a 200-pixel thumbnail and its padding), two on a phone.
constexpr std::string_view Style =
    "<style>\n"
    ":root{color-scheme:light dark;--bg:#f2f2f2;--card:#fff;--text:#1b1b1b;--muted:#5a5a5a;"
    "--line:#ccc;--near:#d08000;--nearmark:#a04000;--empty:#e4e4e4}\n"
    "@media (prefers-color-scheme:dark){:root{--bg:#151515;--card:#242424;--text:#e6e6e6;"
    "--muted:#a4a4a4;--line:#3c3c3c;--near:#e09a2a;--nearmark:#f0b050;--empty:#303030}}\n"
    "*{box-sizing:border-box}\n"
    "body{font-family:system-ui,sans-serif;margin:0;padding:8px;background:var(--bg);"
    "color:var(--text)}\n"
    "a{color:inherit}\n"
    "h1{font-size:1.3em;margin:0 0 4px;overflow-wrap:anywhere}\n"
    "p.about{margin:0 0 8px;color:var(--muted)}\n"
    ".grid{display:grid;grid-template-columns:repeat(auto-fill,minmax(min(216px,100%),1fr));"
    "gap:8px}\n"
    "@media (max-width:480px){.grid{grid-template-columns:repeat(2,minmax(0,1fr));gap:6px}}\n"
    // Off-screen cards are neither laid out nor painted until scrolled near.
    "figure{margin:0;min-width:0;padding:4px;background:var(--card);border:1px solid var(--line);"
    "border-radius:4px;content-visibility:auto;contain-intrinsic-size:auto 290px}\n"
    "figure>a{display:flex;height:200px;align-items:center;justify-content:center;"
    "text-decoration:none}\n"
    "figure img{max-width:100%;height:auto}\n"
    ".noimg{display:flex;width:100%;height:100%;align-items:center;justify-content:center;"
    "background:var(--empty);color:var(--muted);border-radius:2px}\n"
    "figcaption{font-size:12px;overflow-wrap:anywhere;margin-top:4px}\n"
    ".meta{display:block;color:var(--muted);margin-top:2px}\n"
    "figure.near{border:3px solid var(--near)}\n"
    ".nearmark{color:var(--nearmark);font-weight:bold}\n"
    "body.viewing{overflow:hidden}\n"
    "#viewer{position:fixed;inset:0;display:flex;flex-direction:column;background:#000;"
    "color:#eee}\n"
    "#viewer[hidden]{display:none}\n"
    "#viewer .bar{display:flex;flex-wrap:wrap;gap:4px 10px;align-items:center;padding:6px 8px;"
    "background:#1c1c1c;font-size:14px}\n"
    "#full{margin-left:auto}\n"
    "#viewer .bar a{text-decoration:none;padding:2px 4px}\n"
    "#viewer .bar a.off{visibility:hidden}\n"
    "#stage{flex:1;min-height:0;display:flex;align-items:center;justify-content:center}\n"
    "#stage img{max-width:100%;max-height:100%;object-fit:contain;cursor:zoom-in}\n"
    "#stage.actual{display:block;overflow:auto}\n"
    "#stage.actual img{max-width:none;max-height:none;cursor:zoom-out}\n"
    "#caption{margin:0;padding:4px 8px 8px;font-size:13px;overflow-wrap:anywhere}\n"
    "</style>\n";

// Hidden until a card is opened with script; without script the cards lead to _view.html.
constexpr std::string_view Viewer =
    "<div id=\"viewer\" hidden><div class=\"bar\">"
    "<a id=\"back\" href=\"#\" title=\"Back to the gallery (Escape)\">&larr; Gallery</a>"
    "<a id=\"prev\" href=\"#\" title=\"Previous picture (Left arrow)\">&lsaquo; Previous</a>"
    "<span id=\"pos\"></span>"
    "<a id=\"next\" href=\"#\" title=\"Next picture (Right arrow)\">Next &rsaquo;</a>"
    "<a id=\"full\" href=\"#\">Picture alone</a></div>"
    "<div id=\"stage\"><img id=\"picture\" alt=\"\"></div><p id=\"caption\"></p></div>\n";

// The viewer reads everything from the page's own cards (a picture is shown only when a card
// names it, so no address can be smuggled in through the fragment) and writes only text.
// Moving between pictures replaces the history entry, so one Back leaves the viewer.
constexpr std::string_view GalleryScript = R"(<script>
(function () {
  var links = document.querySelectorAll('.grid figure > a');
  var viewer = document.getElementById('viewer'), stage = document.getElementById('stage');
  var picture = document.getElementById('picture'), caption = document.getElementById('caption');
  var pos = document.getElementById('pos'), full = document.getElementById('full');
  var prev = document.getElementById('prev'), next = document.getElementById('next');
  var title = document.title, at = -1, entered = false;
  function nameOf(a) {
    try { return decodeURIComponent(a.hash.substring(1)).substring('news.dat/'.length); }
    catch (e) { return ''; }
  }
  function find(name) {
    for (var i = 0; i < links.length; i++) if (nameOf(links[i]) === name) return i;
    return -1;
  }
  function show(i) {
    at = i;
    var a = links[i], name = nameOf(a), text = a.parentNode.querySelector('figcaption');
    var src = 'news.dat/' + encodeURIComponent(name);
    stage.className = '';
    picture.src = src;
    picture.alt = name;
    full.href = src;
    var parts = [];
    if (text) for (var n = text.firstChild; n; n = n.nextSibling) {
      var t = n.textContent.trim();
      if (t) parts.push(t);
    }
    caption.textContent = parts.length ? parts.join(' \u00b7 ') : name;
    pos.textContent = (i + 1) + ' of ' + links.length;
    prev.className = i > 0 ? '' : 'off';
    next.className = i + 1 < links.length ? '' : 'off';
    viewer.hidden = false;
    document.body.className = 'viewing';
    document.title = name + ' - ' + title;
  }
  function hide() {
    var wasOpen = !viewer.hidden;
    viewer.hidden = true;
    document.body.className = '';
    picture.removeAttribute('src');
    document.title = title;
    if (wasOpen && at >= 0) {
      links[at].scrollIntoView({block: 'center'});
      links[at].focus({preventScroll: true});
    }
  }
  function route() {
    var h = location.hash, i = -1;
    if (h.indexOf('#view=') === 0) {
      try { i = find(decodeURIComponent(h.substring(6))); } catch (e) { i = -1; }
    }
    if (i >= 0) show(i); else hide();
  }
  function go(i) {
    if (i >= 0 && i < links.length && i !== at)
      location.replace('#view=' + encodeURIComponent(nameOf(links[i])));
  }
  function back() {
    if (entered) { entered = false; history.back(); } else location.replace('#');
  }
  document.addEventListener('click', function (e) {
    if (e.button !== 0 || e.ctrlKey || e.metaKey || e.shiftKey || e.altKey) return;
    var a = e.target.closest ? e.target.closest('.grid figure > a') : null;
    if (a) {
      e.preventDefault();
      entered = true;
      location.hash = 'view=' + encodeURIComponent(nameOf(a));
      return;
    }
    var t = e.target.id;
    if (t === 'back' || t === 'prev' || t === 'next') e.preventDefault();
    if (t === 'back') back();
    else if (t === 'prev') go(at - 1);
    else if (t === 'next') go(at + 1);
    else if (t === 'picture') stage.classList.toggle('actual');
  });
  document.addEventListener('keydown', function (e) {
    if (viewer.hidden || e.ctrlKey || e.metaKey || e.altKey) return;
    var moves = {ArrowRight: at + 1, ArrowDown: at + 1, PageDown: at + 1, ' ': at + 1,
                 ArrowLeft: at - 1, ArrowUp: at - 1, PageUp: at - 1,
                 Home: 0, End: links.length - 1};
    if (e.key === 'Escape' || e.key === 'Backspace') back();
    else if (e.key in moves) go(moves[e.key]);
    else return;
    e.preventDefault();
  });
  window.addEventListener('hashchange', route);
  route();
})();
</script>
)";

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

// "2026-12-09 14:05" in the local time of the machine that writes the page; the element's
// datetime keeps the instant in UTC.
std::string dateElement(std::int64_t date) {
    if (date <= 0) return {};
    const std::time_t t = static_cast<std::time_t>(date);
    std::tm utc{}, local{};
    if (!gmtime_r(&t, &utc) || !localtime_r(&t, &local)) return {};
    char iso[32], shown[32];
    std::strftime(iso, sizeof iso, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::strftime(shown, sizeof shown, "%Y-%m-%d %H:%M", &local);
    return std::string("<time datetime=\"") + iso + "\">" + shown + "</time>";
}

void appendCell(std::string& html, const StoredPicture& p) {
    const std::string name(baseName(p.path));
    const bool preview = p.state == PictureState::Shown;
    html += "<figure";
    if (p.near || !preview) {
        html += " class=\"";
        html += p.near ? (preview ? "near" : "near nopreview") : "nopreview";
        html += '"';
    }
    html += "><a href=\"";
    html += ViewerPageName;
    html += "#" + encodeComponent("news.dat/" + name) + "\">";
    if (preview) {
        html += "<img src=\"thumbs/" + encodeComponent(name + ".jpg") + "\" width=\"" +
                std::to_string(p.thumbWidth) + "\" height=\"" + std::to_string(p.thumbHeight) +
                "\" loading=\"lazy\" decoding=\"async\" alt=\"" + escapeHtml(name) + "\">";
    } else {
        html += "<span class=\"noimg\">no preview</span>";
    }
    html += "</a><figcaption>" + escapeHtml(p.subject.empty() ? name : p.subject);
    if (p.near) html += "<br><span class=\"nearmark\">Looks like another picture</span>";
    const std::string date = dateElement(p.date);
    html += "<span class=\"meta\">" + date + (date.empty() ? "" : " &middot; ") +
            readableSize(p.size) + "</span>";
    html += "</figcaption></figure>\n";
}

}  // namespace

std::string readableSize(std::int64_t bytes) {
    if (bytes < 1024) return std::to_string(std::max<std::int64_t>(bytes, 0)) + " bytes";
    static constexpr const char* Units[] = {"KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    for (; value >= 1024 && unit + 1 < std::size(Units); ++unit) value /= 1024;
    char text[32];
    std::snprintf(text, sizeof text, value < 10 ? "%.1f %s" : "%.0f %s", value, Units[unit]);
    return text;
}

std::string galleryHtml(std::string_view group, std::span<const StoredPicture> newestFirst) {
    const std::string title = escapeHtml(group);
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<meta name=\"color-scheme\" content=\"light dark\">\n<title>" +
        title + ": gallery</title>\n";
    html += Style;
    const auto withoutPreview = std::count_if(newestFirst.begin(), newestFirst.end(), [](auto& p) {
        return p.state != PictureState::Shown;
    });
    html += "</head><body>\n<h1>" + title + "</h1>\n<p class=\"about\">" +
            std::to_string(newestFirst.size()) + " pictures, newest first";
    if (withoutPreview > 0) html += "; " + std::to_string(withoutPreview) + " without a preview";
    html += ".</p>\n<main class=\"grid\">\n";
    html.reserve(html.size() + newestFirst.size() * 480 + Viewer.size() + GalleryScript.size());
    for (const StoredPicture& p : newestFirst) appendCell(html, p);
    html += "</main>\n";
    html += Viewer;
    html += GalleryScript;
    html += "</body></html>\n";
    return html;
}

bool writeGalleryPage(const std::string& groupFolder, std::string_view group,
                      std::span<const StoredPicture> newestFirst) {
    if (makeDirectories(groupFolder) != 0) return false;
    ensureViewerPage(groupFolder);
    return writeFileAtomic(joinPath(groupFolder, GalleryPageName), galleryHtml(group, newestFirst));
}

bool ensureGalleryPage(const std::string& groupFolder, std::string_view group) {
    const std::string page = joinPath(groupFolder, GalleryPageName);
    if (fileExists(page)) return true;
    // Written whole under a name of this process, then linked: link() never replaces a page
    // the worker renamed into place meanwhile.
    const std::string draft = joinPath(groupFolder, ".gallery-" + std::to_string(::getpid()));
    if (!writeFileAtomic(draft, galleryHtml(group, {}))) return false;
    const bool linked = ::link(draft.c_str(), page.c_str()) == 0 || errno == EEXIST;
    ::unlink(draft.c_str());
    return linked;
}

}  // namespace qm
