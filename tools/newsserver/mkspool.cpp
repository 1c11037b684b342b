// SPDX-License-Identifier: GPL-3.0-or-later
// qmere-mkspool: writes a synthetic spool for the fixture news server (and, if asked, the same
// articles as an rnews batch for INN), for tests, the demo and the benchmarks.
#include <charconv>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "newsserver/spoolmaker.h"

namespace {

using qm::newsd::PictureEncoding;
using qm::newsd::SpoolPlan;

const char* const Usage =
    "usage: qmere-mkspool [--spool DIR] [--rnews FILE] [--group NAME] [--articles N]\n"
    "                     [--first N] [--picture-every K] [--picture-bytes N | --article-kb K]\n"
    "                     [--encoding yenc|uu] [--start TIME] [--step-seconds S] [--seed N]\n"
    "Writes N articles numbered from --first into DIR/NAME (and/or an rnews batch): every K-th\n"
    "a single-part JPEG post, the others short text, dated from TIME (YYYY-MM-DD[THH:MM:SS],\n"
    "seconds since 1970, or now-Nd / now-Nh / now-Ns; UTC) in steps of S seconds.\n";

template <typename T>
bool parseNumber(std::string_view text, T& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

bool parseTime(std::string_view text, std::int64_t& time) {
    if (text.substr(0, 4) == "now-" && text.size() > 5) {
        std::int64_t amount = 0;
        const char unit = text.back();
        const std::int64_t scale = unit == 'd' ? 86400 : unit == 'h' ? 3600 : unit == 's' ? 1 : 0;
        if (scale == 0 || !parseNumber(text.substr(4, text.size() - 5), amount)) return false;
        time = std::time(nullptr) - amount * scale;
        return true;
    }
    if (parseNumber(text, time)) return true;
    std::tm tm{};
    int matched = std::sscanf(std::string(text).c_str(), "%d-%d-%dT%d:%d:%d", &tm.tm_year,
                              &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec);
    if (matched != 3 && matched != 6) return false;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    time = timegm(&tm);
    return true;
}

// Applies one option; false when it is unknown or its value does not fit.
bool apply(std::string_view name, std::string_view value, SpoolPlan& plan) {
    if (name == "--spool") return !(plan.spoolDir = value).empty();
    if (name == "--rnews") return !(plan.rnewsFile = value).empty();
    if (name == "--group") return !(plan.group = value).empty();
    if (name == "--articles") return parseNumber(value, plan.articles);
    if (name == "--first") return parseNumber(value, plan.firstNumber) && plan.firstNumber > 0;
    if (name == "--picture-every") return parseNumber(value, plan.pictureEvery);
    if (name == "--picture-bytes") return parseNumber(value, plan.pictureBytes);
    if (name == "--article-kb") {
        std::size_t kb = 0;
        if (!parseNumber(value, kb)) return false;
        plan.pictureBytes = qm::newsd::pictureBytesFor(kb * 1000, plan.encoding);
        return true;
    }
    if (name == "--encoding") {
        if (value != "yenc" && value != "uu") return false;
        plan.encoding = value == "uu" ? PictureEncoding::Uuencode : PictureEncoding::Yenc;
        return true;
    }
    if (name == "--start") return parseTime(value, plan.startTime);
    if (name == "--step-seconds") return parseNumber(value, plan.stepSeconds);
    if (name == "--seed") return parseNumber(value, plan.seed);
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    SpoolPlan plan;
    // --encoding first, so that --article-kb sizes pictures for the encoding given.
    for (std::size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == "--encoding") apply(args[i], args[i + 1], plan);
    for (std::size_t i = 0; i < args.size(); i += 2) {
        if (args[i] == "--help" || args[i] == "-h") {
            std::fputs(Usage, stdout);
            return 0;
        }
        if (i + 1 >= args.size() || !apply(args[i], args[i + 1], plan)) {
            std::fprintf(stderr, "qmere-mkspool: bad argument: %.*s\n%s",
                         static_cast<int>(args[i].size()), args[i].data(), Usage);
            return 2;
        }
    }
    if (plan.spoolDir.empty() && plan.rnewsFile.empty()) {
        std::fprintf(stderr, "qmere-mkspool: --spool DIR or --rnews FILE is required\n%s", Usage);
        return 2;
    }
    try {
        const auto started = std::chrono::steady_clock::now();
        const auto summary = qm::newsd::makeSpool(plan);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const std::int64_t last =
            plan.startTime +
            static_cast<std::int64_t>(plan.articles ? plan.articles - 1 : 0) * plan.stepSeconds;
        std::printf(
            "%s: %llu articles numbered %llu-%llu, %llu pictures, %.1f MB, dated %s to "
            "%s, written in %.2f s\n",
            plan.group.c_str(), static_cast<unsigned long long>(summary.articles),
            static_cast<unsigned long long>(plan.firstNumber),
            static_cast<unsigned long long>(plan.firstNumber + plan.articles - 1),
            static_cast<unsigned long long>(summary.pictures), summary.bytes / 1e6,
            qm::newsd::articleDate(plan.startTime).c_str(), qm::newsd::articleDate(last).c_str(),
            seconds);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qmere-mkspool: %s\n", e.what());
        return 1;
    }
    return 0;
}
