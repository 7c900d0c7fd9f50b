#include "MiniPdf.h"

#include <algorithm>
#include <cstdio>

namespace vantrel::extractor::test {
namespace {

std::string literal(const std::string& text) {
    std::string out = "(";
    for (char c : text) {
        if (c == '(' || c == ')' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + ")";
}

std::string contentStream(const std::vector<std::string>& lines) {
    if (lines.empty()) {
        return {};
    }
    std::string content = "BT /F1 12 Tf 72 720 Td 14 TL\n";
    for (const auto& line : lines) {
        content += literal(line) + " Tj T*\n";
    }
    return content + "ET\n";
}

std::string xrefEntry(std::size_t offset) {
    char entry[32];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offset);
    return entry;
}

} // namespace

// The content stream object that draws these lines.
static std::string contentObject(const std::vector<std::string>& lines) {
    const std::string content = contentStream(lines);
    return "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "endstream";
}

std::string makePdfFromObjects(const std::vector<std::string>& objects) {
    std::string pdf = "%PDF-1.4\n";
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const std::size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (std::size_t offset : offsets) {
        pdf += xrefEntry(offset);
    }
    pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
           " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    return pdf;
}

std::string makePdf(const std::vector<std::vector<std::string>>& pages) {
    // Objects: 1 catalog, 2 page tree, 3 font, then a page and its content per page.
    std::vector<std::string> objects;
    std::string kids;
    for (std::size_t i = 0; i < pages.size(); ++i) {
        kids += std::to_string(4 + 2 * i) + " 0 R ";
    }
    objects.push_back("<< /Type /Catalog /Pages 2 0 R >>");
    objects.push_back("<< /Type /Pages /Kids [" + kids + "] /Count " +
                      std::to_string(pages.size()) + " >>");
    objects.push_back("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica "
                      "/Encoding /WinAnsiEncoding >>");
    for (std::size_t i = 0; i < pages.size(); ++i) {
        objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792]"
                          " /Resources << /Font << /F1 3 0 R >> >> /Contents " +
                          std::to_string(5 + 2 * i) + " 0 R >>");
        objects.push_back(contentObject(pages[i]));
    }
    return makePdfFromObjects(objects);
}

std::string appendUpdate(const std::string& pdf, int number,
                         const std::vector<std::string>& lines) {
    const std::size_t previous = std::stoul(pdf.substr(pdf.rfind("startxref\n") + 10));
    const int size = std::max(std::stoi(pdf.substr(pdf.rfind("/Size ") + 6)), number + 1);
    const std::string table = std::to_string(number) + " 1\n" + xrefEntry(pdf.size());
    std::string update =
        pdf + std::to_string(number) + " 0 obj\n" + contentObject(lines) + "\nendobj\n";
    const std::size_t xref = update.size();
    update += "xref\n" + table + "trailer\n<< /Size " + std::to_string(size) +
              " /Root 1 0 R /Prev " + std::to_string(previous) + " >>\nstartxref\n" +
              std::to_string(xref) + "\n%%EOF\n";
    return update;
}

} // namespace vantrel::extractor::test
