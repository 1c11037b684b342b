// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the two ways of reading a group (the walk, article after article, and the overview
// turn, many articles in flight) share: the filters, the duplicate check, decoding an article
// and recording it, the end of a turn, and the checks that end a reader's work. The policy of
// retrieval lives here and in the turns, never in NNTPConnection.
//
// One per reader run, created by the RetrievalLoop on the reader's thread and used only there.
// Borrows the settings, the decoder, the reader record and its connection and SavedArticle,
// and the run's shared state. DecodeLock is taken by the functions that say so; never held
// across a network read.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "decode/decoder.h"

namespace qm {

class AppSettings;
class GroupEntry;
class GroupFolder;
class NNTPConnection;
class ReaderThread;
class SavedArticle;
struct ReaderRunState;

// What a run may ask beyond the settings (the command line's --newest, --since and
// --no-overview). Set before the readers start and read-only while they run.
struct RunOptions {
    std::optional<int> firstVisit;      // instead of "First visit"
    std::optional<int> firstVisitDays;  // instead of "First visit days"
    bool overview = true;               // false: the walk, even where the server has an overview
};

class RetrievalSteps {
  public:
    RetrievalSteps(AppSettings& settings, Decoder& decoder, ReaderThread& reader,
                   SavedArticle& article, ReaderRunState& run);

    AppSettings& settings() const { return m_settings; }
    ReaderThread& reader() const { return m_reader; }
    NNTPConnection& connection() const { return m_connection; }
    SavedArticle& article() const { return m_article; }

    // The group whose articles are retrieved and decoded from now on: its folder goes with the
    // article and is the decoder's output folder.
    void setGroup(GroupEntry& group, const GroupFolder& folder);

    // What the short and kill filters say of an article.
    enum class Verdict { Take, SkipShort, Exclude };
    // The filters of an article's subject (the raw header value, leading blank included) and
    // line count; a skip is logged as "Skip short article " + subject or "Exclude " + subject.
    [[nodiscard]] Verdict filter(std::string_view subject, int lines) const;

    // Whether the last article reply (ARTICLE, HEAD, BODY) is for the article asked: its
    // number, and its ids (reply line, Message-ID header) against each other and against
    // expectedId (from the overview or NEXT; empty: not known). Otherwise logs it and notes a
    // failure of the run: the article is not dealt with. Sets the article's message-id to
    // expectedId when the reply named none.
    bool isArticleAsked(const GroupEntry& group, std::int64_t number, std::string_view expectedId);

    // Whether messageId is in the index or the history (then "<group>: skip retrieved
    // message <id>" is logged, and "Duplicated id" goes to the "Log" file). Needs no lock;
    // with DecodeLock held, no other reader can record it meanwhile.
    bool isRetrieved(const GroupEntry& group, std::string_view messageId) const;

    enum class Decoded {
        Recorded,   // decoded and recorded: dealt with
        Duplicate,  // another reader took it meanwhile: dealt with, not decoded again
        Failed,     // its output could not be written: not dealt with (the group waits for the
                    // next run)
    };
    // Decodes the reader's saved article and records it (DecodeLock taken; whileLocked runs
    // first under the same hold). The article's commit point, for both ways of reading: the
    // decoder's commit appends its record to the article journal before its files get their
    // names, so an article is dealt with once that record is written, and fetched again
    // after a kill when it is not. A decode whose output could not be written does not count:
    // its message-id stays out of the index, and the reader stops the group for this run, or
    // the whole run when the disk is full or the journal cannot be written (NNTPQuitException).
    Decoded decodeAndRecord(GroupEntry& group, const std::function<void()>& whileLocked = {});
    // With DecodeLock held: the article's message-id goes into the index. Called only once
    // its decode has stored everything.
    void recordArticle(const SavedArticle& article);
    // An article the main server lacks (or sent damaged) whose message-id is known.
    struct Lacking {
        std::int64_t number = 0;
        std::string messageId;
    };
    // Whether the run has fill servers to ask for such articles.
    bool canFill() const;
    // Asks the fill servers for items: each found goes through the duplicate check and the
    // filters and is decoded as if the main server had sent it; each that no server has is
    // logged once with the servers asked. False when a decode failed (see decodeAndRecord):
    // the group stops for this run.
    bool fillLacking(GroupEntry& group, std::span<const Lacking> items,
                     std::vector<bool>* found = nullptr);
    // Whether the saved article is a yEnc part whose data fails its CRC (or size): the main
    // server's copy is damaged, and a fill server may have a sound one.
    bool isDamagedYencPart() const;
    // The saved article is such a part: a sound copy is asked of the fill servers and decoded;
    // when none has one, the damaged copy is decoded as it would have been (the decoder keeps
    // it with its warning), so nothing is lost by asking. False when a decode failed.
    bool replaceDamaged(GroupEntry& group, std::int64_t number, const std::string& messageId);
    // The end of a turn (and of a reader's work in a group): the picture list, then "Last",
    // which covers only articles whose commit is done (or that needed none). Several readers
    // of a group may call it at once: the group's files are written one call at a time, so
    // the last one written holds the latest position.
    static void endTurn(const AppSettings& settings, GroupEntry& group);

    // Whether groups were handed to the reader that it has not taken over yet (DecodeLock
    // taken).
    bool pendingGroups() const;

    // Throws NNTPQuitException when the reader is told to stop ("Abort reading news.") or the
    // run was stopped (the disk is full).
    void checkStop() const;
    // Throws when the connection cannot answer any more (cut by the server or a stop).
    void requireConnection() const;
    // Throws, after noting why, when the last command's 480 still stands: the login the
    // server asks for was not given or not accepted. Walking on past the 480s would step
    // over articles, and end groups, that the server only withheld.
    void stopIfLoginMissing(GroupEntry& group);
    // Notes why groups of this run were left unread though nobody asked to stop.
    void noteFailure(std::string failure) { m_failures.push_back(std::move(failure)); }
    // What was noted, for the run's outcome; empty when nothing was.
    const std::vector<std::string>& failures() const { return m_failures; }

    void log(std::string_view line) const;

  private:
    void outputFailed(GroupEntry& group, const DecodeResult& result);

    AppSettings& m_settings;
    Decoder& m_decoder;
    ReaderThread& m_reader;
    NNTPConnection& m_connection;
    SavedArticle& m_article;
    ReaderRunState& m_run;
    DecodeInputs m_inputs;
    std::vector<std::string> m_failures;
};

// A group takes part in a pass when it is Active and Selected and not Finished.
bool isEligible(const GroupEntry& group);

}  // namespace qm
