#pragma once
// The work of one reader thread: passes over its groups in turns of a few article steps,
// each article checked against the message-id index and the filters, saved and decoded at
// once, and each group's reading position and picture list written at the end of its turn.
//
// Created by the reader procedure on its own thread for one run and used only there; it
// borrows the settings, the decoder, the reader record (groups, batch, stop state), the
// reader's connection and its SavedArticle. DecodeLock is taken for the duplicate check, for
// the index update plus decoding, and around the reader's group sets; never held across
// network reads (the commands asked for ahead, a write of a few bytes, go out under it).
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "decode/decoder.h"

namespace qm {

class AppSettings;
class Decoder;
class GroupEntry;
class NNTPConnection;
class ReaderThread;
class SavedArticle;
struct ArticleReference;

class RetrievalLoop {
  public:
    RetrievalLoop(AppSettings& settings, Decoder& decoder, ReaderThread& reader,
                  SavedArticle& article);

    // Runs passes until one finds no eligible group and nothing new was assigned. Throws
    // NNTPQuitException on a stop request, on program exit, when the connection is lost and
    // when the server wants a login that was not given.
    void run();
    // Why groups of this run were left unread (a group folder that cannot be made, a login
    // not given), for the run's outcome; empty when nothing was.
    const std::vector<std::string>& failures() const { return m_failures; }

  private:
    enum class Step { Next, EndTurn };

    // One pass over the reader's groups; the number of groups that got a turn.
    int pass();
    // False (and the group left out of the run) when its folder cannot be made.
    bool prepareGroup(GroupEntry& group);
    // Throws, after noting why, when the last command's 480 still stands: the login the
    // server asks for was not given or not accepted.
    void stopIfLoginMissing(GroupEntry& group);
    void turn(GroupEntry& group);
    // Checks, fetches and decodes the article the connection has just reported;
    // headerRead when its header has already been read (the positioning step). stepsLeft:
    // how many steps of the turn follow this one.
    Step takeArticle(GroupEntry& group, bool headerRead, int stepsLeft);
    // Whether commands may be sent ahead: only when no filter needs the header first.
    bool pipelining() const;
    // Sends HEAD and BODY of number ahead, and NEXT when another step follows.
    void requestAhead(std::int64_t number, int stepsLeft);
    // After an article's body: the new article the NEXT sent ahead names, to be asked for
    // ahead unless it is retrieved already.
    std::optional<ArticleReference> nextToAskFor(GroupEntry& group, int stepsLeft);
    // With DecodeLock held: whether the article's message-id is in the index; if so the
    // group moves past it and the skip is logged.
    bool isRetrieved(GroupEntry& group);
    void requireConnection() const;
    void logLine(std::string_view line) const;

    AppSettings& m_settings;
    Decoder& m_decoder;
    ReaderThread& m_reader;
    NNTPConnection& m_connection;
    SavedArticle& m_article;
    // The decoder's inputs for the group being read and its article.
    DecodeInputs m_inputs;
    // The message-id of the article last asked for ahead, checked against the index then.
    std::string m_askedAhead;
    // Groups whose reading position is an article not yet dealt with (never read, or the
    // saved position fell out of the server's range): the first turn takes that article too.
    std::set<GroupEntry*> m_unreadPosition;
    // Groups whose folder has been cleared of abandoned decoding files in this run.
    std::set<GroupEntry*> m_swept;
    std::vector<std::string> m_failures;
};

// A group takes part in a pass when it is Active and Selected and not Finished.
bool isEligible(const GroupEntry& group);

}  // namespace qm
