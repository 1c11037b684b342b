// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Where a group's files live: the group's name made safe as one folder name, below the data
// directory. Made once where the group is taken up and handed along with it (the article being
// retrieved, the catalogue, the file manager), so every part of the program names the same
// folder. A plain value: copy it freely, from any thread.
#include <string>
#include <string_view>

namespace qm {

class GroupFolder {
  public:
    // No folder: nothing is saved for such a group.
    GroupFolder() = default;
    GroupFolder(std::string_view dataDirectory, std::string_view groupName);

    bool empty() const { return m_path.empty(); }
    const std::string& path() const { return m_path; }
    // A file of the folder ("data.lst", "Last", "Counts", ...).
    std::string file(std::string_view name) const;
    // "news.dat", where the group's decoded files go.
    std::string filesFolder() const { return file("news.dat"); }

    // The group whose folder has that name (the inverse of safeFolderName).
    static std::string groupNameOf(std::string_view folderName);

    friend bool operator==(const GroupFolder&, const GroupFolder&) = default;

  private:
    std::string m_path;
};

// A name from the network or the user (a group name, a server host) made safe as one folder
// name: "/", "%" and control characters become %XX, and "", "." and ".." are encoded whole,
// so the folder never leaves its parent. Ordinary names are unchanged; the mapping is
// one-to-one, so two names never share a folder.
std::string safeFolderName(std::string_view name);

}  // namespace qm
