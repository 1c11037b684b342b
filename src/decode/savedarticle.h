// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The article a reader thread is retrieving: what it knows of it (message-id, number,
// subject with the part numbers and file-name key recognised in it) and its text, saved
// before decoding. The text goes to the plain-text file when it is to be kept ("Keep Text");
// otherwise it stays in memory (a buffer reused from article to article) and only an
// article larger than MemoryLimit goes to the file, so the common article costs no file
// created and deleted.
//
// One per reader thread, owned by the thread's retrieval loop; only that thread changes it.
// The monitors read the subject (under its own mutex) and the line counts (atomics) from the
// window thread while the reader writes them. decode() runs with DecodeLock held.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "decode/decoder.h"
#include "model/groupfolder.h"
#include "platform/file.h"

namespace qm {

class Decoder;
struct DecodeInputs;
class Frontend;
class GroupEntry;

class SavedArticle {
  public:
    // number := -1, no file, lines := 0, line count := 0, part 1 of 1, key and subject empty.
    void reset();
    // The group's folder (GroupFolder), where the text is saved; an empty one saves nothing.
    void setGroup(GroupFolder folder) { m_folder = std::move(folder); }
    void setGroup(const std::string& dataDirectory, const GroupEntry& group);
    const GroupFolder& folder() const { return m_folder; }
    const std::string& groupDirectory() const { return m_folder.path(); }

    // Empty when the group directory is empty or the number negative; otherwise the group
    // directory (created first, with every missing parent; empty when that fails) joined
    // with the number.
    std::string path() const;

    static constexpr std::size_t MemoryLimit = 16 * 1024 * 1024;

    // Starts saving the text: into path() when toFile, else into memory. When the file
    // cannot be opened, logs "Failed to open file <path> when saving message" through
    // frontend and returns -1; what is appended is then dropped.
    int open(Frontend& frontend, bool toFile);
    // Adds text (appendLine: text and a line end). A text in memory that outgrows
    // MemoryLimit moves to the file.
    void append(std::string_view text);
    void appendLine(std::string_view line);
    // The text is complete: the file, if any, is closed.
    void finish() { closeFile(); }
    // Decodes the saved text (not quiet) with inputs and this article's message-id and number
    // (its commit records them), from memory or from the file. Caller holds DecodeLock. The
    // decoder's result: whether the article's content could be stored and committed (see
    // DecodeResult); nothing to decode counts as stored.
    DecodeResult decode(Decoder& decoder, const DecodeInputs& inputs, bool overwrite,
                        bool keepText);
    // Forgets the text and deletes the saved file if one was written.
    void discard();
    void closeFile() { file.reset(); }
    // Keeps the text in memory whatever "Keep Text" says (an article fetched by message-id has
    // no group folder to be saved in); a text past MemoryLimit is then dropped.
    void setMemoryOnly(bool memoryOnly) { m_memoryOnly = memoryOnly; }
    // The text received while it is in memory; empty when it went to a file or was dropped.
    std::string_view text() const {
        return m_sink == Sink::Memory ? std::string_view(m_text) : std::string_view();
    }

    // Hands the text received in memory to into, taking into's buffer (emptied) in its place,
    // so that buffers go round instead of fresh memory being touched for every article.
    void takeText(std::string& into) {
        into.swap(m_text);
        m_text.clear();
    }

    // Stores the subject and recognises part, total and key in it.
    void setSubject(std::string subject);
    std::string subject() const;

    std::string messageId;
    std::int64_t number = -1;
    std::string header;
    std::string key;
    int part = 1;
    int total = 1;
    std::atomic<int> lines{0};      // the Lines header's value
    std::atomic<int> lineCount{0};  // body lines received
    // The size of the text received (header and body, lines ended by "\n"): what an NZB
    // lists for the article.
    std::int64_t bytes() const { return m_bytes; }
    FilePtr file;

  private:
    // path() without creating anything.
    std::string filePath() const;
    // Moves the text from memory to the file; false (logged) when the file cannot be opened.
    bool moveToFile();

    enum class Sink { None, Memory, File, Dropped };
    Sink m_sink = Sink::None;
    bool m_memoryOnly = false;
    Frontend* m_frontend = nullptr;
    std::string m_text;  // the text while in memory; its capacity is kept between articles
    std::int64_t m_bytes = 0;

    GroupFolder m_folder;
    mutable std::mutex m_subjectMutex;
    std::string m_subject;  // guarded by m_subjectMutex
};

}  // namespace qm
