// A tiny PDF writer for tests: pages of text lines in the standard Helvetica
// font with WinAnsiEncoding, so Latin-1 bytes show as their characters.
#pragma once

#include <string>
#include <vector>

namespace vantrel::extractor::test {

// Each page is a list of lines (Latin-1 bytes); an empty list is a page with
// no content at all.
std::string makePdf(const std::vector<std::vector<std::string>>& pages);

// A PDF of these object bodies, numbered from 1; object 1 is the catalog.
std::string makePdfFromObjects(const std::vector<std::string>& objects);

// `pdf` with an incremental update appended that gives page content object
// `number` these lines instead.
std::string appendUpdate(const std::string& pdf, int number, const std::vector<std::string>& lines);

} // namespace vantrel::extractor::test
