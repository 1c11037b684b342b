// SPDX-License-Identifier: GPL-3.0-or-later
// Whole-article decoding throughput against the peers of the field, measured in one run on
// the same input: sharutils uudecode, uudeview, coreutils base64 -d, mpack's munpack and the
// C extension of python3-yenc.
// Usage: bench_decoder [megabytes of decoded data per kind, default 100] [kind filter]
// Generates one large article of each kind deterministically in a temporary folder, times
// each decoder as the best of 3 runs (earlier output deleted before each), prints MB/s
// (10^6 bytes of decoded output per second) and our ratio to each peer.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "config/appsettings.h"
#include "config/frontend.h"
#include "config/threadcontext.h"
#include "decode/decoder.h"
#include "decode/md5.h"
#include "decode/yenc.h"
#include "platform/file.h"
#include "platform/profile.h"
#include "support/encoders.h"
#include "support/silentfrontend.h"

namespace fs = std::filesystem;

namespace {

using qm::test::SilentFrontend;

// ---- deterministic input

std::string randomBytes(size_t size, std::uint64_t seed) {
    std::string out(size, '\0');
    std::uint64_t x = seed | 1;
    for (size_t i = 0; i < size; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        for (size_t j = 0; j < 8 && i + j < size; ++j) out[i + j] = static_cast<char>(x >> (8 * j));
    }
    return out;
}

// Mostly text with some bytes above 127 and no CR (quoted-printable drops encoded CRs).
std::string binaryishBytes(size_t size) {
    std::string out = randomBytes(size, 99);
    for (char& c : out) {
        auto v = static_cast<unsigned char>(c);
        if (v < 160)
            c = static_cast<char>(32 + v % 95);
        else if (v < 168)
            c = '\n';
        else if (c == '\r')
            c = '\t';
    }
    return out;
}

std::string quotedPrintable(std::string_view data) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(data.size() * 13 / 10);
    size_t column = 0;
    for (size_t i = 0; i < data.size(); ++i) {
        auto c = static_cast<unsigned char>(data[i]);
        if (c == '\n') {
            out += '\n';
            column = 0;
            continue;
        }
        bool literal = c >= 33 && c <= 126 && c != '=';
        bool blankBeforeEnd = (c == ' ' || c == '\t') && i + 1 < data.size() && data[i + 1] != '\n';
        size_t width = literal || blankBeforeEnd ? 1 : 3;
        if (column + width > 75) {
            out += "=\n";
            column = 0;
        }
        if (width == 1) {
            out += static_cast<char>(c);
        } else {
            out += '=';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
        column += width;
    }
    return out;
}

std::string md5Base64(std::string_view data) {
    qm::Md5 md5;
    md5.update(data);
    return qm::Md5::toBase64(md5.finish());
}

void writeFile(const std::string& path, std::string_view content) {
    qm::FilePtr f = qm::openFile(path, "wb");
    if (!f || std::fwrite(content.data(), 1, content.size(), f.get()) != content.size()) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

// ---- timing

double seconds(const std::function<void()>& run, const std::function<void()>& clean) {
    double best = 1e30;
    for (int i = 0; i < 3; ++i) {
        clean();
        auto start = std::chrono::steady_clock::now();
        run();
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

void resetDirectory(const std::string& dir) {
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir);
}

bool programExists(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

struct Peer {
    std::string name, command;  // command runs in the output folder
};

struct Kind {
    std::string name;
    std::vector<std::string> articles;  // paths
    size_t decodedBytes = 0;
    std::vector<std::pair<std::string, const std::string*>> expected;  // output name, data
    std::vector<Peer> peers;
};

class Bench {
  public:
    explicit Bench(std::string work)
        : m_work(std::move(work)),
          m_profile(m_work + "/profile.ini"),
          m_settings(m_frontend, m_profile) {
        m_settings.dataDirectory = m_work + "/data";
        fs::create_directories(m_settings.dataDirectory);
        m_settings.logFile.open(m_settings.dataDirectory + "/Log");
    }

    void run(const Kind& kind) {
        const std::string out = m_work + "/out";
        const double mb = kind.decodedBytes / 1e6;
        double ours = seconds([&] { decodeAll(kind, out); },
                              [&] {
                                  resetDirectory(out);
                                  resetDirectory(m_settings.dataDirectory + "/tmp");
                              });
        bool same = true;
        for (const auto& [name, data] : kind.expected) {
            auto got = qm::readWholeFile(out + "/news.dat/" + name);
            same = same && got && *got == *data;
        }
        std::printf("%-22s %-10s %8.1f MB/s%s\n", kind.name.c_str(), "ours", mb / ours,
                    same ? "" : "  OUTPUT DIFFERS FROM THE INPUT");
        for (const Peer& peer : kind.peers) {
            std::string binary = peer.command.substr(0, peer.command.find(' '));
            if (!programExists(binary)) {
                std::printf("%-22s %-10s  (not installed)\n", "", peer.name.c_str());
                continue;
            }
            std::string command = "cd " + out + " && " + peer.command + " >/dev/null 2>&1";
            double theirs =
                seconds([&] { (void)std::system(command.c_str()); }, [&] { resetDirectory(out); });
            std::printf("%-22s %-10s %8.1f MB/s   ours/peer %.2f\n", "", peer.name.c_str(),
                        mb / theirs, theirs / ours);
        }
        std::fflush(stdout);
    }

  private:
    void decodeAll(const Kind& kind, const std::string& out) {
        const qm::DecodeInputs inputs{m_settings.dataDirectory, out, nullptr, "",
                                      &m_settings.logFile,      "",  -1};
        // The decoder names each file on standard output; keep the report readable.
        std::fflush(stdout);
        int saved = dup(1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        // Timing only: the outcome of each article is not looked at.
        for (const auto& path : kind.articles)
            (void)m_decoder.decodeArticle(qm::openFile(path, "rb"), inputs, false, true, false);
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
        close(null);
    }

    std::string m_work;
    SilentFrontend m_frontend;
    qm::Profile m_profile;
    qm::AppSettings m_settings;
    qm::Decoder m_decoder;
};

}  // namespace

int main(int argc, char** argv) {
    const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
    const size_t size = std::max<size_t>(megabytes, 1) * 1000 * 1000;
    std::string work = (fs::temp_directory_path() / "qmbench.XXXXXX").string();
    if (!mkdtemp(work.data())) return 1;
    const std::string in = work + "/in";
    fs::create_directories(in);
    std::printf("decoder benchmark: %zu MB of decoded data per kind, best of 3, in %s\n", megabytes,
                work.c_str());

    const std::string data = randomBytes(size, 1);
    const std::string text = binaryishBytes(size);
    std::vector<Kind> kinds;

    {  // uuencoded single post
        Kind k{"uuencode single", {in + "/uu.txt"}, size, {{"big.bin", &data}}, {}};
        writeFile(k.articles[0], "Subject: big.bin\n\n" + qm::test::uuencodeBody(data, "big.bin"));
        k.peers = {{"uudecode", "uudecode -o big.bin " + k.articles[0]},
                   {"uudeview", "uudeview -i -o -p ./ " + k.articles[0]}};
        kinds.push_back(k);
    }
    const std::string encoded = qm::test::base64Lines(data);
    {  // base64 MIME with Content-MD5
        Kind k{"base64 MIME + MD5", {in + "/b64.txt"}, size, {{"big64.bin", &data}}, {}};
        writeFile(k.articles[0],
                  "Subject: big64\nMIME-Version: 1.0\nContent-Type: application/octet-stream; "
                  "name=\"big64.bin\"\nContent-Transfer-Encoding: base64\nContent-MD5: " +
                      md5Base64(data) + "\n\n" + encoded);
        writeFile(in + "/bare.b64", encoded);
        k.peers = {{"base64 -d", "base64 -d " + in + "/bare.b64 > big64.bin"},
                   {"uudeview", "uudeview -i -o -p ./ " + k.articles[0]},
                   {"munpack", "munpack -q -f -C . " + k.articles[0]}};
        kinds.push_back(k);
    }
    {  // quoted-printable MIME over binary-ish data
        Kind k{"quoted-printable MIME", {in + "/qp.txt"}, size, {{"bigqp.bin", &text}}, {}};
        writeFile(k.articles[0],
                  "Subject: bigqp\nMIME-Version: 1.0\nContent-Type: application/octet-stream; "
                  "name=\"bigqp.bin\"\nContent-Transfer-Encoding: quoted-printable\n\n" +
                      quotedPrintable(text));
        k.peers = {{"munpack", "munpack -q -f -C . " + k.articles[0]},
                   {"uudeview", "uudeview -i -o -p ./ " + k.articles[0]}};
        kinds.push_back(k);
    }
    std::vector<std::string> pieces;
    {  // multipart with many base64 parts
        const int parts = 200;
        const size_t each = size / parts;
        std::string article =
            "Subject: many\nMIME-Version: 1.0\nContent-Type: multipart/mixed; "
            "boundary=\"=_boundary_0123456789\"\n\npreamble\n";
        Kind k{"multipart, 200 parts", {in + "/multi.txt"}, each * parts, {}, {}};
        pieces.reserve(parts);
        for (int i = 0; i < parts; ++i) pieces.push_back(data.substr(i * each, each));
        for (int i = 0; i < parts; ++i) {
            std::string name = "part" + std::to_string(i) + ".bin";
            article += "--=_boundary_0123456789\nContent-Type: application/octet-stream; name=\"" +
                       name + "\"\nContent-Transfer-Encoding: base64\n\n" +
                       qm::test::base64Lines(pieces[i]);
        }
        article += "--=_boundary_0123456789--\n";
        writeFile(k.articles[0], article);
        for (int i = 0; i < parts; ++i)
            k.expected.push_back({"part" + std::to_string(i) + ".bin", &pieces[i]});
        k.peers = {{"munpack", "munpack -q -f -C . " + k.articles[0]},
                   {"uudeview", "uudeview -i -o -p ./ " + k.articles[0]}};
        kinds.push_back(k);
    }
    {  // a uuencoded post split over many articles
        const std::string lines = qm::test::uuencodeBody(data, "split.bin");
        const size_t linesPerArticle = 4000;  // about 250 KB per article
        std::vector<size_t> starts;
        for (size_t at = 0, n = 0; at < lines.size(); ++n) {
            if (n % linesPerArticle == 0) starts.push_back(at);
            at = lines.find('\n', at) + 1;
        }
        starts.push_back(lines.size());
        const size_t total = starts.size() - 1;
        Kind k{"uuencode split", {}, size, {{"split.bin", &data}}, {}};
        std::string all;
        for (size_t i = 0; i < total; ++i) {
            std::string path = in + "/split" + std::to_string(i + 1) + ".txt";
            // A file name the subject recogniser knows keeps one collection key for every part.
            writeFile(path, "Subject: split.zip (" + std::to_string(i + 1) + "/" +
                                std::to_string(total) + ")\n\n" +
                                lines.substr(starts[i], starts[i + 1] - starts[i]));
            k.articles.push_back(path);
            all += " " + path;
        }
        k.name += ", " + std::to_string(total) + " articles";
        k.peers = {{"uudeview", "uudeview -i -o -p ./" + all}};
        kinds.push_back(k);
    }

    {  // a single-part yEnc post, CRC32 checked
        const std::string body = qm::test::yencLines(data);
        char crc[9];
        std::snprintf(crc, sizeof crc, "%08x", qm::crc32Update(0, data));
        Kind k{"yEnc single", {in + "/yenc.txt"}, size, {{"bigy.bin", &data}}, {}};
        writeFile(k.articles[0], "Subject: bigy\n\n=ybegin line=128 size=" + std::to_string(size) +
                                     " name=bigy.bin\r\n" + body + "=yend size=" +
                                     std::to_string(size) + " crc32=" + crc + "\r\n");
        writeFile(in + "/bare.yenc", body);
        // The module's C extension decodes and sums; the keyword lines are its caller's.
        k.peers = {{"python3-yenc", "/usr/bin/python3 -c \"import yenc; yenc.decode('" + in +
                                        "/bare.yenc', 'bigy.bin')\""},
                   {"uudeview", "uudeview -i -o -p ./ " + k.articles[0]}};
        kinds.push_back(k);
    }

    Bench bench(work);
    const std::string filter = argc > 2 ? argv[2] : "";
    for (const Kind& kind : kinds)
        if (kind.name.find(filter) != std::string::npos) bench.run(kind);
    std::error_code ec;
    fs::remove_all(work, ec);
    return 0;
}
