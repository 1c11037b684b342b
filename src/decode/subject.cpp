// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/subject.h"

#include <charconv>
#include <stdexcept>

#include "config/regexpattern.h"

namespace qm {

namespace {

constexpr size_t WorkingCapacity = 1023;  // a longer subject is cut here
constexpr size_t MatchCapacity = 255;     // copies of a match hold at most 254 characters
constexpr size_t KeyLimit = 255;
constexpr size_t KeyPrefixLength = 5;

constexpr std::string_view PartExpression =
    "([0-9]+)[[:space:]]*(o|of|/|-o-|-of-)[[:space:]]*([0-9]+)";
constexpr std::string_view FileNameExpression =
    "\\w+\\.(jpg|mov|avi|gif|mpg|tif|bmp|doc|zip|tar|tgz|gz|au|exe|txt|htm|html)";

struct Recognizers {
    RegexPattern part;
    RegexPattern fileName;

    Recognizers() {
        if (auto error = part.compile(PartExpression))
            throw std::logic_error("part pattern: " + *error);
        if (auto error = fileName.compile(FileNameExpression))
            throw std::logic_error("file-name pattern: " + *error);
    }
};

const Recognizers& recognizers() {
    static const Recognizers instance;  // compiled once, thread-safe
    return instance;
}

// Byte tests of the C locale: a key must not depend on the user's locale.
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isAlnum(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
char toLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The subject up to its first line end (or NUL, where a C string would end).
std::string_view firstLine(std::string_view subject) {
    size_t end = subject.find_first_of(std::string_view("\r\n\0", 3));
    return end == std::string_view::npos ? subject : subject.substr(0, end);
}

std::string lowerCopy(std::string_view line) {
    std::string copy(line.substr(0, WorkingCapacity));
    for (char& c : copy) c = toLower(c);
    return copy;
}

// The first two decimal numbers of text once every non-digit is blanked. A number too large
// for an int, or a missing second number, rejects the whole numbering.
bool readPartNumbers(std::string_view text, int& part, int& total) {
    int values[2];
    size_t pos = 0;
    for (int& value : values) {
        while (pos < text.size() && !isDigit(text[pos])) ++pos;
        if (pos == text.size()) return false;
        auto [end, ec] = std::from_chars(text.data() + pos, text.data() + text.size(), value);
        if (ec != std::errc()) return false;
        pos = static_cast<size_t>(end - text.data());
    }
    part = values[0];
    total = values[1];
    return true;
}

std::string lettersAndDigits(std::string_view line) {
    std::string key;
    for (char c : line) {
        if (key.size() == KeyLimit) break;
        if (isAlnum(c)) key += c;
    }
    return key;
}

std::string prefixedKey(std::string_view line, std::string_view fileName) {
    std::string key;
    for (size_t i = 0; i < KeyPrefixLength; ++i)
        key += (i < line.size() && isAlnum(line[i])) ? line[i] : 'F';
    key += fileName;
    if (key.size() > KeyLimit) key.resize(KeyLimit);
    return key;
}

}  // namespace

int recognizeSubject(std::string_view subject, std::string& key, int& part, int& total) {
    const Recognizers& patterns = recognizers();
    std::string_view line = firstLine(subject);
    std::string working = lowerCopy(line);

    bool numbered = false;
    if (RegexMatch match = patterns.part.search(working)) {
        // The digits come from the subject itself at the match's offsets.
        std::optional<std::string> text = match.copyGroup(1, line, MatchCapacity);
        numbered = text && readPartNumbers(*text, part, total);
    }

    RegexMatch name = patterns.fileName.search(working);
    std::optional<std::string> fileName;
    if (name) fileName = name.copyGroup(1, working, MatchCapacity);
    key = fileName ? prefixedKey(line, *fileName) : lettersAndDigits(line);
    return numbered ? 0 : 1;
}

}  // namespace qm
