// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Checks a file against the NZB 1.1 document type with xmllint (libxml2-utils).
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "support/tempdir.h"

namespace qm::test {

// The NZB 1.1 document type, as published with the format.
inline constexpr char Nzb11Dtd[] =
    "<!ELEMENT nzb (head?, file*)>\n"
    "<!ATTLIST nzb xmlns CDATA #FIXED \"http://www.newzbin.com/DTD/2003/nzb\">\n"
    "<!ELEMENT head (meta*)>\n"
    "<!ELEMENT meta (#PCDATA)>\n"
    "<!ATTLIST meta type (title|tag|category|password) #REQUIRED>\n"
    "<!ELEMENT file (groups, segments)>\n"
    "<!ATTLIST file poster CDATA #REQUIRED date CDATA #REQUIRED\n"
    "               subject CDATA #REQUIRED>\n"
    "<!ELEMENT groups (group+)>\n"
    "<!ELEMENT group (#PCDATA)>\n"
    "<!ELEMENT segments (segment+)>\n"
    "<!ELEMENT segment (#PCDATA)>\n"
    "<!ATTLIST segment bytes CDATA #IMPLIED number CDATA #IMPLIED>\n";

inline bool haveXmllint() {
    return std::system("command -v xmllint >/dev/null 2>&1") == 0;
}

// Whether the file at path validates (the DTD is written into dir); true when xmllint is
// missing, which the caller says by skipping when it matters.
inline bool validNzb11(const TempDir& dir, const std::string& path) {
    if (!haveXmllint()) return true;
    const std::string dtd = dir.write("nzb-1.1.dtd", Nzb11Dtd);
    const std::string command =
        "xmllint --nonet --noout --dtdvalid '" + dtd + "' '" + path + "' >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace qm::test
