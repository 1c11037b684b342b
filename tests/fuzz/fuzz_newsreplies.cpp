// SPDX-License-Identifier: GPL-3.0-or-later
// The parsers of what a news server sends beyond articles: overview and header lines, dates,
// capability lines and reply lines. Each line of the input goes to every one of them; none may
// crash or read past its input, whatever the bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "nntp/capabilities.h"
#include "nntp/newsdate.h"
#include "nntp/nntpconnection.h"
#include "nntp/overviewline.h"
#include "nntp/replyoutcome.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    qm::Capabilities capabilities;
    while (!input.empty()) {
        const std::size_t end = input.find('\n');
        const std::string_view line = input.substr(0, end);
        input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
        if (auto entry = qm::parseOverviewLine(line)) (void)qm::parseNewsDate(entry->date);
        if (auto header = qm::parseHeaderLine(line)) (void)qm::parseNewsDate(header->value);
        (void)qm::parseNewsDate(line);
        (void)qm::parseNextReply(qm::classifyReply(qm::NntpCommand::Next, std::string(line)));
        capabilities.addLine(line);
        (void)qm::replyHasData(qm::commandOf(line), static_cast<int>(line.size()) + 100);
    }
    return 0;
}
