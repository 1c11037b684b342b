// SPDX-License-Identifier: GPL-3.0-or-later
#include "newsserver/spoolmaker.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "newsserver/descriptor.h"
#include "newsserver/spool.h"

namespace qm::newsd {
namespace fs = std::filesystem;

namespace {

// An 8 x 8 grey baseline JPEG; pictures are this with a comment segment of random bytes
// after its start marker, so that each one is a distinct, valid picture of the size asked.
constexpr unsigned char TinyJpeg[] = {
    0xff, 0xd8, 0xff, 0xe0, 0x00, 0x10, 0x4a, 0x46, 0x49, 0x46, 0x00, 0x01, 0x01, 0x00, 0x00, 0x01,
    0x00, 0x01, 0x00, 0x00, 0xff, 0xdb, 0x00, 0x43, 0x00, 0x10, 0x0b, 0x0c, 0x0e, 0x0c, 0x0a, 0x10,
    0x0e, 0x0d, 0x0e, 0x12, 0x11, 0x10, 0x13, 0x18, 0x28, 0x1a, 0x18, 0x16, 0x16, 0x18, 0x31, 0x23,
    0x25, 0x1d, 0x28, 0x3a, 0x33, 0x3d, 0x3c, 0x39, 0x33, 0x38, 0x37, 0x40, 0x48, 0x5c, 0x4e, 0x40,
    0x44, 0x57, 0x45, 0x37, 0x38, 0x50, 0x6d, 0x51, 0x57, 0x5f, 0x62, 0x67, 0x68, 0x67, 0x3e, 0x4d,
    0x71, 0x79, 0x70, 0x64, 0x78, 0x5c, 0x65, 0x67, 0x63, 0xff, 0xc0, 0x00, 0x0b, 0x08, 0x00, 0x08,
    0x00, 0x08, 0x01, 0x01, 0x11, 0x00, 0xff, 0xc4, 0x00, 0x14, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xff, 0xc4, 0x00, 0x14,
    0x10, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0xff, 0xda, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3f, 0x00, 0x3f, 0xff, 0xd9};
constexpr std::size_t MaxSegment = 65533;  // payload of one JPEG marker segment

// splitmix64: fast, and the same sequence for the same seed everywhere.
class Random {
  public:
    explicit Random(std::uint64_t seed) : m_state(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (m_state += 0x9e3779b97f4a7c15u);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        return z ^ (z >> 31);
    }

  private:
    std::uint64_t m_state;
};

std::uint64_t number(const SpoolPlan& plan, std::uint64_t index) {
    return plan.firstNumber + index;
}

std::string messageId(const SpoolPlan& plan, std::uint64_t index) {
    return "<" + std::to_string(number(plan, index)) + "." + std::to_string(plan.seed) + "." +
           plan.group + "@qmere-mkspool.invalid>";
}

void uuencode(std::string_view data, std::string_view name, std::string& out) {
    auto put = [](unsigned v) { return static_cast<char>(v ? v + 32 : '`'); };
    out.append("begin 644 ").append(name).push_back('\n');
    for (std::size_t at = 0; at < data.size(); at += 45) {
        const std::string_view chunk = data.substr(at, 45);
        out.push_back(put(static_cast<unsigned>(chunk.size())));
        for (std::size_t i = 0; i < chunk.size(); i += 3) {
            unsigned b[3] = {0, 0, 0};
            for (std::size_t k = 0; k < 3 && i + k < chunk.size(); ++k)
                b[k] = static_cast<unsigned char>(chunk[i + k]);
            out.push_back(put(b[0] >> 2));
            out.push_back(put(((b[0] << 4) | (b[1] >> 4)) & 63));
            out.push_back(put(((b[1] << 2) | (b[2] >> 6)) & 63));
            out.push_back(put(b[2] & 63));
        }
        out.push_back('\n');
    }
    out.append("`\nend\n");
}

void yencode(std::string_view data, std::string_view name, std::string& out) {
    out.append("=ybegin line=128 size=").append(std::to_string(data.size()));
    out.append(" name=").append(name).push_back('\n');
    std::size_t column = 0;
    for (char byte : data) {
        auto c = static_cast<unsigned char>(static_cast<unsigned char>(byte) + 42);
        // The critical bytes, and a dot or blank where a line starts (news servers and their
        // clients treat those specially).
        if (c == 0 || c == '\n' || c == '\r' || c == '=' ||
            (column == 0 && (c == '.' || c == ' ' || c == '\t'))) {
            out.push_back('=');
            c = static_cast<unsigned char>(c + 64);
            ++column;
        }
        out.push_back(static_cast<char>(c));
        if (++column >= 128) {
            out.push_back('\n');
            column = 0;
        }
    }
    if (column > 0) out.push_back('\n');
    const auto crc =
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
    char tail[64];
    std::snprintf(tail, sizeof tail, "=yend size=%zu crc32=%08lx\n", data.size(),
                  static_cast<unsigned long>(crc));
    out.append(tail);
}

std::string textBody(const SpoolPlan& plan, std::uint64_t index) {
    Random random(plan.seed * 1000003u + index);
    static const char* const Words[] = {"news",  "picture", "server",  "thread",  "reply",
                                        "group", "article", "posting", "weekend", "camera"};
    std::string body;
    const unsigned lines = 2 + static_cast<unsigned>(random.next() % 5);
    for (unsigned l = 0; l < lines; ++l) {
        for (unsigned w = 0, count = 4 + random.next() % 8; w < count; ++w) {
            if (w > 0) body.push_back(' ');
            body.append(Words[random.next() % std::size(Words)]);
        }
        body.push_back('\n');
    }
    return body;
}

std::size_t countLines(std::string_view text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Writes DIR/number through a temporary name, so that a running server never serves half.
void writeArticleFile(const std::string& folder, std::uint64_t number, std::string_view text) {
    const std::string final = folder + "/" + std::to_string(number);
    const std::string temp = folder + "/." + std::to_string(number) + ".tmp";
    Descriptor fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    bool ok = static_cast<bool>(fd);
    for (std::size_t done = 0; ok && done < text.size();) {
        const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        done += ok ? static_cast<std::size_t>(n) : 0;
    }
    fd.reset();
    if (!ok || ::rename(temp.c_str(), final.c_str()) != 0)
        throw std::runtime_error("cannot write " + final + ": " +
                                 std::generic_category().message(errno));
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

bool isPicture(const SpoolPlan& plan, std::uint64_t index) {
    return plan.pictureEvery > 0 && (index + 1) % plan.pictureEvery == 0;
}

std::string pictureName(const SpoolPlan& plan, std::uint64_t index) {
    char name[64];
    std::snprintf(name, sizeof name, "pic%llu-%08llu.jpg",
                  static_cast<unsigned long long>(plan.seed),
                  static_cast<unsigned long long>(number(plan, index)));
    return name;
}

std::string makePicture(const SpoolPlan& plan, std::uint64_t index) {
    const std::size_t size = std::max(plan.pictureBytes, sizeof TinyJpeg + 4);
    std::string data;
    data.reserve(size + 8);
    data.append(reinterpret_cast<const char*>(TinyJpeg), 2);  // the start marker
    Random random(plan.seed * 0x100000001b3u ^ (number(plan, index) << 1));
    std::size_t padding = size - sizeof TinyJpeg;
    while (padding >= 4) {
        // A comment segment: marker, big-endian length (its own two bytes included), data.
        const std::size_t payload = std::min(padding - 4, MaxSegment);
        data.append({'\xff', '\xfe', static_cast<char>((payload + 2) >> 8),
                     static_cast<char>((payload + 2) & 0xff)});
        for (std::size_t i = 0; i < payload; i += 8) {
            const std::uint64_t word = random.next();
            data.append(reinterpret_cast<const char*>(&word),
                        std::min<std::size_t>(8, payload - i));
        }
        padding -= payload + 4;
    }
    data.append(reinterpret_cast<const char*>(TinyJpeg) + 2, sizeof TinyJpeg - 2);
    return data;
}

std::string articleDate(std::int64_t time) {
    static const char* const Days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t t = static_cast<std::time_t>(time);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d +0000", Days[utc.tm_wday],
                  utc.tm_mday, Months[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
                  utc.tm_sec);
    return text;
}

std::size_t pictureBytesFor(std::size_t articleBytes, PictureEncoding encoding) {
    // uuencode writes 62 bytes of text for 45 of data; yEnc about 130 for 128 (line ends and
    // escapes).
    return encoding == PictureEncoding::Uuencode ? articleBytes * 45 / 62
                                                 : articleBytes * 128 / 131;
}

std::string makeArticle(const SpoolPlan& plan, std::uint64_t index) {
    std::string body;
    std::string subject;
    if (isPicture(plan, index)) {
        const std::string name = pictureName(plan, index);
        const std::string data = makePicture(plan, index);
        body.reserve(data.size() * 140 / 100 + 256);
        if (plan.encoding == PictureEncoding::Yenc) {
            yencode(data, name, body);
            subject = "\"" + name + "\" yEnc (1/1)";
        } else {
            uuencode(data, name, body);
            subject = name + " (1/1)";
        }
    } else {
        body = textBody(plan, index);
        subject = "Talk about the pictures, part " + std::to_string(number(plan, index));
    }
    std::string text;
    text.reserve(body.size() + 400);
    text.append("Path: qmere-mkspool!not-for-mail\n");
    text.append("From: Poster <poster@example.invalid>\n");
    text.append("Newsgroups: ").append(plan.group).push_back('\n');
    text.append("Subject: ").append(subject).push_back('\n');
    text.append("Date: ")
        .append(articleDate(plan.startTime + static_cast<std::int64_t>(index) * plan.stepSeconds))
        .push_back('\n');
    text.append("Message-ID: ").append(messageId(plan, index)).push_back('\n');
    text.append("Lines: ").append(std::to_string(countLines(body))).append("\n\n");
    text.append(body);
    return text;
}

SpoolSummary makeSpool(const SpoolPlan& plan) {
    if (!Spool::isValidGroupName(plan.group))
        throw std::runtime_error("invalid group name: " + plan.group);
    std::string folder;
    if (!plan.spoolDir.empty()) {
        folder = plan.spoolDir + "/" + plan.group;
        fs::create_directories(folder);
    }
    std::unique_ptr<std::FILE, FileCloser> batch;
    if (!plan.rnewsFile.empty()) {
        batch.reset(std::fopen(plan.rnewsFile.c_str(), "wbe"));
        if (!batch) throw std::runtime_error("cannot write " + plan.rnewsFile);
    }
    SpoolSummary summary;
    for (std::uint64_t i = 0; i < plan.articles; ++i) {
        const std::string text = makeArticle(plan, i);
        if (!folder.empty()) writeArticleFile(folder, number(plan, i), text);
        if (batch && (std::fprintf(batch.get(), "#! rnews %zu\n", text.size()) < 0 ||
                      std::fwrite(text.data(), 1, text.size(), batch.get()) != text.size()))
            throw std::runtime_error("cannot write " + plan.rnewsFile);
        ++summary.articles;
        summary.pictures += isPicture(plan, i) ? 1 : 0;
        summary.bytes += text.size();
    }
    if (batch && std::fclose(batch.release()) != 0)
        throw std::runtime_error("cannot write " + plan.rnewsFile);
    return summary;
}

}  // namespace qm::newsd
