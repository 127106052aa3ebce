#include "testpdf.h"

#include <cstdint>
#include <vector>

namespace zf::test {

std::string TestPdf(int pages, int paddedPage, std::size_t padding) {
  std::string pdf = "%PDF-1.4\n";
  std::vector<std::size_t> offsets;
  auto object = [&](const std::string& body) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(offsets.size()) + " 0 obj\n" + body + "\nendobj\n";
  };
  std::string kids;
  for (int i = 0; i < pages; ++i) kids += std::to_string(4 + 2 * i) + " 0 R ";
  object(
      "<< /Type /Catalog /Pages 2 0 R /OutputIntents [<< /Type /OutputIntent /S /GTS_PDFX "
      "/OutputConditionIdentifier (FOGRA39) >>] >>");
  object("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages) +
         " /MediaBox [0 0 595 842] /Resources << /Font << /F1 3 0 R >> >> >>");
  object("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
  for (int i = 1; i <= pages; ++i) {
    object("<< /Type /Page /Parent 2 0 R /Contents " + std::to_string(5 + 2 * (i - 1)) + " 0 R >>");
    std::string content = "BT /F1 24 Tf 72 720 Td (Page " + std::to_string(i) + ") Tj ET";
    if (i == paddedPage) {
      // Comment lines of printable noise: a writer that compresses the page
      // cannot make it small again.
      std::uint32_t noise = 12345;
      for (std::size_t added = 0; added < padding; added += 80) {
        content += "\n%";
        for (int c = 0; c < 78; ++c) {
          noise = noise * 1664525u + 1013904223u;
          content += static_cast<char>('!' + (noise >> 24) % 90);
        }
      }
    }
    object("<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content +
           "\nendstream");
  }
  const std::size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(offsets.size() + 1) + "\n0000000000 65535 f \n";
  for (std::size_t offset : offsets) {
    const std::string number = std::to_string(offset);
    pdf += std::string(10 - number.size(), '0') + number + " 00000 n \n";
  }
  pdf += "trailer\n<< /Size " + std::to_string(offsets.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return pdf;
}

}  // namespace zf::test
