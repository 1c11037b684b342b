#include "newsserver/spool.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace qm::newsd {
namespace fs = std::filesystem;

namespace {

constexpr std::size_t MaxArticleBytes = 256u << 20;

std::optional<std::uint64_t> articleNumber(std::string_view name) {
    std::uint64_t n = 0;
    if (name.empty() || name.size() > 20 || name[0] == '+') return std::nullopt;
    auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), n);
    if (ec != std::errc() || end != name.data() + name.size()) return std::nullopt;
    return n;
}

std::optional<std::string> readFile(const fs::path& path) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec) || fs::file_size(path, ec) > MaxArticleBytes)
        return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    return std::move(content).str();
}

bool startsWithNoCase(std::string_view line, std::string_view prefix) {
    if (line.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(line[i])) != prefix[i]) return false;
    return true;
}

std::string trim(std::string_view s) {
    auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return std::string(s);
}

std::string fallbackMessageId(std::string_view group, std::uint64_t number) {
    return "<" + std::to_string(number) + "." + std::string(group) + "@qmere-newsd>";
}

}  // namespace

bool Spool::isValidGroupName(std::string_view name) {
    if (name.empty() || name.size() > 255 || name[0] == '.') return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '+' || c == '-' ||
               c == '_';
    });
}

std::optional<std::vector<std::uint64_t>> Spool::scanGroup(std::string_view group) const {
    if (!isValidGroupName(group)) return std::nullopt;
    std::error_code ec;
    fs::directory_iterator it(fs::path(m_root) / group, ec);
    if (ec) return std::nullopt;
    std::vector<std::uint64_t> numbers;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) break;
        auto n = articleNumber(it->path().filename().native());
        if (n && it->is_regular_file(ec)) numbers.push_back(*n);
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

std::vector<std::string> Spool::groupNames() const {
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(m_root, ec);
    if (ec) return names;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) break;
        std::string name = it->path().filename().native();
        if (isValidGroupName(name) && it->is_directory(ec)) names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<SpoolArticle> Spool::readArticle(std::string_view group, std::uint64_t number) const {
    if (!isValidGroupName(group)) return std::nullopt;
    auto text = readFile(fs::path(m_root) / group / std::to_string(number));
    if (!text) return std::nullopt;
    return parseArticle(*text, fallbackMessageId(group, number));
}

std::optional<Spool::Location> Spool::findMessageId(std::string_view messageId,
                                                    std::string_view preferredGroup) const {
    if (auto found = findInGroup(messageId, preferredGroup)) return found;
    for (const std::string& group : groupNames()) {
        if (group == preferredGroup) continue;
        if (auto found = findInGroup(messageId, group)) return found;
    }
    return std::nullopt;
}

std::optional<Spool::Location> Spool::findInGroup(std::string_view messageId,
                                                  std::string_view group) const {
    auto numbers = scanGroup(group);
    if (!numbers) return std::nullopt;
    for (std::uint64_t n : *numbers) {
        auto article = readArticle(group, n);
        if (article && article->messageId == messageId) return Location{std::string(group), n};
    }
    return std::nullopt;
}

SpoolArticle parseArticle(std::string_view text, std::string_view fallbackId) {
    SpoolArticle article;
    bool inBody = false;
    while (!text.empty()) {
        auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (inBody) {
            article.body.emplace_back(line);
        } else if (line.empty()) {
            inBody = true;
        } else {
            if (article.messageId.empty() && startsWithNoCase(line, "message-id:"))
                article.messageId = trim(line.substr(11));
            article.header.emplace_back(line);
        }
    }
    if (article.messageId.empty()) article.messageId = fallbackId;
    return article;
}

void writeSpoolArticle(const std::string& spoolDir, std::string_view group, std::uint64_t number,
                       std::string_view headers, std::string_view body) {
    if (!Spool::isValidGroupName(group))
        throw std::runtime_error("invalid group name: " + std::string(group));
    fs::path dir = fs::path(spoolDir) / group;
    fs::create_directories(dir);
    fs::path final = dir / std::to_string(number);
    fs::path temp = dir / ("." + std::to_string(number) + ".tmp");
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << headers;
        if (!headers.empty() && headers.back() != '\n') out << '\n';
        out << '\n' << body;
        out.close();
        if (!out) throw std::runtime_error("cannot write " + temp.native());
    }
    // Renamed into place so that a running server never serves half an article.
    fs::rename(temp, final);
}

}  // namespace qm::newsd
