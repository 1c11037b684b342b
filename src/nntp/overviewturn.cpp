// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/overviewturn.h"

#include <algorithm>
#include <limits>
#include <string>

#include "config/appsettings.h"
#include "config/groupentry.h"
#include "config/results.h"
#include "decode/savedarticle.h"
#include "nntp/nntpconnection.h"
#include "nntp/overviewline.h"
#include "nntp/retrievalsteps.h"

namespace qm {
namespace {

// A size the overview does not give counts as a big article's; a number only probed is most
// likely not there at all.
constexpr std::int64_t UnknownBytes = 64 * 1024;
constexpr std::int64_t ProbeBytes = 4 * 1024;
// An empty window without an article to start NEXT from: the next one covers this many
// times as many numbers.
constexpr std::int64_t SpanGrowth = 16;

// The subject as the walk sees it in the header: the value after "Subject:", its blank
// included.
std::string headerSubject(const std::string& overviewSubject) {
    return overviewSubject.empty() ? std::string() : " " + overviewSubject;
}

}  // namespace

std::int64_t OverviewTurn::aheadLimit(std::chrono::microseconds roundTrip) {
    // What the line carries in one round trip at LineRate, within bounds: more only fills
    // buffers (and, near the server, the caches), less leaves the line idle.
    const std::int64_t bytes = roundTrip.count() * LineRate / 1000000;
    return std::clamp<std::int64_t>(bytes, MinBytesAhead, MaxBytesAhead);
}

OverviewTurn::Result OverviewTurn::run(GroupEntry& group, bool onlyGroup) {
    GroupStats& stats = group.ensureStats();
    const std::int64_t last = stats.last.load();
    const std::int64_t current = stats.current.load();
    bool finished = current >= last;
    if (!finished) {
        const std::int64_t from = current + 1;
        std::optional<Window> window = select(group, request(group, from, anchorFor(group, from)));
        if (!window) return Result::NoOverview;
        const bool prefetch = onlyGroup && window->end < last;
        if (!fetch(group, *window, prefetch)) return Result::Read;
        // The server's range is covered; numbers left unconfirmed at its end wait for the
        // next run.
        finished = window->end >= last;
    }
    if (finished) {
        m_steps.log("No more news from " + group.name());
        group.set(Finished);
    }
    return Result::Read;
}

std::int64_t OverviewTurn::anchorFor(GroupEntry& group, std::int64_t from) {
    const GroupStats& stats = group.ensureStats();
    const std::int64_t first = stats.first.load();
    const std::int64_t known = m_groups[&group].known;
    if (known >= first && known < from) return known;
    // The last article dealt with is most often still there; STAT tells.
    const std::int64_t current = stats.current.load();
    return current >= first && current < from ? current : -1;
}

OverviewTurn::Request OverviewTurn::request(GroupEntry& group, std::int64_t from,
                                            std::int64_t anchor) {
    const NNTPConnection& connection = m_steps.connection();
    const std::int64_t last = group.ensureStats().last.load();
    Request r;
    r.from = from;
    r.to = std::min(last, saturatingAdd(from - 1, m_groups[&group].span));
    // Where more numbers follow, NEXT from an article before the window says where the next
    // article is, so that a window without one is crossed at once.
    if (anchor >= 0 && r.to < last) {
        r.anchor = anchor;
        r.commands = {"STAT " + std::to_string(anchor), "NEXT"};
    }
    if (std::string listGroup = connection.listGroupCommand(group.name(), r.from, r.to);
        !listGroup.empty())
        r.commands.push_back(std::move(listGroup));
    if (std::string over = connection.overviewCommand(r.from, r.to); !over.empty())
        r.commands.push_back(std::move(over));
    return r;
}

std::optional<std::int64_t> OverviewTurn::readNext(GroupEntry& group, const Request& request) {
    if (request.anchor < 0) return std::nullopt;
    NNTPConnection& connection = m_steps.connection();
    connection.sendCommand(request.commands[0]);
    // Only a STAT answered for the anchor itself puts the server's pointer there.
    const std::optional<ArticleReference> stat = parseNextReply(connection.replyLine());
    const bool anchored = stat && stat->number == request.anchor;
    m_steps.requireConnection();
    m_steps.stopIfLoginMissing(group);
    connection.sendCommand("NEXT");
    m_steps.requireConnection();
    m_steps.stopIfLoginMissing(group);
    const std::optional<ArticleReference> next = parseNextReply(connection.replyLine());
    if (!anchored || !next || next->number <= request.anchor) return std::nullopt;
    return next->number;
}

std::optional<std::vector<std::int64_t>> OverviewTurn::readListGroup(GroupEntry& group,
                                                                     const Request& request,
                                                                     std::int64_t& to) {
    NNTPConnection& connection = m_steps.connection();
    if (connection.listGroupCommand(group.name(), request.from, request.to).empty())
        return std::nullopt;
    const ReplyOutcome asked = connection.requestListGroup(group.name(), request.from, request.to);
    // A server that says "no such article" to an empty range lists none.
    if (asked == ReplyOutcome::NoSuchArticle) return std::vector<std::int64_t>();
    if (asked != ReplyOutcome::Ok) {
        m_steps.requireConnection();
        m_steps.stopIfLoginMissing(group);
        return std::nullopt;
    }
    NumberCollector numbers(request.from, to, static_cast<std::size_t>(WindowLines));
    std::string line;
    while (connection.readLongDataLine(line))
        if (const std::optional<HeaderValue> number = parseHeaderLine(line))
            numbers.add(number->number);
    m_steps.requireConnection();
    // Cut short, the list proves nothing about the numbers it did not reach.
    if (connection.dataTruncated()) return std::nullopt;
    std::vector<std::int64_t> existing = numbers.take();
    to = std::min(to, numbers.cutoff());
    return existing;
}

std::optional<OverviewTurn::Window> OverviewTurn::select(GroupEntry& group,
                                                         const Request& request) {
    NNTPConnection& connection = m_steps.connection();
    GroupStats& stats = group.ensureStats();
    // Sent behind the last window's articles already, unless that window ended otherwise.
    if (m_prefetched != request.commands || connection.commandsAhead() < request.commands.size())
        connection.sendAhead(request.commands);
    m_prefetched.clear();

    WindowFacts facts;
    facts.from = request.from;
    facts.last = stats.last.load();
    facts.anchor = request.anchor;
    facts.next = readNext(group, request);
    std::int64_t to = request.to;
    facts.existing = readListGroup(group, request, to);

    const ReplyOutcome asked = connection.requestOverview(request.from, request.to);
    if (asked != ReplyOutcome::Ok && asked != ReplyOutcome::NoSuchArticle) {
        m_steps.requireConnection();
        m_steps.stopIfLoginMissing(group);
        if (asked != ReplyOutcome::Unsupported) m_steps.log(connection.replyLine());
        return std::nullopt;
    }
    if (asked == ReplyOutcome::Ok) {
        OverviewCollector collector(request.from, to, WindowBytes);
        std::string line;
        while (connection.readLongDataLine(line)) {
            std::optional<OverviewEntry> entry = parseOverviewLine(line);
            if (!entry) continue;
            entry->date = std::string();  // not needed here: no memory for it
            collector.add(std::move(*entry));
        }
        m_steps.requireConnection();
        facts.listed = collector.take();
        to = std::min(to, collector.cutoff());
    }
    facts.end = to;
    if (facts.existing) std::erase_if(*facts.existing, [&](std::int64_t n) { return n > to; });

    const WindowPlan plan = planWindow(facts);
    GroupState& state = m_groups[&group];
    if (to < request.to) {
        // Cut by the budget: the next windows ask for no more numbers than this one kept.
        state.span = std::max<std::int64_t>(to - request.from + 1, 1);
    } else if (plan.asks.empty() && !plan.tail && plan.end == to) {
        // No article, and nothing known to start NEXT from: look further at once next time.
        state.span = state.span > std::numeric_limits<std::int64_t>::max() / SpanGrowth
                         ? std::numeric_limits<std::int64_t>::max()
                         : state.span * SpanGrowth;
    } else {
        state.span =
            state.span >= WindowLines ? WindowLines : std::min(WindowLines, state.span * 2);
    }
    // The highest article the server named: the next window's NEXT may start from it.
    for (const WindowAsk& ask : plan.asks)
        if (ask.kind == WindowAsk::Kind::Listed || ask.kind == WindowAsk::Kind::Known)
            state.known = std::max(state.known, ask.number);
    return accept(group, facts, plan);
}

OverviewTurn::Window OverviewTurn::accept(GroupEntry& group, const WindowFacts& facts,
                                          const WindowPlan& plan) {
    GroupStats& stats = group.ensureStats();
    Window window;
    window.end = plan.end;
    window.tail = plan.tail;
    if (plan.leftOut > 0)
        m_steps.log(group.name() + ": the overview of " + std::to_string(facts.from) + "-" +
                    std::to_string(plan.end) + " left out " + std::to_string(plan.leftOut) +
                    (plan.leftOut == 1 ? " number" : " numbers") + "; asked for directly");
    // Without DecodeLock: a window's lookups (in the history too) never hold up other
    // readers' decoding. An article another reader records meanwhile is caught again by the
    // check under the lock before it is decoded.
    std::vector<bool> retrieved(plan.asks.size(), false);
    for (std::size_t i = 0; i < plan.asks.size(); ++i)
        if (plan.asks[i].kind == WindowAsk::Kind::Listed)
            retrieved[i] = m_steps.isRetrieved(group, facts.listed[plan.asks[i].entry].messageId);
    // The kill pattern has a lock of its own, never taken with DecodeLock.
    for (std::size_t i = 0; i < plan.asks.size(); ++i) {
        const WindowAsk& ask = plan.asks[i];
        if (ask.kind != WindowAsk::Kind::Listed) {
            const bool known = ask.kind == WindowAsk::Kind::Known;
            window.wanted.push_back({ask.number, known ? UnknownBytes : ProbeBytes, ask.kind, {}});
            continue;
        }
        if (retrieved[i]) {
            stats.duplicates += 1;
            continue;
        }
        const OverviewEntry& entry = facts.listed[ask.entry];
        if (m_steps.filter(headerSubject(entry.subject), entry.lines) != results::Ok) continue;
        window.wanted.push_back({entry.number, entry.bytes > 0 ? entry.bytes : UnknownBytes,
                                 ask.kind, entry.messageId});
    }
    return window;
}

bool OverviewTurn::passesChecks(GroupEntry& group) {
    SavedArticle& article = m_steps.article();
    if (m_steps.isRetrieved(group, article.messageId)) {
        group.ensureStats().duplicates += 1;
        return false;
    }
    return m_steps.filter(article.subject(), article.lines.load()) == results::Ok;
}

bool OverviewTurn::fetch(GroupEntry& group, const Window& window, bool prefetch) {
    GroupStats& stats = group.ensureStats();
    NNTPConnection& connection = m_steps.connection();
    SavedArticle& article = m_steps.article();
    GroupState& state = m_groups[&group];
    const std::vector<Wanted>& wanted = window.wanted;
    const auto deadline = std::chrono::steady_clock::now() + TurnTime;
    const std::int64_t bytesLimit = aheadLimit(connection.roundTrip());
    std::size_t sent = 0;
    std::int64_t bytesAhead = 0;
    bool overtime = false;
    // The first article the server answered with another one: the position stays before it.
    bool blocked = false;
    // Articles the server lacks, asked of the fill servers together once the window's replies
    // are read; until then the position stays before the first of them.
    std::vector<RetrievalSteps::Lacking> lacking;
    std::int64_t hold = std::numeric_limits<std::int64_t>::max();
    std::int64_t dealt = stats.current.load();
    auto advance = [&](std::int64_t number) {
        dealt = std::max(dealt, number);
        const std::int64_t to = std::min(number, hold);
        if (!blocked && stats.current.load() < to) stats.current = to;
    };
    auto lacks = [&](const Wanted& item) {
        if (lacking.empty()) hold = item.number - 1;
        lacking.push_back({item.number, item.messageId});
    };
    // False when a decode failed: the group stops for this run.
    auto fill = [&] {
        const bool decoded = m_steps.fillLacking(group, lacking);
        if (!decoded) return false;
        lacking.clear();
        hold = std::numeric_limits<std::int64_t>::max();
        advance(dealt);
        return true;
    };
    std::vector<std::string> commands;
    auto fits = [&](std::size_t taken) {
        return sent < wanted.size() && sent - taken < Depth &&
               (sent == taken || bytesAhead + wanted[sent].bytes <= bytesLimit);
    };
    for (std::size_t taken = 0; taken < wanted.size(); ++taken) {
        if (taken == sent && overtime) break;  // the rest waits for the next turn
        // Keep the line full: more commands go out before this article's reply is read.
        overtime = overtime || std::chrono::steady_clock::now() > deadline;
        if (!overtime && (sent == taken || sent - taken + RefillCount <= Depth ||
                          bytesAhead + RefillBytes <= bytesLimit)) {
            commands.clear();
            for (; fits(taken); ++sent) {
                commands.push_back("ARTICLE " + std::to_string(wanted[sent].number));
                bytesAhead += wanted[sent].bytes;
            }
            // The next window's commands behind this one's last article: their answers are
            // there when the next turn reads them.
            if (sent == wanted.size() && !commands.empty() && prefetch) {
                const std::int64_t from = window.end + 1;
                m_prefetched = request(group, from, anchorFor(group, from)).commands;
                commands.insert(commands.end(), m_prefetched.begin(), m_prefetched.end());
            }
            if (!commands.empty()) connection.sendAhead(commands);
        }

        m_steps.checkStop();
        const Wanted& item = wanted[taken];
        // Every number before it in the window is dealt with: filtered, or not on the server.
        // Above the last article known, only an article found proves that.
        if (item.kind != WindowAsk::Kind::Tail) advance(item.number - 1);
        article.reset();
        const int result = connection.fetchArticle(std::to_string(item.number), article);
        bytesAhead -= item.bytes;
        if (result == results::Ok) {
            if (!m_steps.isArticleAsked(group, item.number, item.messageId)) {
                // Not recorded under a number or id not its own; asked for again next run.
                article.discard();
                blocked = true;
                continue;
            }
            state.known = std::max(state.known, item.number);
            if (!item.messageId.empty() && m_steps.isDamagedYencPart()) {
                if (!m_steps.replaceDamaged(group, item.number, item.messageId)) return false;
                advance(item.number);
                continue;
            }
            if (item.kind != WindowAsk::Kind::Listed && !passesChecks(group)) {
                article.discard();
                advance(item.number);
                continue;
            }
            stats.retrieved += 1;
            if (m_steps.decodeAndRecord(group) == RetrievalSteps::Decoded::Failed) return false;
            advance(item.number);
            continue;
        }
        m_steps.requireConnection();
        const bool noSuchArticle =
            connection.outcome(NntpCommand::Article) == ReplyOutcome::NoSuchArticle;
        // Gone, or held back damaged (451): a fill server may have it under its id.
        if ((noSuchArticle || connection.replyCode() == 451) &&
            item.kind == WindowAsk::Kind::Listed && !item.messageId.empty() && m_steps.canFill()) {
            lacks(item);
            advance(item.number);
            continue;
        }
        if (noSuchArticle) {
            // Listed, but cancelled or expired since: asking again would never end.
            if (item.kind == WindowAsk::Kind::Listed)
                m_steps.log(group.name() + ": article " + std::to_string(item.number) +
                            " of the overview is not on the server; stepped over");
            if (item.kind != WindowAsk::Kind::Tail) advance(item.number);
            continue;
        }
        m_steps.stopIfLoginMissing(group);
        // Refused for another reason (the reply is logged): nothing is stepped over, the
        // group waits for the next run.
        group.clear(Active);
        return false;
    }
    if (!fill()) return false;
    if (sent != wanted.size()) return false;
    if (blocked) {
        // The rest of the window is recorded; the group waits for the next run, which asks
        // again from the article answered wrongly.
        group.clear(Active);
        return false;
    }
    // Past the last article known, the numbers not found may yet come: the position stays
    // at the last article found.
    if (!window.tail) advance(window.end);
    return true;
}

}  // namespace qm
