// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the decoder hands to the catalogue for each article of a group: every decoded file is
// logged and listed in its group's pages and picture list; a picture is checked for a copy
// recorded before (and dropped when "Skip duplicate pictures" says so) and handed on for its
// thumbnail; the article's commit is recorded in the journal, and its files with the
// articles they came from in the history.
//
// Called by the decoder on the reader's thread, with DecodeLock held.
#include <string>

#include "decode/decoder.h"

namespace qm {

class AppSettings;
class ArticleJournal;
class MessageHistory;
class PictureCatalog;

// Installed into the Decoder by whoever owns both (the windows, the command line). With a
// picture catalogue (borrowed; it outlives the hook), every picture of a group's article is
// checked against the pictures recorded before and, unless it is a copy of one that "Skip
// duplicate pictures" drops, catalogued and handed on for its thumbnail. With a journal,
// every article is recorded in it before its commit goes on; with a history, each file of a
// group's article is recorded there with the articles it came from.
class CatalogHook : public DecodeSink {
  public:
    explicit CatalogHook(const AppSettings& settings, PictureCatalog* pictures = nullptr)
        : m_settings(settings), m_pictures(pictures) {}
    // The journal the commits are recorded in, while it is open; null: none.
    void setJournal(ArticleJournal* journal) { m_journal = journal; }
    // The history the files are recorded in, while it is open; null: none.
    void setHistory(MessageHistory* history) { m_history = history; }

    void onFileDecoded(const DecodeInputs& inputs, const std::string& path,
                       const std::string& descriptionPath, const FileStart& start) override;
    // Only the picture work reads the start of a decoded file; "Thumbnails" off drops it all.
    bool wantsFileStart() const override;
    void countAssembled(const DecodeInputs& inputs) override;
    DecodeResult commitArticle(const DecodeInputs& inputs, const ArticleOutputs& outputs) override;

  private:
    const AppSettings& m_settings;
    PictureCatalog* m_pictures;
    ArticleJournal* m_journal = nullptr;
    MessageHistory* m_history = nullptr;
};

}  // namespace qm
