#pragma once
// The article store of the fixture news server: a folder per group below the spool folder,
// a file per article named by its number. Articles are header lines, an empty line and the
// body, with "\n" line ends ("\r\n" is accepted too).
//
// Stateless apart from the root path: every call looks at the files as they are now, so tests
// may add articles while the server runs. Safe to use from any number of threads.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::newsd {

struct SpoolArticle {
    std::vector<std::string> header;  // lines, without line ends
    std::vector<std::string> body;
    std::string messageId;  // from its Message-ID header, or made up from group and number
};

class Spool {
  public:
    explicit Spool(std::string root) : m_root(std::move(root)) {}

    // Letters, digits and ".+-_", not starting with "."; nothing that could leave the spool.
    static bool isValidGroupName(std::string_view name);

    // The article numbers of a group, ascending; nothing when the group does not exist.
    std::optional<std::vector<std::uint64_t>> scanGroup(std::string_view group) const;
    // Every group, in name order.
    std::vector<std::string> groupNames() const;
    std::optional<SpoolArticle> readArticle(std::string_view group, std::uint64_t number) const;

    struct Location {
        std::string group;
        std::uint64_t number = 0;
    };
    // Looks for an article by message-id, first in preferredGroup, then everywhere.
    std::optional<Location> findMessageId(std::string_view messageId,
                                          std::string_view preferredGroup) const;

  private:
    std::optional<Location> findInGroup(std::string_view messageId, std::string_view group) const;
    std::string m_root;
};

// Splits article text into header and body lines and finds its message-id.
SpoolArticle parseArticle(std::string_view text, std::string_view fallbackId);

// Writes DIR/group/number from header lines (with or without a final "\n") and a body; the
// file appears complete or not at all. Throws std::runtime_error when it cannot be written.
void writeSpoolArticle(const std::string& spoolDir, std::string_view group, std::uint64_t number,
                       std::string_view headers, std::string_view body);

}  // namespace qm::newsd
