// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/bodydecoders.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <span>
#include <vector>

#include "decode/md5.h"
#include "decode/partreader.h"
#include "decode/uucodec.h"

namespace qm {

namespace {

constexpr std::uint8_t Skip = 64;
constexpr std::uint8_t Pad = 65;
// Set in a combined group value when any of its four characters is not in the alphabet.
constexpr std::uint32_t BadGroup = 0x01000000;

// Per character: its 6-bit value, Skip or Pad; and the value placed at each of the four
// positions of a group, so that a whole group decodes with four look-ups and three ORs.
struct Base64Tables {
    std::array<std::uint8_t, 256> value{};
    std::array<std::array<std::uint32_t, 256>, 4> placed{};
};

constexpr Base64Tables makeTables() {
    constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    Base64Tables t;
    for (auto& v : t.value) v = Skip;
    for (auto& row : t.placed)
        for (auto& v : row) v = BadGroup;
    t.value['='] = Pad;
    for (std::uint32_t i = 0; i < alphabet.size(); ++i) {
        auto c = static_cast<unsigned char>(alphabet[i]);
        t.value[c] = static_cast<std::uint8_t>(i);
        // Output byte 0 is the low byte of the combined value.
        t.placed[0][c] = i << 2;
        t.placed[1][c] = (i >> 4) | ((i & 15) << 12);
        t.placed[2][c] = ((i >> 2) << 8) | ((i & 3) << 22);
        t.placed[3][c] = i << 16;
    }
    return t;
}

constexpr Base64Tables Tables = makeTables();

constexpr std::array<std::int8_t, 256> makeHexValues() {
    std::array<std::int8_t, 256> values{};
    for (auto& v : values) v = -1;
    for (int i = 0; i < 10; ++i) values['0' + i] = static_cast<std::int8_t>(i);
    for (int i = 0; i < 6; ++i) {
        values['A' + i] = static_cast<std::int8_t>(10 + i);
        values['a' + i] = static_cast<std::int8_t>(10 + i);
    }
    return values;
}

constexpr std::array<std::int8_t, 256> HexValues = makeHexValues();

inline int hexValue(char c) {
    return HexValues[static_cast<unsigned char>(c)];
}

// Digests data with every line end that is not already preceded by a CR as CR LF.
class CanonicalDigest {
  public:
    explicit CanonicalDigest(Md5* md5) : m_md5(md5) {}

    void update(std::string_view data) {
        if (!m_md5 || data.empty()) return;
        size_t from = 0;
        while (from < data.size()) {
            auto found =
                static_cast<const char*>(std::memchr(data.data() + from, '\n', data.size() - from));
            if (!found) break;
            size_t at = static_cast<size_t>(found - data.data());
            char before = at > 0 ? data[at - 1] : m_last;
            if (before != '\r') {
                m_md5->update(data.substr(from, at - from));
                m_md5->update("\r");
                from = at;
            }
            m_md5->update(data.substr(from, at + 1 - from));
            from = at + 1;
        }
        m_md5->update(data.substr(from));
        m_last = data.back();
    }

  private:
    Md5* m_md5;
    char m_last = 0;
};

size_t dropCarriageReturns(char* data, size_t size) {
    char* end = data + size;
    char* first = static_cast<char*>(std::memchr(data, '\r', size));
    if (!first) return size;
    char* out = first;
    for (const char* in = first; in < end; ++in)
        if (*in != '\r') *out++ = *in;
    return static_cast<size_t>(out - data);
}

// Uuencoded lines are at most 62 characters; longer ones are read in pieces of this.
constexpr size_t UuLineLimit = 1024;

bool isUuBeginLine(std::string_view line) {
    return line.substr(0, 6) == "begin ";
}

// "end", alone on its line or followed by white space.
bool isUuEndLine(std::string_view line) {
    return line.substr(0, 3) == "end" && (line.size() == 3 || line[3] == ' ' || line[3] == '\t' ||
                                          line[3] == '\r' || line[3] == '\n');
}

// Reads a line of at most UuLineLimit - 1 bytes; the rest of a longer one is dropped.
bool readUuLine(PartReader& reader, std::string& line, std::string& scratch) {
    if (!reader.readLine(line, UuLineLimit)) return false;
    if (line.back() != '\n')
        while (reader.readLine(scratch, UuLineLimit) && scratch.back() != '\n') {
        }
    return true;
}

// Largest piece of input decoded at once; the scratch buffer holds its output.
constexpr size_t ChunkSize = 256 * 1024;

// The output buffer of the decoders, kept for the thread's next body (fresh memory is slow).
std::vector<char>& scratchBuffer() {
    thread_local std::vector<char> buffer;
    if (buffer.size() < ChunkSize + 16) buffer.resize(ChunkSize + 16);
    return buffer;
}

}  // namespace

size_t Base64Decoder::decode(std::string_view in, char* out) {
    if (m_finished) return 0;
    auto p = reinterpret_cast<const unsigned char*>(in.data());
    const auto end = p + in.size();
    char* o = out;
    while (p < end) {
        if (m_count == 0) {
            while (end - p >= 4) {
                std::uint32_t x = Tables.placed[0][p[0]] | Tables.placed[1][p[1]] |
                                  Tables.placed[2][p[2]] | Tables.placed[3][p[3]];
                if (x & BadGroup) break;
                o[0] = static_cast<char>(x);
                o[1] = static_cast<char>(x >> 8);
                o[2] = static_cast<char>(x >> 16);
                o += 3;
                p += 4;
            }
            if (p == end) break;
        }
        std::uint8_t v = Tables.value[*p++];
        if (v == Skip) continue;
        if (v == Pad) {
            bool ignored;
            o += finish(o, ignored);
            m_finished = true;
            break;
        }
        m_bits = (m_bits << 6) | v;
        if (++m_count == 4) {
            o[0] = static_cast<char>(m_bits >> 16);
            o[1] = static_cast<char>(m_bits >> 8);
            o[2] = static_cast<char>(m_bits);
            o += 3;
            m_count = 0;
            m_bits = 0;
        }
    }
    return static_cast<size_t>(o - out);
}

size_t Base64Decoder::finish(char* out, bool& truncated) {
    truncated = m_count != 0 && !m_finished;
    size_t written = 0;
    if (m_count >= 2) {
        std::uint32_t bits = m_bits << (6 * (4 - m_count));
        out[written++] = static_cast<char>(bits >> 16);
        if (m_count == 3) out[written++] = static_cast<char>(bits >> 8);
    }
    m_count = 0;
    m_bits = 0;
    return written;
}

size_t QuotedPrintableDecoder::decode(std::string_view in, char* out) {
    const char* p = in.data();
    const char* end = p + in.size();
    char* o = out;
    while (p < end) {
        switch (m_state) {
            case State::Plain: {
                // Escapes are dense in binary data: decode whole ones inline, leaving only
                // those split between two pieces of input to the state machine.
                while (p < end) {
                    char c = *p;
                    if (c != '=') {
                        *o++ = c;
                        ++p;
                        continue;
                    }
                    if (end - p < 3) break;
                    int high = HexValues[static_cast<unsigned char>(p[1])];
                    int low = HexValues[static_cast<unsigned char>(p[2])];
                    if ((high | low) < 0) break;
                    char byte = static_cast<char>(high << 4 | low);
                    if (byte != '\r' || !m_dropCr) *o++ = byte;
                    p += 3;
                }
                if (p < end) {
                    m_state = State::Equals;
                    ++p;
                }
                break;
            }
            case State::Equals:
                if (*p == '\n') {
                    ++p;
                    m_state = State::Plain;
                } else if (*p == '\r') {
                    ++p;
                    m_state = State::EqualsCr;
                } else if (hexValue(*p) >= 0) {
                    m_high = *p++;
                    m_state = State::EqualsHex;
                } else {
                    *o++ = '=';
                    m_state = State::Plain;
                }
                break;
            case State::EqualsCr:
                if (*p == '\n') {
                    ++p;
                } else {
                    *o++ = '=';
                    *o++ = '\r';
                }
                m_state = State::Plain;
                break;
            case State::EqualsHex: {
                int low = hexValue(*p);
                if (low >= 0) {
                    char byte = static_cast<char>(hexValue(m_high) << 4 | low);
                    if (byte != '\r' || !m_dropCr) *o++ = byte;
                    ++p;
                } else {
                    *o++ = '=';
                    *o++ = m_high;
                }
                m_state = State::Plain;
                break;
            }
        }
    }
    return static_cast<size_t>(o - out);
}

size_t QuotedPrintableDecoder::finish(char* out) {
    size_t written = 0;
    if (m_state != State::Plain) out[written++] = '=';
    if (m_state == State::EqualsCr) out[written++] = '\r';
    if (m_state == State::EqualsHex) out[written++] = m_high;
    m_state = State::Plain;
    return written;
}

std::optional<std::string> findUuBeginLine(PartReader& reader) {
    std::string line, scratch;
    while (readUuLine(reader, line, scratch)) {
        if (isUuBeginLine(line)) {
            reader.pushBack(line);
            return line;
        }
    }
    return std::nullopt;
}

BodyOutcome decodeBody(PartReader& reader, std::FILE* out, TransferEncoding encoding, Md5* digest,
                       bool text) {
    BodyOutcome outcome;
    std::vector<char>& scratch = scratchBuffer();
    auto write = [&](const char* data, size_t size) {
        if (size > 0 && !outcome.writeFailed && std::fwrite(data, 1, size, out) != size) {
            outcome.writeFailed = true;
            outcome.error = errno;
        }
    };
    if (encoding == TransferEncoding::Uuencode) {
        enum class Uu { BeforeBegin, InData, AfterEnd } state = Uu::BeforeBegin;
        std::string line, rest;
        while (readUuLine(reader, line, rest)) {
            if (state == Uu::BeforeBegin) {
                if (isUuBeginLine(line)) state = Uu::InData;
            } else if (state == Uu::InData) {
                if (isUuEndLine(line)) {
                    state = Uu::AfterEnd;
                    continue;
                }
                size_t n = uuDecodeLine(
                    line, std::span<char, UuMaxLineBytes>(scratch.data(), UuMaxLineBytes));
                if (digest) digest->update({scratch.data(), n});
                if (text) n = dropCarriageReturns(scratch.data(), n);
                write(scratch.data(), n);
            }
        }
        return outcome;
    }
    // Text is digested in its canonical form; other quoted-printable data as it is.
    const bool canonical = encoding == TransferEncoding::None || text;
    CanonicalDigest canonicalDigest(canonical ? digest : nullptr);
    Md5* rawDigest = canonical ? nullptr : digest;
    Base64Decoder base64;
    QuotedPrintableDecoder quoted(text);
    for (std::string_view span = reader.peek(); !span.empty(); span = reader.peek()) {
        span = span.substr(0, ChunkSize);
        switch (encoding) {
            case TransferEncoding::None:
                write(span.data(), span.size());
                canonicalDigest.update(span);
                break;
            case TransferEncoding::QuotedPrintable: {
                size_t n = quoted.decode(span, scratch.data());
                write(scratch.data(), n);
                canonicalDigest.update({scratch.data(), n});
                if (rawDigest) rawDigest->update({scratch.data(), n});
                break;
            }
            case TransferEncoding::Base64: {
                size_t n = base64.decode(span, scratch.data());
                if (digest) digest->update({scratch.data(), n});
                if (text) n = dropCarriageReturns(scratch.data(), n);
                write(scratch.data(), n);
                break;
            }
            case TransferEncoding::Uuencode:
                break;  // decoded line by line above
        }
        reader.consume(span.size());
        // Everything after the pad character is skipped.
        if (base64.finished()) reader.ignoreRest();
    }
    size_t n = 0;
    if (encoding == TransferEncoding::QuotedPrintable) {
        n = quoted.finish(scratch.data());
        canonicalDigest.update({scratch.data(), n});
        if (rawDigest) rawDigest->update({scratch.data(), n});
    } else if (encoding == TransferEncoding::Base64) {
        n = base64.finish(scratch.data(), outcome.truncated);
        if (digest) digest->update({scratch.data(), n});
        if (text) n = dropCarriageReturns(scratch.data(), n);
    }
    write(scratch.data(), n);
    return outcome;
}

}  // namespace qm
