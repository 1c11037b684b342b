// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/mimeheader.h"

#include <algorithm>

#include "decode/partreader.h"

namespace qm {

namespace {

inline char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

inline bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool isBlankLine(std::string_view line) {
    return line == "\n" || line == "\r\n";
}

// Drops the rest of a header line that did not fit in one read.
void skipLineRest(PartReader& reader, std::string& scratch) {
    while (reader.readLine(scratch, MimeHeader::MaxLineBytes + 1))
        if (scratch.back() == '\n') break;
}

// The end of the field whose value starts at from: the line end that is not followed by a
// blank or tab, or the end of the text.
size_t fieldEnd(std::string_view text, size_t from) {
    for (;;) {
        size_t lineEnd = text.find('\n', from);
        if (lineEnd == std::string_view::npos) return text.size();
        if (lineEnd + 1 >= text.size()) return lineEnd;
        char next = text[lineEnd + 1];
        if (next != ' ' && next != '\t') return lineEnd;
        from = lineEnd + 1;
    }
}

// Reads a parameter value at pos: a quoted string without its quotes and escapes, or the
// text up to white space.
std::string readValue(std::string_view text, size_t pos) {
    std::string value;
    if (pos < text.size() && text[pos] == '"') {
        for (++pos; pos < text.size() && text[pos] != '"'; ++pos) {
            if (text[pos] == '\\' && pos + 1 < text.size()) ++pos;
            value += text[pos];
        }
        return value;
    }
    while (pos < text.size() && !isBlank(text[pos])) value += text[pos++];
    return value;
}

}  // namespace

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && startsWithNoCase(a, b);
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (lower(text[i]) != lower(prefix[i])) return false;
    return true;
}

bool isHeaderLine(std::string_view line) {
    size_t i = 0;
    while (i < line.size() && line[i] > ' ' && line[i] < 127 && line[i] != ':') ++i;
    return i > 0 && i < line.size() && line[i] == ':';
}

void MimeHeader::read(PartReader& reader) {
    m_text = "\n";
    std::string line, scratch;
    bool first = true;
    while (reader.readLine(line, MaxLineBytes + 1)) {
        if (isBlankLine(line)) break;
        bool continuation = !first && (line[0] == ' ' || line[0] == '\t');
        if (!continuation && !isHeaderLine(line)) {
            // The first body line; unread in full, however long.
            reader.pushBack(line);
            break;
        }
        first = false;
        if (m_text.size() + line.size() <= MaxHeaderBytes) m_text += line;
        if (line.back() != '\n') skipLineRest(reader, scratch);
    }
}

void MimeHeader::assign(std::string_view text) {
    m_text = "\n";
    m_text += text.substr(0, MaxHeaderBytes);
}

std::optional<std::string_view> MimeHeader::field(std::string_view name) const {
    std::string_view text = m_text;
    for (size_t lineEnd = text.find('\n'); lineEnd != std::string_view::npos;
         lineEnd = text.find('\n', lineEnd + 1)) {
        std::string_view line = text.substr(lineEnd + 1);
        if (!startsWithNoCase(line, name) || line.size() <= name.size() || line[name.size()] != ':')
            continue;
        size_t start = lineEnd + 1 + name.size() + 1;
        size_t end = fieldEnd(text, start);
        std::string_view value = text.substr(start, end - start);
        return value.substr(skipComments(value, 0));
    }
    return std::nullopt;
}

std::string MimeHeader::subject() const {
    std::string unfolded;
    auto value = field("Subject");
    if (!value) return unfolded;
    // Unfolding: line ends go, with the CR of a CR LF line end.
    for (size_t i = 0; i < value->size(); ++i) {
        char c = (*value)[i];
        if (c == '\n') continue;
        if (c == '\r' && (i + 1 == value->size() || (*value)[i + 1] == '\n')) continue;
        unfolded += c;
    }
    return unfolded;
}

size_t skipComments(std::string_view text, size_t pos) {
    while (pos < text.size()) {
        if (isBlank(text[pos])) {
            ++pos;
            continue;
        }
        if (text[pos] != '(') break;
        int depth = 0;
        while (pos < text.size()) {
            char c = text[pos++];
            if (c == '\\') {
                if (pos < text.size()) ++pos;
            } else if (c == '(') {
                ++depth;
            } else if (c == ')' && --depth == 0) {
                break;
            }
        }
    }
    return pos;
}

TransferEncoding parseEncoding(std::string_view value, bool& unknown) {
    unknown = false;
    std::string_view rest = value.substr(skipComments(value, 0));
    auto token = [](std::string_view text, std::string_view name) {
        return startsWithNoCase(text, name) &&
               (text.size() == name.size() || isBlank(text[name.size()]) ||
                text[name.size()] == '(');
    };
    if (!rest.empty() && (rest[0] == '7' || rest[0] == '8') && token(rest.substr(1), "bit"))
        return TransferEncoding::None;
    if (token(rest, "binary")) return TransferEncoding::None;
    if (token(rest, "base64")) return TransferEncoding::Base64;
    if (token(rest, "quoted-printable")) return TransferEncoding::QuotedPrintable;
    // Not MIME, but what posting tools write for a uuencoded body (with its "begin" line).
    for (std::string_view name : {"x-uuencode", "x-uue", "uuencode", "uue"})
        if (token(rest, name)) return TransferEncoding::Uuencode;
    unknown = true;
    return TransferEncoding::None;
}

ContentType parseContentType(std::string_view value) {
    ContentType result;
    size_t pos = skipComments(value, 0);
    size_t start = pos;
    while (pos < value.size() && !isBlank(value[pos]) && value[pos] != '(' && value[pos] != ';')
        ++pos;
    result.type = value.substr(start, pos - start);

    // Parameters run from ";" to ";" outside quoted strings and comments.
    std::string current;
    bool inParameters = false, inQuotes = false;
    int commentDepth = 0;
    auto finishParameter = [&] {
        if (inParameters && current.find_first_not_of(" \t") != std::string::npos)
            result.parameters.push_back(current);
        current.clear();
    };
    for (; pos < value.size(); ++pos) {
        char c = value[pos];
        bool escaped = c == '\\' && pos + 1 < value.size();
        if (inQuotes) {
            current += c;
            if (escaped)
                current += value[++pos];
            else if (c == '"')
                inQuotes = false;
        } else if (commentDepth > 0) {
            if (escaped)
                ++pos;
            else if (c == '(')
                ++commentDepth;
            else if (c == ')')
                --commentDepth;
            current += ' ';
        } else if (c == '(') {
            commentDepth = 1;
            current += ' ';
        } else if (c == ';') {
            finishParameter();
            inParameters = true;
        } else {
            if (c == '"') inQuotes = true;
            current += isBlank(c) ? ' ' : c;
        }
    }
    finishParameter();
    return result;
}

std::optional<std::string> ContentType::parameter(std::string_view name) const {
    for (const std::string& text : parameters) {
        size_t pos = skipComments(text, 0);
        if (!startsWithNoCase(std::string_view(text).substr(pos), name)) continue;
        pos += name.size();
        while (pos < text.size() && isBlank(text[pos])) ++pos;
        if (pos >= text.size() || text[pos] != '=') continue;
        ++pos;
        while (pos < text.size() && isBlank(text[pos])) ++pos;
        return readValue(text, pos);
    }
    return std::nullopt;
}

}  // namespace qm
