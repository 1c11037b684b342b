// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/overviewturn.h"

#include <algorithm>
#include <deque>
#include <limits>
#include <string>

#include "config/appsettings.h"
#include "decode/savedarticle.h"
#include "model/groupentry.h"
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
    SharedGroupTurn& shared = m_turns.turnFor(group);
    if (shared.overviewless()) return Result::NoOverview;
    NNTPConnection& connection = m_steps.connection();
    std::deque<InFlight> pipe;
    std::size_t articlesAhead = 0;
    std::int64_t bytesAhead = 0;
    // Whatever this reader leaves unread goes back to the others: the position waits for it.
    struct Leave {
        SharedGroupTurn& shared;
        std::deque<InFlight>& pipe;
        ~Leave() {
            for (const InFlight& entry : pipe) {
                if (entry.window)
                    shared.dropClaim();
                else
                    shared.release(entry.ticket);
            }
            shared.leave();
        }
    } leave{shared, pipe};
    // Articles waiting for the fill servers when the turn ends early are handed out again.
    struct ReleaseLacking {
        SharedGroupTurn& shared;
        std::vector<LackingItem>& lacking;
        ~ReleaseLacking() {
            for (const LackingItem& l : lacking) shared.release(l.ticket);
            lacking.clear();
        }
    } releaseLacking{shared, m_lacking};
    shared.join();

    const auto start = std::chrono::steady_clock::now();
    auto saveAt = start + SaveTime;
    bool overtime = false;
    bool windowAsked = false;
    bool noOverview = false;
    std::vector<std::string> commands;
    for (;;) {
        m_steps.checkStop();
        const auto now = std::chrono::steady_clock::now();
        if (!onlyGroup && now > start + TurnTime) overtime = true;
        if (onlyGroup && now >= saveAt) {
            // The turn does not end here: the position and the picture list are written
            // without draining the pipe.
            RetrievalSteps::endTurn(m_steps.settings(), group);
            saveAt = now + SaveTime;
            if (m_steps.pendingGroups()) onlyGroup = false;  // a group came: take turns again
        }
        // What keeps this reader's line full, but no more than its share of what is left, so
        // that the readers on the group run out together.
        const std::int64_t limit =
            std::min(aheadLimit(connection.roundTrip()),
                     std::max<std::int64_t>(MinBytesAhead, m_turns.fairShare(shared)));
        if (!overtime && !noOverview &&
            (articlesAhead == 0 || articlesAhead + RefillCount <= Depth ||
             bytesAhead + RefillBytes <= limit)) {
            commands.clear();
            while (articlesAhead < Depth) {
                std::optional<std::pair<SharedGroupTurn::Ticket, TurnItem>> got =
                    shared.take(limit - bytesAhead, articlesAhead == 0);
                if (!got) break;
                commands.push_back("ARTICLE " + std::to_string(got->second.number));
                bytesAhead += got->second.bytes;
                ++articlesAhead;
                pipe.push_back(InFlight{false, got->first, std::move(got->second), {}});
            }
            // The next window behind this reader's articles, once the others have no more
            // than their pipes' worth left, so that its answer comes before they run dry. A
            // reader that takes turns among groups asks for one window a turn, at its start.
            const bool mayAsk = isEligible(group) && (onlyGroup || (!windowAsked && pipe.empty()));
            const std::int64_t low =
                onlyGroup ? static_cast<std::int64_t>(std::max(shared.readers() - 1, 0)) * limit + 1
                          : 1;
            if (mayAsk) {
                if (std::optional<SharedGroupTurn::WindowClaim> claim = shared.claimWindow(low)) {
                    InFlight entry;
                    entry.window = true;
                    entry.request = request(group, *claim);
                    commands.insert(commands.end(), entry.request.commands.begin(),
                                    entry.request.commands.end());
                    pipe.push_back(std::move(entry));
                    windowAsked = true;
                }
            }
            if (!commands.empty()) connection.sendAhead(commands);
        }

        // What the main server lacked is asked of the fill servers before the turn may end.
        if (pipe.empty() && !m_lacking.empty() && !fillLacking(group, shared)) return Result::Read;
        if (pipe.empty()) {
            if (noOverview) return Result::NoOverview;
            if (shared.claimFinish()) {
                m_steps.log("No more news from " + group.name());
                group.set(Finished);
                return Result::Read;
            }
            if (overtime || shared.over() || !isEligible(group)) return Result::Read;
            if (!onlyGroup && windowAsked) return Result::Read;  // the window is read
            // Another reader asks for the next window: its answer comes behind its articles.
            shared.wait(std::chrono::milliseconds(50));
            continue;
        }
        InFlight entry = std::move(pipe.front());
        pipe.pop_front();
        if (entry.window) {
            std::optional<Window> window;
            try {
                window = select(group, entry.request);
            } catch (...) {
                shared.dropClaim();
                throw;
            }
            if (!window) {
                shared.setOverviewless();
                noOverview = true;
                continue;
            }
            shared.addWindow(window->end, window->tail, std::move(window->wanted), window->span,
                             window->known);
            continue;
        }
        --articlesAhead;
        bytesAhead -= entry.item.bytes;
        bool kept = false;
        try {
            kept = fetchOne(group, shared, entry);
        } catch (...) {
            shared.release(entry.ticket);
            throw;
        }
        if (!kept) return Result::Read;
    }
}

std::int64_t OverviewTurn::anchorFor(GroupEntry& group, std::int64_t from, std::int64_t known) {
    const GroupStats& stats = group.ensureStats();
    const std::int64_t first = stats.first.load();
    if (known >= first && known < from) return known;
    // The last article dealt with is most often still there; STAT tells.
    const std::int64_t current = stats.current.load();
    return current >= first && current < from ? current : -1;
}

OverviewTurn::Request OverviewTurn::request(GroupEntry& group,
                                            const SharedGroupTurn::WindowClaim& claim) {
    const NNTPConnection& connection = m_steps.connection();
    const std::int64_t last = group.ensureStats().last.load();
    Request r;
    r.from = claim.from;
    r.span = claim.span > 0 ? claim.span : WindowLines;
    r.known = claim.known;
    r.to = std::min(last, saturatingAdd(r.from - 1, r.span));
    const std::int64_t anchor = anchorFor(group, r.from, claim.known);
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
    // Only a STAT answered for the anchor itself puts the server's pointer there.
    const std::optional<ArticleReference> stat =
        parseNextReply(connection.sendCommand(request.commands[0]));
    const bool anchored = stat && stat->number == request.anchor;
    m_steps.requireConnection();
    m_steps.stopIfLoginMissing(group);
    const NntpReply nextReply = connection.sendCommand("NEXT");
    m_steps.requireConnection();
    m_steps.stopIfLoginMissing(group);
    const std::optional<ArticleReference> next = parseNextReply(nextReply);
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
    // Its commands were sent ahead, behind the articles before it.

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
        if (asked != ReplyOutcome::Unsupported) m_steps.log(connection.lastReply().text());
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
    std::int64_t span = request.span;
    if (to < request.to) {
        // Cut by the budget: the next windows ask for no more numbers than this one kept.
        span = std::max<std::int64_t>(to - request.from + 1, 1);
    } else if (plan.asks.empty() && !plan.tail && plan.end == to) {
        // No article, and nothing known to start NEXT from: look further at once next time.
        span = span > std::numeric_limits<std::int64_t>::max() / SpanGrowth
                   ? std::numeric_limits<std::int64_t>::max()
                   : span * SpanGrowth;
    } else {
        span = span >= WindowLines ? WindowLines : std::min(WindowLines, span * 2);
    }
    Window window = accept(group, facts, plan);
    window.span = span;
    window.known = request.known;
    // The highest article the server named: the next window's NEXT may start from it.
    for (const WindowAsk& ask : plan.asks)
        if (ask.kind == WindowAsk::Kind::Listed || ask.kind == WindowAsk::Kind::Known)
            window.known = std::max(window.known, ask.number);
    return window;
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
        if (m_steps.filter(headerSubject(entry.subject), entry.lines) !=
            RetrievalSteps::Verdict::Take)
            continue;
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
    return m_steps.filter(article.subject(), article.lines.load()) == RetrievalSteps::Verdict::Take;
}

bool OverviewTurn::fetchOne(GroupEntry& group, SharedGroupTurn& shared, const InFlight& entry) {
    GroupStats& stats = group.ensureStats();
    NNTPConnection& connection = m_steps.connection();
    SavedArticle& article = m_steps.article();
    const TurnItem& item = entry.item;
    m_steps.checkStop();
    article.reset();
    const NntpReply reply = connection.fetchArticle(std::to_string(item.number), article);
    if (reply.ok()) {
        if (!m_steps.isArticleAsked(group, item.number, item.messageId)) {
            // Not recorded under a number or id not its own; asked for again next run. The
            // articles already handed out are read; the group waits for the next run.
            article.discard();
            shared.fail(entry.ticket);
            group.clear(Active);
            return true;
        }
        shared.noteKnown(item.number);
        if (!item.messageId.empty() && m_steps.isDamagedYencPart()) {
            // The main server's copy fails its CRC: a fill server may have a sound one.
            if (!m_steps.replaceDamaged(group, item.number, item.messageId)) {
                shared.fail(entry.ticket);
                shared.stop();
                return false;
            }
            shared.done(entry.ticket);
            return true;
        }
        if (item.kind != WindowAsk::Kind::Listed && !passesChecks(group)) {
            article.discard();
            shared.done(entry.ticket);
            return true;
        }
        stats.retrieved += 1;
        if (m_steps.decodeAndRecord(group) == RetrievalSteps::Decoded::Failed) {
            shared.fail(entry.ticket);
            shared.stop();
            return false;
        }
        shared.done(entry.ticket);
        return true;
    }
    m_steps.requireConnection();
    const bool noSuchArticle = reply.is(ReplyOutcome::NoSuchArticle);
    // Gone, or held back damaged: a fill server may have it under its id. Asked with others
    // together; its ticket stays open (the position holds before it) until then.
    if ((noSuchArticle || reply.is(ReplyOutcome::Damaged)) &&
        item.kind == WindowAsk::Kind::Listed && !item.messageId.empty() && m_steps.canFill()) {
        m_lacking.push_back({entry.ticket, {item.number, item.messageId}});
        return m_lacking.size() < FillBatch || fillLacking(group, shared);
    }
    if (noSuchArticle) {
        // Listed, but cancelled or expired since: asking again would never end.
        if (item.kind == WindowAsk::Kind::Listed)
            m_steps.log(group.name() + ": article " + std::to_string(item.number) +
                        " of the overview is not on the server; stepped over");
        // Past the last article known, the numbers not found may yet come.
        shared.done(entry.ticket, item.kind != WindowAsk::Kind::Tail);
        return true;
    }
    m_steps.stopIfLoginMissing(group);
    // Refused for another reason (the reply is logged): nothing is stepped over, the group
    // waits for the next run.
    shared.fail(entry.ticket);
    shared.stop();
    group.clear(Active);
    return false;
}

bool OverviewTurn::fillLacking(GroupEntry& group, SharedGroupTurn& shared) {
    std::vector<RetrievalSteps::Lacking> items;
    std::vector<SharedGroupTurn::Ticket> tickets;
    for (LackingItem& l : m_lacking) {
        items.push_back(std::move(l.item));
        tickets.push_back(l.ticket);
    }
    m_lacking.clear();
    bool decoded = false;
    try {
        decoded = m_steps.fillLacking(group, items);
    } catch (...) {
        for (SharedGroupTurn::Ticket t : tickets) shared.release(t);
        throw;
    }
    for (SharedGroupTurn::Ticket t : tickets) decoded ? shared.done(t) : shared.fail(t);
    if (!decoded) shared.stop();
    return decoded;
}

}  // namespace qm
