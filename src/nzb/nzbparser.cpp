// SPDX-License-Identifier: GPL-3.0-or-later
#include "nzb/nzbparser.h"

#include <expat.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/file.h"

namespace qm {
namespace {

// Text kept of one element: enough for any subject or id; the rest is dropped.
constexpr std::size_t MaxTextBytes = 4096;
constexpr std::size_t MaxGroupsPerFile = 100;
constexpr int MaxSegmentNumber = 1000000;

std::string_view attribute(const XML_Char** attributes, std::string_view name) {
    for (const XML_Char** a = attributes; a && a[0]; a += 2)
        if (name == a[0]) return a[1];
    return {};
}

template <typename T>
bool toNumber(std::string_view text, T& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

std::string_view trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

// The state of one parse; expat's callbacks reach it through their user data.
class NzbReader {
  public:
    explicit NzbReader(XML_Parser parser) : m_parser(parser) {}

    void start(std::string_view name, const XML_Char** attributes) {
        m_text.clear();
        if (++m_depth > 16) return stop("elements are nested too deeply");
        if (name == "file") {
            if (m_result.document.files.size() >= MaxNzbFiles)
                return stop("more than " + std::to_string(MaxNzbFiles) + " files");
            m_inFile = true;
            NzbFile& file = m_result.document.files.emplace_back();
            file.poster = std::string(attribute(attributes, "poster")).substr(0, MaxTextBytes);
            file.subject = std::string(attribute(attributes, "subject")).substr(0, MaxTextBytes);
            (void)toNumber(attribute(attributes, "date"), file.date);
        } else if (name == "segment" && m_inFile) {
            m_segment = NzbSegment{};
            (void)toNumber(attribute(attributes, "bytes"), m_segment.bytes);
            if (!toNumber(attribute(attributes, "number"), m_segment.number)) m_segment.number = 0;
        } else if (name == "meta") {
            m_metaType = std::string(attribute(attributes, "type")).substr(0, 64);
        }
    }

    void end(std::string_view name) {
        --m_depth;
        const std::string_view text = trim(m_text);
        if (name == "file") {
            m_inFile = false;
        } else if (name == "segment" && m_inFile) {
            addSegment(text);
        } else if (name == "group" && m_inFile) {
            auto& groups = m_result.document.files.back().groups;
            if (!text.empty() && groups.size() < MaxGroupsPerFile) groups.emplace_back(text);
        } else if (name == "meta" && m_result.document.meta.size() < 64) {
            m_result.document.meta.emplace_back(m_metaType, text);
        }
        m_text.clear();
    }

    void characters(std::string_view data) {
        if (m_text.size() < MaxTextBytes)
            m_text.append(data.substr(0, MaxTextBytes - m_text.size()));
    }

    void stop(std::string error) {
        if (m_result.error.empty()) m_result.error = std::move(error);
        XML_StopParser(m_parser, XML_FALSE);
    }

    NzbParse& result() { return m_result; }
    void note(std::string text) {
        if (m_result.notes.size() < 100) m_result.notes.push_back(std::move(text));
    }

  private:
    void addSegment(std::string_view id) {
        NzbFile& file = m_result.document.files.back();
        if (id.size() >= 2 && id.front() == '<' && id.back() == '>')
            id = id.substr(1, id.size() - 2);
        if (m_segment.number < 1 || m_segment.number > MaxSegmentNumber) {
            note(file.subject + ": a segment without a valid number was left out");
            return;
        }
        if (!isSafeMessageId(id)) {
            note(file.subject + ": segment " + std::to_string(m_segment.number) +
                 " has an unusable message-id and was left out");
            return;
        }
        if (++m_segments > MaxNzbSegments)
            return stop("more than " + std::to_string(MaxNzbSegments) + " segments");
        m_segment.messageId = std::string(id);
        file.segments.push_back(std::move(m_segment));
    }

    XML_Parser m_parser;
    NzbParse m_result;
    NzbSegment m_segment;
    std::string m_text;
    std::string m_metaType;
    std::size_t m_segments = 0;
    int m_depth = 0;
    bool m_inFile = false;
};

NzbParse refused(std::string error) {
    NzbParse parse;
    parse.error = std::move(error);
    return parse;
}

NzbReader& readerOf(void* data) {
    return *static_cast<NzbReader*>(data);
}

// Sorts each file's segments, drops repeated numbers and counts the gaps; drops files left
// without segments.
void tidy(NzbParse& parse) {
    auto& files = parse.document.files;
    for (NzbFile& file : files) {
        auto& segments = file.segments;
        std::stable_sort(
            segments.begin(), segments.end(),
            [](const NzbSegment& a, const NzbSegment& b) { return a.number < b.number; });
        const std::size_t before = segments.size();
        segments.erase(std::unique(segments.begin(), segments.end(),
                                   [](const NzbSegment& a, const NzbSegment& b) {
                                       return a.number == b.number;
                                   }),
                       segments.end());
        if (segments.size() != before)
            parse.notes.push_back(file.subject + ": " + std::to_string(before - segments.size()) +
                                  " repeated segment numbers, the first of each kept");
        if (!segments.empty())
            file.missingSegments = segments.back().number - static_cast<int>(segments.size());
        if (file.missingSegments > 0)
            parse.notes.push_back(file.subject + ": " + std::to_string(file.missingSegments) +
                                  " segments are not listed");
    }
    const std::size_t before = files.size();
    std::erase_if(files, [](const NzbFile& file) { return file.segments.empty(); });
    if (files.size() != before)
        parse.notes.push_back(std::to_string(before - files.size()) +
                              " files without a usable segment were left out");
}

}  // namespace

bool isSafeMessageId(std::string_view id) {
    if (id.empty() || id.size() > 250) return false;
    return std::all_of(id.begin(), id.end(),
                       [](char c) { return c > ' ' && c < 127 && c != '<' && c != '>'; });
}

std::string nzbFileName(std::string_view subject) {
    if (const auto open = subject.find('"'); open != std::string_view::npos) {
        const auto close = subject.find('"', open + 1);
        if (close != std::string_view::npos && close > open + 1)
            return std::string(subject.substr(open + 1, close - open - 1));
    }
    std::size_t at = 0;
    while (at < subject.size()) {
        const std::size_t end = std::min(subject.find(' ', at), subject.size());
        const std::string_view word = subject.substr(at, end - at);
        const auto dot = word.rfind('.');
        if (dot != std::string_view::npos && dot > 0 && dot + 1 < word.size())
            return std::string(word);
        at = end + 1;
    }
    return {};
}

NzbParse parseNzb(std::string_view text) {
    using Parser = std::unique_ptr<std::remove_pointer_t<XML_Parser>, decltype(&XML_ParserFree)>;
    Parser parser(XML_ParserCreate(nullptr), &XML_ParserFree);
    if (!parser) return refused("out of memory");
    NzbReader reader(parser.get());
    XML_SetUserData(parser.get(), &reader);
    // Parameter entities and the external subset are never read; any entity declaration
    // ends the parse, so nothing is ever expanded.
    XML_SetParamEntityParsing(parser.get(), XML_PARAM_ENTITY_PARSING_NEVER);
    XML_SetEntityDeclHandler(
        parser.get(), [](void* data, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                         const XML_Char*, const XML_Char*, const XML_Char*) {
            readerOf(data).stop("it declares entities, which an NZB never needs");
        });
    XML_SetElementHandler(
        parser.get(),
        [](void* data, const XML_Char* name, const XML_Char** attributes) {
            readerOf(data).start(name, attributes);
        },
        [](void* data, const XML_Char* name) { readerOf(data).end(name); });
    XML_SetCharacterDataHandler(parser.get(), [](void* data, const XML_Char* s, int length) {
        readerOf(data).characters(std::string_view(s, static_cast<std::size_t>(length)));
    });

    // Fed in slices: expat's int lengths, and memory that grows with the slice only.
    constexpr std::size_t Slice = 1 << 20;
    bool failed = false;
    for (std::size_t at = 0; !failed && at <= text.size(); at += Slice) {
        const std::string_view slice = text.substr(std::min(at, text.size()), Slice);
        const bool last = at + Slice >= text.size();
        failed = XML_Parse(parser.get(), slice.data(), static_cast<int>(slice.size()),
                           last ? XML_TRUE : XML_FALSE) != XML_STATUS_OK;
        if (last) break;
    }
    NzbParse& result = reader.result();
    if (failed && result.error.empty()) {
        result.error = std::string("not a valid NZB: ") +
                       XML_ErrorString(XML_GetErrorCode(parser.get())) + " at line " +
                       std::to_string(XML_GetCurrentLineNumber(parser.get()));
    }
    if (!result.ok()) {
        result.document = {};
        return std::move(result);
    }
    tidy(result);
    if (result.document.files.empty()) result.error = "the NZB lists no file to fetch";
    return std::move(result);
}

NzbParse readNzbFile(const std::string& path) {
    FilePtr file = openFile(path, "rb");
    if (!file) return refused(std::string("cannot open it: ") + std::strerror(errno));
    std::string text;
    char buffer[65536];
    while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, file.get())) {
        if (text.size() + n > MaxNzbBytes)
            return refused("it is larger than " + std::to_string(MaxNzbBytes >> 20) +
                           " MB, more than any post needs");
        text.append(buffer, n);
    }
    if (std::ferror(file.get()))
        return refused(std::string("cannot read it: ") + std::strerror(errno));
    return parseNzb(text);
}

}  // namespace qm
