// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/capabilities.h"

#include <cctype>
#include <string>

namespace qm {
namespace {

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// The words of a line, blank- or tab-separated.
template <typename Visit>
void forEachWord(std::string_view line, Visit visit) {
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        std::size_t end = i;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
        if (end > i) visit(line.substr(i, end - i));
        i = end;
    }
}

}  // namespace

void Capabilities::addLine(std::string_view line) {
    std::string label;
    bool first = true;
    forEachWord(line, [&](std::string_view word) {
        const std::string token = upper(word);
        if (first) {
            label = token;
            first = false;
            if (labels.size() + label.size() < LabelsLimit)
                labels += (labels.empty() ? "" : " ") + label;
            if (label == "READER") reader = true;
            if (label == "MODE-READER") modeReader = true;
            if (label == "OVER") over = true;
            if (label == "HDR") hdr = true;
            if (label == "AUTHINFO") authinfo = true;
            return;
        }
        if (label == "COMPRESS" && token == "DEFLATE") compressDeflate = true;
    });
}

}  // namespace qm
