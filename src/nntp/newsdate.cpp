// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/newsdate.h"

#include <array>
#include <cctype>
#include <charconv>
#include <string>
#include <vector>

namespace qm {
namespace {

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
std::int64_t daysFromCivil(std::int64_t year, int month, int day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const int shifted = month > 2 ? month - 3 : month + 9;
    const std::int64_t dayOfYear = (153 * shifted + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

std::optional<int> smallNumber(std::string_view text) {
    int value = 0;
    if (text.empty() || text.size() > 4) return std::nullopt;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

int monthNumber(std::string_view word) {
    static constexpr std::array<std::string_view, 12> Months = {
        "JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    if (word.size() < 3) return 0;
    const std::string prefix = upper(word.substr(0, 3));
    for (std::size_t i = 0; i < Months.size(); ++i)
        if (Months[i] == prefix) return static_cast<int>(i) + 1;
    return 0;
}

// Minutes east of UTC for a zone word; nothing when it is not a zone.
std::optional<int> zoneMinutes(std::string_view word) {
    if (word.size() == 5 && (word[0] == '+' || word[0] == '-')) {
        const auto hhmm = smallNumber(word.substr(1));
        if (!hhmm) return std::nullopt;
        const int minutes = (*hhmm / 100) * 60 + *hhmm % 100;
        return word[0] == '-' ? -minutes : minutes;
    }
    struct Zone {
        std::string_view name;
        int hours;
    };
    static constexpr Zone Zones[] = {{"UT", 0},   {"UTC", 0},  {"GMT", 0},  {"Z", 0},
                                     {"EST", -5}, {"EDT", -4}, {"CST", -6}, {"CDT", -5},
                                     {"MST", -7}, {"MDT", -6}, {"PST", -8}, {"PDT", -7}};
    const std::string name = upper(word);
    for (const Zone& zone : Zones)
        if (zone.name == name) return zone.hours * 60;
    return std::nullopt;
}

// "hh:mm" or "hh:mm:ss" in seconds.
std::optional<int> timeOfDay(std::string_view word) {
    int parts[3] = {0, 0, 0};
    int count = 0;
    while (count < 3) {
        const std::size_t colon = word.find(':');
        const auto value = smallNumber(word.substr(0, colon));
        if (!value) return std::nullopt;
        parts[count++] = *value;
        if (colon == std::string_view::npos) break;
        word.remove_prefix(colon + 1);
    }
    if (count < 2 || parts[0] > 23 || parts[1] > 59 || parts[2] > 60) return std::nullopt;
    return parts[0] * 3600 + parts[1] * 60 + parts[2];
}

// The words of text: split at blanks and commas, comments in parentheses dropped.
std::vector<std::string_view> words(std::string_view text) {
    std::vector<std::string_view> out;
    int depth = 0;
    std::size_t start = std::string_view::npos;
    for (std::size_t i = 0; i <= text.size() && out.size() < 16; ++i) {
        const char c = i < text.size() ? text[i] : ' ';
        const bool separator = c == ' ' || c == '\t' || c == ',' || c == '(' || c == ')' || depth;
        if (c == '(') ++depth;
        if (c == ')' && depth > 0) --depth;
        if (separator) {
            if (start != std::string_view::npos) out.push_back(text.substr(start, i - start));
            start = std::string_view::npos;
        } else if (start == std::string_view::npos) {
            start = i;
        }
    }
    return out;
}

}  // namespace

std::optional<std::int64_t> parseNewsDate(std::string_view text) {
    std::optional<int> day, month, year, seconds, zone;
    for (std::string_view word : words(text)) {
        if (!seconds && word.find(':') != std::string_view::npos) {
            seconds = timeOfDay(word);
            continue;
        }
        if (!month && monthNumber(word) != 0 &&
            !std::isdigit(static_cast<unsigned char>(word[0]))) {
            month = monthNumber(word);
            continue;
        }
        if (const auto n = smallNumber(word)) {
            if (!day && !month && *n >= 1 && *n <= 31)
                day = *n;
            else if (!year && month)
                year = *n;
            continue;
        }
        if (seconds && !zone) zone = zoneMinutes(word);
    }
    if (!day || !month || !year || !seconds || *day > 31) return std::nullopt;
    int fullYear = *year;
    if (fullYear < 50)
        fullYear += 2000;
    else if (fullYear < 1000)
        fullYear += 1900;
    const std::int64_t days = daysFromCivil(fullYear, *month, *day);
    return days * 86400 + *seconds - static_cast<std::int64_t>(zone.value_or(0)) * 60;
}

}  // namespace qm
