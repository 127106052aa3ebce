#include "regexlib/pdfsplitter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <map>
#include <set>
#include <system_error>
#include <vector>

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFExc.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include "platform/tempfile.h"

namespace zf::regexlib {

namespace {

constexpr int kReadFailed = 0;
constexpr int kBadArguments = -1;
constexpr int kWriteFailed = -2;

bool EndsWithPdf(const std::string& name) {
  if (name.size() < 4) return false;
  std::string ext = name.substr(name.size() - 4);
  for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return ext == ".pdf";
}

std::string Padded(long long number, std::size_t width) {
  std::string digits = std::to_string(number);
  if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
  return digits;
}

// Makes the page files' names in `folder` survive a power cut before the
// caller deletes the input. A file system that cannot flush folders (EINVAL)
// counts as done.
bool SyncFolder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0 || errno == EINVAL;
  close(fd);
  return synced;
}

struct PageFile {
  std::string temp;
  std::string final;
};

// Removes the page files still under their temporary names, from `first` on.
// Pages already renamed stay: each is complete and has replaced the page of
// an earlier delivery, which is gone; removing it would leave the output with
// fewer pages than before the call.
// The error that made the write fail stays in errno for the caller.
void RemoveUnpublished(const std::vector<PageFile>& files, std::size_t first) {
  const int error = errno;
  for (std::size_t i = first; i < files.size(); ++i) unlink(files[i].temp.c_str());
  errno = error;
}

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// Writes one page as a PDF of its own. The file is flushed to disk and closed
// here, with every step checked, so that a full disk is a failure and not a
// truncated page file.
void WritePage(QPDF& input, QPDFPageObjectHelper& page, QPDFObjectHandle output_intents,
               const std::string& path) {
  QPDF out;
  out.setSuppressWarnings(true);
  out.emptyPDF();
  QPDFPageDocumentHelper(out).addPage(page, false);
  // Print-ready files declare their output condition in the document catalog;
  // each page file keeps it.
  if (output_intents.isArray()) {
    out.getRoot().replaceKey("/OutputIntents", out.copyForeignObject(output_intents));
  }

  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) ThrowErrno("cannot create " + path);
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    const int error = errno;
    close(fd);
    errno = error;
    ThrowErrno("cannot open " + path);
  }
  try {
    QPDFWriter writer(out);
    writer.setOutputFile(path.c_str(), file, false);
    writer.setStreamDataMode(qpdf_s_preserve);  // page content stays byte for byte
    writer.setMinimumPDFVersion(input.getPDFVersion(), input.getExtensionLevel());
    writer.write();
    // qpdf ignores most errors of its last flush, and a write that failed
    // earlier (a full disk) may show only in the stream's error flag: the
    // flag decides, or a truncated page would pass for a complete one.
    if (std::fflush(file) != 0 || std::ferror(file) != 0) {
      if (errno == 0) errno = EIO;
      ThrowErrno("cannot write " + path);
    }
    if (fsync(fileno(file)) != 0) ThrowErrno("cannot write " + path);
  } catch (...) {
    std::fclose(file);
    throw;
  }
  if (std::fclose(file) != 0) ThrowErrno("cannot close " + path);
}

// qpdf reads a damaged file as far as it can and treats an object it cannot
// find as null. That is harmless for a broken cross-reference table, but a
// page, content stream, font or image that is gone would give a blank or
// wrong page that looks like a success. So the page and everything its
// content draws on must be there. Annotations, metadata and the like are not
// looked at: print-ready pages are flattened, and a stale reference there
// should not stop a delivery.
bool PageIsComplete(QPDFObjectHandle page, std::set<QPDFObjGen>& checked) {
  if (!page.isDictionary()) return false;
  static const char* const kPrintedKeys[] = {"/Contents", "/Resources", "/MediaBox", "/CropBox",
                                             "/BleedBox", "/TrimBox",   "/ArtBox",   "/Group"};
  // getDictAsMap, unlike getKeys and ditems, keeps the keys whose value is
  // null, and those are the ones in question here.
  const std::map<std::string, QPDFObjectHandle> keys = page.getDictAsMap();
  std::vector<QPDFObjectHandle> pending;
  for (const char* key : kPrintedKeys) {
    auto found = keys.find(key);
    if (found != keys.end()) pending.push_back(found->second);
  }
  while (!pending.empty()) {
    QPDFObjectHandle object = pending.back();
    pending.pop_back();
    if (object.isIndirect()) {
      if (!checked.insert(object.getObjGen()).second) continue;
      if (object.isNull()) return false;  // referred to, but not in the file
    }
    if (object.isArray()) {
      for (QPDFObjectHandle item : object.getArrayAsVector()) pending.push_back(item);
    } else if (object.isDictionary()) {
      for (auto& [key, value] : object.getDictAsMap()) {
        if (key != "/Parent" && key != "/P") pending.push_back(value);
      }
    } else if (object.isStream()) {
      pending.push_back(object.getDict());
    }
  }
  return true;
}

}  // namespace

std::string PageFileName(const std::string& input_name, long long page) {
  std::string stem = input_name;
  std::string extension = ".pdf";
  if (EndsWithPdf(input_name) && input_name.size() > 4) {
    stem = input_name.substr(0, input_name.size() - 4);
    extension = input_name.substr(input_name.size() - 4);
  }
  const std::size_t run_end = stem.find_last_of('#');
  if (run_end == std::string::npos) return stem + "_" + Padded(page, 3) + extension;
  std::size_t run_begin = run_end;
  while (run_begin > 0 && stem[run_begin - 1] == '#') --run_begin;
  const std::size_t run_length = run_end - run_begin + 1;
  return stem.substr(0, run_begin) + Padded(page, run_length) + stem.substr(run_end + 1) +
         extension;
}

int SplitPdf(const char* path, int first_page, const char* outfolder) {
  if (path == nullptr || outfolder == nullptr || first_page < 0) return kBadArguments;
  const std::string input_path(path);
  std::string folder(outfolder);
  if (input_path.empty() || folder.empty()) return kBadArguments;
  if (folder.back() != '/') folder += '/';
  const std::size_t slash = input_path.find_last_of('/');
  const std::string input_name =
      slash == std::string::npos ? input_path : input_path.substr(slash + 1);
  if (input_name.empty()) return kBadArguments;

  QPDF input;
  std::vector<QPDFPageObjectHelper> pages;
  QPDFObjectHandle output_intents;
  try {
    input.setSuppressWarnings(true);  // a library has no console to talk to
    // Only a regular file is read, never through a link, and a pipe put
    // under the name cannot block the caller.
    const int fd = open(input_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return kReadFailed;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(fd);
      return kReadFailed;
    }
    FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
      close(fd);
      return kReadFailed;
    }
    input.processFile(input_path.c_str(), file, true);
    // Attributes a page inherits from the page tree (media box, resources)
    // would be lost when the page leaves its tree; move them onto the pages.
    input.pushInheritedAttributesToPage();
    pages = QPDFPageDocumentHelper(input).getAllPages();
    output_intents = input.getRoot().getKey("/OutputIntents");
    if (output_intents.isArray() && !output_intents.isIndirect()) {
      output_intents = input.makeIndirectObject(output_intents);
    }
  } catch (const QPDFExc&) {
    return kReadFailed;
  } catch (const std::exception&) {
    return kReadFailed;
  }
  if (pages.empty()) return kReadFailed;
  try {
    std::set<QPDFObjGen> checked;
    for (QPDFPageObjectHelper& page : pages) {
      if (!PageIsComplete(page.getObjectHandle(), checked)) return kReadFailed;
    }
  } catch (const std::exception&) {
    return kReadFailed;
  }
  if (pages.size() > static_cast<std::size_t>(INT_MAX - first_page) + 1) return kBadArguments;

  std::vector<PageFile> files;
  files.reserve(pages.size());
  try {
    for (std::size_t i = 0; i < pages.size(); ++i) {
      const std::string name = PageFileName(input_name, first_page + static_cast<long long>(i));
      files.push_back(PageFile{folder + zf::MakeTempName(name), folder + name});
      WritePage(input, pages[i], output_intents, files.back().temp);
    }
  } catch (const QPDFExc&) {
    // Page data is read while it is written: a damaged input shows up here.
    RemoveUnpublished(files, 0);
    return kReadFailed;
  } catch (const std::system_error& e) {
    errno = e.code().value();
    RemoveUnpublished(files, 0);
    return kWriteFailed;
  } catch (const std::exception&) {
    errno = EIO;
    RemoveUnpublished(files, 0);
    return kWriteFailed;
  }

  for (std::size_t i = 0; i < files.size(); ++i) {
    if (std::rename(files[i].temp.c_str(), files[i].final.c_str()) != 0) {
      RemoveUnpublished(files, i);
      return kWriteFailed;
    }
  }
  // The caller deletes the input after a success: the pages must be on the
  // disk under their names by then, or a power cut could lose the file.
  // The pages stay (they are complete); the input is kept by the failure.
  if (!SyncFolder(folder)) return kWriteFailed;  // errno says why
  return static_cast<int>(files.size());
}

}  // namespace zf::regexlib
