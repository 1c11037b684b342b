// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Makes large synthetic spools quickly, for tests and benchmarks: one group of numbered
// articles, every K-th a single-part picture post (a small valid JPEG padded to the size asked
// for with random bytes, so that every picture decodes to a file of its own), the others
// short text posts. Dates run from a known start in fixed steps, so a search by date has a
// known answer. The same articles can also be written as a batch for INN's rnews.
//
// Plain functions, safe on any thread as long as two calls do not write the same files.
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace qm::newsd {

enum class PictureEncoding { Uuencode, Yenc };

struct SpoolPlan {
    std::string group = "alt.binaries.pictures.test";
    std::uint64_t articles = 1000;
    std::uint64_t firstNumber = 1;
    std::uint64_t pictureEvery = 50;   // the K-th, 2K-th... article is a picture; 0: none
    std::size_t pictureBytes = 43000;  // of each decoded picture file
    PictureEncoding encoding = PictureEncoding::Yenc;
    std::int64_t startTime = 1704067200;  // Date of the first article: 2024-01-01 00:00:00 UTC
    std::int64_t stepSeconds = 60;        // between one article's Date and the next one's
    std::uint64_t seed = 1;               // spools of other seeds have other ids and pictures
    std::string spoolDir;                 // DIR/<group>/<number> files; empty: none
    std::string rnewsFile;                // "#! rnews" batch of the same articles; empty: none
};

struct SpoolSummary {
    std::uint64_t articles = 0;
    std::uint64_t pictures = 0;
    std::uint64_t bytes = 0;  // of the article texts ("\n" line ends)
};

// Writes the spool (and the batch) the plan asks for. Throws std::runtime_error naming the
// file when one cannot be written.
SpoolSummary makeSpool(const SpoolPlan& plan);

// Whether the index-th article of the plan (from 0) is a picture.
bool isPicture(const SpoolPlan& plan, std::uint64_t index);
// The text of the index-th article: header lines, an empty line, the body; "\n" line ends.
std::string makeArticle(const SpoolPlan& plan, std::uint64_t index);
// The picture file of the index-th article (meaningful for pictures only).
std::string makePicture(const SpoolPlan& plan, std::uint64_t index);
// The picture's file name, as its post names it.
std::string pictureName(const SpoolPlan& plan, std::uint64_t index);
// "Mon, 01 Jan 2024 00:00:00 +0000" (RFC 5322), in UTC, whatever the locale.
std::string articleDate(std::int64_t time);
// The picture size that makes a post of about articleBytes in the given encoding.
std::size_t pictureBytesFor(std::size_t articleBytes, PictureEncoding encoding);

}  // namespace qm::newsd
