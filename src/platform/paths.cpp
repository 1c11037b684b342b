// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/paths.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace qm {
namespace {

std::string xdgDirectory(const char* variable, const char* fallbackBelowHome) {
    const char* value = std::getenv(variable);
    if (value && *value == '/') return value;
    return joinPath(homeDirectory(), fallbackBelowHome);
}

std::string withSlash(std::string path) {
    if (path.empty() || path.back() != '/') path += '/';
    return path;
}

}  // namespace

std::string homeDirectory() {
    const char* home = std::getenv("HOME");
    return home && *home ? home : "/tmp";
}

std::string currentDirectory() {
    std::string path(PATH_MAX, '\0');
    if (!::getcwd(path.data(), path.size())) return {};
    path.resize(std::char_traits<char>::length(path.c_str()));
    return path;
}

std::string absolutePath(std::string_view path, std::string_view base) {
    const std::string joined =
        !path.empty() && path.front() == '/' ? std::string(path) : joinPath(base, path);
    std::string out;
    std::string_view rest = joined;
    while (!rest.empty()) {
        const auto slash = rest.find('/');
        const std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".") continue;
        out += '/';
        out += part;
    }
    return out.empty() ? "/" : out;
}

std::string executableDirectory() {
    char buffer[4096];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    std::string path(buffer, static_cast<size_t>(n));
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string programDirectory() {
    return withSlash(joinPath(xdgDirectory("XDG_DATA_HOME", ".local/share"), "qmere"));
}

std::string resourceDirectory() {
    if (const char* env = std::getenv("QMERE_RESOURCES"); env && *env) return withSlash(env);
    std::string exe = executableDirectory();
    if (!exe.empty()) {
        // Build tree: <build>/src/... binaries find <source>/resources through the build's
        // "resources" link; installed: <prefix>/bin -> <prefix>/share/qmere.
        for (const char* candidate : {"resources", "../resources", "../share/qmere"}) {
            std::string dir = joinPath(exe, candidate);
            if (isDirectory(dir)) return withSlash(dir);
        }
    }
    return "/usr/share/qmere/";
}

std::string profilePath() {
    return joinPath(joinPath(xdgDirectory("XDG_CONFIG_HOME", ".config"), "Corvane,LLC"),
                    "qmere.ini");
}

std::string joinPath(std::string_view a, std::string_view b) {
    std::string result;
    result.reserve(a.size() + b.size() + 1);
    result.append(a);
    if (result.empty() || result.back() != '/') result += '/';
    result.append(b);
    return result;
}

int makeDirectories(std::string_view path) {
    if (path.empty()) return 0;
    // Nearly always the folder is there already: one look instead of one per component.
    if (struct stat st{}; stat(std::string(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return 0;
    std::string prefix;
    prefix.reserve(path.size());
    for (size_t i = 0; i < path.size(); ++i) {
        bool last = i + 1 == path.size();
        if (path[i] == '/' || last) {
            std::string current(path.substr(0, path[i] == '/' ? i : i + 1));
            if (current.empty()) continue;  // the root of an absolute path
            struct stat st {};
            if (stat(current.c_str(), &st) == 0) {
                if (!S_ISDIR(st.st_mode)) {
                    errno = ENOTDIR;  // callers report why
                    return -1;
                }
            } else if (mkdir(current.c_str(), 0777) != 0 && errno != EEXIST) {
                return -1;
            }
        }
    }
    return 0;
}

std::int64_t volumeFreeKB(const std::string& path) {
    std::string probe = path.empty() ? std::string(".") : path;
    struct statvfs vfs {};
    while (statvfs(probe.c_str(), &vfs) != 0) {
        while (probe.size() > 1 && probe.back() == '/') probe.pop_back();
        auto slash = probe.rfind('/');
        if (slash == std::string::npos) {
            probe = ".";
        } else if (slash == 0) {
            probe = "/";
        } else {
            probe.resize(slash);
        }
        if (statvfs(probe.c_str(), &vfs) == 0) break;
        if (probe == "/" || probe == ".") return 0;
    }
    return static_cast<std::int64_t>(vfs.f_bavail) * static_cast<std::int64_t>(vfs.f_frsize) / 1024;
}

std::string helpFilePath() {
    return joinPath(resourceDirectory(), "tarnwell.htm");
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string_view baseName(std::string_view path) {
    auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace qm
