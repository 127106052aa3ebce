#include "config/ftptempfolder.h"

#include "platform/paths.h"

namespace zf {

std::string FtpTempSubfolderName(const std::string& queueName) {
  if (queueName.empty()) return "%";
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < queueName.size(); ++i) {
    const auto c = static_cast<unsigned char>(queueName[i]);
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == ' ' || c == '-' || c == '_' || (c == '.' && i > 0);
    if (plain) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

std::string FtpTempFolderOf(const QueueRecord& queue) {
  if (queue.FTPTemppath.empty()) return {};
  return IncludeTrailingPathDelimiter(IncludeTrailingPathDelimiter(queue.FTPTemppath) +
                                      FtpTempSubfolderName(queue.name));
}

}  // namespace zf
