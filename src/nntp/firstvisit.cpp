// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/firstvisit.h"

#include <algorithm>
#include <string>
#include <vector>

#include "decode/savedarticle.h"
#include "model/groupentry.h"
#include "nntp/newsdate.h"
#include "nntp/nntpconnection.h"
#include "nntp/overviewline.h"
#include "nntp/overviewwindow.h"
#include "nntp/retrievalsteps.h"

namespace qm {
namespace {

// A probe asks for this many numbers at first; where none of them has an article (a gap of
// cancelled or expired ones), for this many times as many from there.
constexpr std::int64_t ProbeNumbers = 16;
constexpr std::int64_t ProbeGrowth = 16;
constexpr std::int64_t MaxProbeNumbers = 65536;
// A server with neither HDR nor an overview is probed with STAT, this many at most in one
// write, and a HEAD of the first article found.
constexpr std::int64_t StatProbes = 64;
// LAST commands in one write when the newest articles are counted.
constexpr std::int64_t LastSteps = 1024;

std::optional<std::int64_t> headerDate(const std::string& header) {
    std::size_t at = 0;
    while (at < header.size()) {
        const std::size_t end = std::min(header.find('\n', at), header.size());
        const std::string_view line(header.data() + at, end - at);
        if (line.size() > 5 && (line[0] == 'D' || line[0] == 'd') &&
            (line.substr(1, 4) == "ate:" || line.substr(1, 4) == "ATE:"))
            return parseNewsDate(line.substr(5));
        at = end + 1;
    }
    return std::nullopt;
}

}  // namespace

std::int64_t FirstVisit::start(GroupEntry& group, std::time_t now) {
    m_group = &group;
    GroupStats& stats = group.ensureStats();
    const std::int64_t first = stats.first.load();
    const std::int64_t last = stats.last.load();
    if (last < first) return first;
    std::int64_t number = first;
    if (m_days > 0) {
        number = searchByDate(first, last, static_cast<std::int64_t>(now) - m_days * 86400LL);
        m_steps.log(group.name() + ": first visit, the articles of the last " +
                    std::to_string(m_days) + " days start at " + std::to_string(number));
    } else if (m_newest > 0 && last >= saturatingAdd(first, m_newest)) {
        number = newestStart(first, last);
        m_steps.log(group.name() + ": first visit, the newest " + std::to_string(m_newest) +
                    " articles start at " + std::to_string(number));
    }
    return number;
}

std::int64_t FirstVisit::newestStart(std::int64_t first, std::int64_t last) {
    NNTPConnection& connection = m_steps.connection();
    // Numbers that hold no article do not count: LAST steps back one article at a time from
    // the newest, many steps in one write.
    std::int64_t found = last;  // the oldest of the newest articles counted so far
    std::int64_t counted = 0;
    while (counted < m_newest) {
        const std::int64_t batch = std::min<std::int64_t>(m_newest - counted, LastSteps);
        std::vector<std::string> commands;
        if (counted == 0) commands.push_back("STAT " + std::to_string(last));
        while (static_cast<std::int64_t>(commands.size()) < batch) commands.push_back("LAST");
        connection.sendAhead(commands);
        for (const std::string& command : commands) {
            const NntpReply answer = connection.sendCommand(command);
            check();
            const std::optional<ArticleReference> reply = parseNextReply(answer);
            if (counted == 0) {
                // Without the newest article to step back from, count numbers as before.
                if (!reply || reply->number != last) return std::max(first, last - m_newest + 1);
            } else if (!reply || reply->number >= found || reply->number < first) {
                return found;  // no article before it: the group holds fewer than asked
            }
            found = reply->number;
            ++counted;
        }
    }
    return found;
}

std::int64_t FirstVisit::searchByDate(std::int64_t first, std::int64_t last, std::int64_t cutoff) {
    // The smallest number known to be recent enough (saturated: a range may end at the
    // largest article number).
    std::int64_t best = saturatingAdd(last, 1);
    std::int64_t low = first;
    std::int64_t high = best;  // the answer lies in low..high (high: best so far)
    while (low < high) {
        const std::int64_t middle = low + (high - low) / 2;
        std::optional<Dated> found;
        std::int64_t span = ProbeNumbers;
        std::int64_t from = middle;
        while (!found && from < high) {
            const Probe probed = probe(from, std::min(high - 1, saturatingAdd(from, span - 1)));
            found = probed.found;
            from = probed.through + 1;
            span = std::min(span * ProbeGrowth, MaxProbeNumbers);
        }
        if (!found) {
            high = middle;  // nothing dated from middle on: the answer lies before it
        } else if (found->time >= cutoff) {
            best = found->number;
            high = found->number;
        } else {
            low = found->number + 1;
        }
    }
    return best;
}

void FirstVisit::check() {
    m_steps.requireConnection();
    m_steps.stopIfLoginMissing(*m_group);
}

FirstVisit::Probe FirstVisit::probe(std::int64_t from, std::int64_t to) {
    m_steps.checkStop();
    NNTPConnection& connection = m_steps.connection();
    if (connection.capabilities().hdr) return probeHeaders(from, to);
    if (connection.overview() != NNTPConnection::Overview::None) return probeOverview(from, to);
    return probeArticles(from, to);
}

FirstVisit::Probe FirstVisit::probeHeaders(std::int64_t from, std::int64_t to) {
    NNTPConnection& connection = m_steps.connection();
    const ReplyOutcome asked = connection.requestHeader("Date", from, to);
    if (asked != ReplyOutcome::Ok) {
        check();
        if (asked == ReplyOutcome::NoSuchArticle) return {std::nullopt, to};
        return probeOverview(from, to);
    }
    Probe probed{std::nullopt, to};
    std::string line;
    while (connection.readLongDataLine(line)) {  // read to the end, the first date kept
        if (probed.found) continue;
        const std::optional<HeaderValue> header = parseHeaderLine(line);
        if (!header || header->number < from || header->number > to) continue;
        if (const auto time = parseNewsDate(header->value))
            probed.found = Dated{header->number, *time};
    }
    check();
    return probed;
}

FirstVisit::Probe FirstVisit::probeOverview(std::int64_t from, std::int64_t to) {
    NNTPConnection& connection = m_steps.connection();
    const ReplyOutcome asked = connection.requestOverview(from, to);
    if (asked != ReplyOutcome::Ok) {
        check();
        if (asked == ReplyOutcome::NoSuchArticle) return {std::nullopt, to};
        return probeArticles(from, to);
    }
    Probe probed{std::nullopt, to};
    std::string line;
    while (connection.readLongDataLine(line)) {
        if (probed.found) continue;
        const std::optional<OverviewEntry> entry = parseOverviewLine(line);
        if (!entry || entry->number < from || entry->number > to) continue;
        if (const auto time = parseNewsDate(entry->date))
            probed.found = Dated{entry->number, *time};
    }
    check();
    return probed;
}

FirstVisit::Probe FirstVisit::probeArticles(std::int64_t from, std::int64_t to) {
    NNTPConnection& connection = m_steps.connection();
    SavedArticle& article = m_steps.article();
    to = std::min(to, from + StatProbes - 1);
    std::vector<std::string> commands;
    for (std::int64_t n = from; n <= to; ++n) commands.push_back("STAT " + std::to_string(n));
    connection.sendAhead(commands);
    for (std::int64_t n = from; n <= to; ++n) {
        article.reset();
        // A reply for another article would date the wrong one.
        if (!connection.statArticle(std::to_string(n), article).ok() ||
            connection.lastArticle().number != n) {
            check();
            continue;
        }
        // The rest of the probes are read past by the HEAD.
        if (connection.fetchHead(std::to_string(n), article).ok())
            if (const auto time = headerDate(article.header)) return {Dated{n, *time}, n};
        check();
        return {std::nullopt, n};
    }
    return {std::nullopt, to};
}

}  // namespace qm
