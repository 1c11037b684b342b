// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/partreader.h"

#include <algorithm>
#include <cstring>

namespace qm {

namespace {

// Room kept in front of the unread bytes so that pushBack rarely has to move them.
constexpr size_t Headroom = 4096;
constexpr size_t ReadSize = 256 * 1024;
// A buffer grown past this by pushBack is not kept for the next reader.
constexpr size_t MaxKeptBuffer = 4 * (Headroom + ReadSize);

// The read buffer of the last reader of this thread, handed to the next one: touching fresh
// memory costs more here than decoding a small article.
thread_local std::vector<char> t_spareBuffer;

}  // namespace

PartReader::PartReader(FilePtr file) : m_file(std::move(file)), m_buffer(std::move(t_spareBuffer)) {
    t_spareBuffer = {};
    if (m_buffer.size() < Headroom + ReadSize) m_buffer.resize(Headroom + ReadSize);
    m_position = m_end = m_safeEnd = Headroom;
    m_eof = !m_file;
}

PartReader::~PartReader() {
    if (m_buffer.size() <= MaxKeptBuffer && m_buffer.size() > t_spareBuffer.size())
        t_spareBuffer = std::move(m_buffer);
}

bool PartReader::fill() {
    if (m_eof) return false;
    size_t unread = m_end - m_position;
    if (m_buffer.size() < Headroom + unread + ReadSize / 2)
        m_buffer.resize(Headroom + unread + ReadSize);
    if (m_position != Headroom) {
        std::memmove(m_buffer.data() + Headroom, m_buffer.data() + m_position, unread);
        m_position = Headroom;
        m_end = Headroom + unread;
    }
    m_safeEnd = m_position;
    size_t got = std::fread(m_buffer.data() + m_end, 1, m_buffer.size() - m_end, m_file.get());
    if (got == 0) {
        m_eof = true;
        m_readError = std::ferror(m_file.get()) != 0;
        return false;
    }
    m_end += got;
    return true;
}

int PartReader::matchDelimiter(size_t lineEnd) const {
    const char* s = m_buffer.data() + lineEnd + 1;
    size_t available = m_end - lineEnd - 1;
    if (available >= 1 && s[0] != '-') return -1;
    if (available >= 2 && s[1] != '-') return -1;
    if (available < 2) return m_eof ? -1 : -2;
    std::string_view rest(s + 2, available - 2);
    for (size_t i = 0; i < m_boundaries.size(); ++i) {
        const std::string& boundary = m_boundaries[i];
        if (rest.size() >= boundary.size()) {
            if (rest.starts_with(boundary)) return static_cast<int>(i);
        } else if (!m_eof && std::string_view(boundary).starts_with(rest)) {
            // An outer boundary might still match: decide when more bytes are in.
            return -2;
        }
    }
    return -1;
}

bool PartReader::scan() {
    if (m_boundaries.empty()) {
        m_safeEnd = m_end;
        return true;
    }
    const char* base = m_buffer.data();
    size_t from = m_position;
    for (;;) {
        auto found = static_cast<const char*>(std::memchr(base + from, '\n', m_end - from));
        if (!found) {
            size_t safe = m_end;
            // A CR at the very end may be the first byte of a delimiter.
            if (!m_eof && base[safe - 1] == '\r') --safe;
            m_safeEnd = safe;
            return safe > m_position;
        }
        size_t lineEnd = static_cast<size_t>(found - base);
        int match = matchDelimiter(lineEnd);
        if (match == -1) {
            from = lineEnd + 1;
            continue;
        }
        size_t safe = lineEnd;
        if (safe > m_position && base[safe - 1] == '\r') --safe;
        if (safe > m_position) {
            m_safeEnd = safe;
            return true;
        }
        if (match == -2) return false;
        m_hit = match;
        return true;
    }
}

bool PartReader::extendSafe() {
    for (;;) {
        if (m_hit >= 0) return false;
        if (m_position < m_safeEnd) return true;
        if (m_position == m_end) {
            if (!fill()) return false;
            continue;
        }
        if (scan()) continue;
        // Undecided with too few bytes: read more; at the end of the file scan() decides.
        fill();
    }
}

int PartReader::slowNextChar() {
    if (!extendSafe()) return End;
    return static_cast<unsigned char>(m_buffer[m_position++]);
}

bool PartReader::readLine(std::string& line, size_t maxBytes) {
    line.clear();
    if (maxBytes <= 1) return false;
    const size_t limit = maxBytes - 1;
    while (line.size() < limit && extendSafe()) {
        const char* start = m_buffer.data() + m_position;
        size_t count = std::min(m_safeEnd - m_position, limit - line.size());
        if (auto found = static_cast<const char*>(std::memchr(start, '\n', count))) {
            count = static_cast<size_t>(found - start) + 1;
            line.append(start, count);
            m_position += count;
            return true;
        }
        line.append(start, count);
        m_position += count;
    }
    return !line.empty();
}

std::string_view PartReader::peek() {
    if (!extendSafe()) return {};
    return {m_buffer.data() + m_position, m_safeEnd - m_position};
}

void PartReader::pushBack(std::string_view text) {
    if (text.empty()) return;
    if (m_position < text.size()) {
        size_t shift = text.size() - m_position + Headroom;
        if (m_end + shift > m_buffer.size()) m_buffer.resize(m_end + shift);
        std::memmove(m_buffer.data() + m_position + shift, m_buffer.data() + m_position,
                     m_end - m_position);
        m_position += shift;
        m_end += shift;
    }
    m_position -= text.size();
    std::memcpy(m_buffer.data() + m_position, text.data(), text.size());
    // A boundary that ended the part is found again after the pushed bytes.
    m_safeEnd = m_position;
    m_hit = -1;
}

void PartReader::addBoundary(std::string_view text) {
    ++m_depth;
    if (m_boundaries.size() < MaxBoundaries &&
        m_boundaries.size() + 1 == static_cast<size_t>(m_depth)) {
        m_boundaries.emplace_back(text.substr(0, MaxBoundaryLength));
    }
    // The new boundary may end the part inside bytes already judged safe.
    m_safeEnd = m_position;
}

void PartReader::popBoundary() {
    if (m_depth == 0) return;
    --m_depth;
    if (m_boundaries.size() > static_cast<size_t>(m_depth)) m_boundaries.pop_back();
    m_safeEnd = m_position;
}

void PartReader::skipDelimiterLine() {
    for (;;) {
        const char* start = m_buffer.data() + m_position;
        if (auto found = static_cast<const char*>(std::memchr(start, '\n', m_end - m_position))) {
            m_position += static_cast<size_t>(found - start) + 1;
            break;
        }
        m_position = m_end;
        if (!fill()) break;
    }
    m_safeEnd = m_position;
}

int PartReader::readBoundary() {
    ignoreRest();
    if (m_hit < 0 || m_hit < m_depth - 1) {
        // The end of the file or an enclosing boundary ends this multipart as well; the hit
        // stays for the enclosing ones.
        popBoundary();
        return 1;
    }
    // Everything up to the end of the boundary text is buffered: scan() saw it.
    if (m_buffer[m_position] == '\r') ++m_position;
    m_position += 3 + m_boundaries[static_cast<size_t>(m_hit)].size();
    m_hit = -1;
    if (m_end - m_position < 2) fill();
    int result = 0;
    if (m_end - m_position >= 2 && m_buffer[m_position] == '-' && m_buffer[m_position + 1] == '-') {
        popBoundary();
        result = 1;
    }
    skipDelimiterLine();
    return result;
}

void PartReader::ignoreRest() {
    while (extendSafe()) m_position = m_safeEnd;
}

bool PartReader::atEnd() {
    return !extendSafe();
}

}  // namespace qm
