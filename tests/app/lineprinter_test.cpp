#include "lineprinter.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace zf::app {
namespace {

TEST(FormatLogLine, FourTabSeparatedFieldsWithControlCharactersEscaped) {
  struct Case {
    VisualLogEntry entry;
    std::string line;
  };
  const Case cases[] = {
      {{"Page01.pdf", "P01.pdf", "17/05/2024 08:30:00", "Renamed", 1},
       "17/05/2024 08:30:00\tPage01.pdf\tP01.pdf\tRenamed"},
      // An unresolved file: the output field is empty but still there.
      {{"x.doc", "", "t", "cannot rename", 2}, "t\tx.doc\t\tcannot rename"},
      {{"a\tb", "c\nd", "t", "e\rf", 2}, "t\ta\\tb\tc\\nd\te\\rf"},
      {{std::string("a\x01\x7f", 3), "back\\slash", "t", "c", 1},
       "t\ta\\x01\\x7f\tback\\\\slash\tc"},
      // Bytes of an 8-bit code page pass unchanged.
      {{"M\xFCller.pdf", "M\xC3\xBCller.pdf", "t", "c", 1},
       "t\tM\xFCller.pdf\tM\xC3\xBCller.pdf\tc"},
      // The reason follows the comment, escaped like every field.
      {{"a.pdf", "A.pdf", "t", "Cannot copy", 2, "Q", "No space\tleft"},
       "t\ta.pdf\tA.pdf\tCannot copy: No space\\tleft"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatLogLine(c.entry), c.line);
}

// A problem names its queue, the file when there is one, and the reason.
TEST(FormatProblemLine, QueueFileCommentAndReason) {
  VisualLogEntry queue{"", "", "t", "Queue \"Q\" not served", 2, "Q", "Invalid ignore mask"};
  EXPECT_EQ(FormatProblemLine(queue), "zentrafold: Q: Queue \"Q\" not served: Invalid ignore mask");
  VisualLogEntry file{"a\nb.pdf", "", "t", "Cannot delete", 2, "Q", ""};
  EXPECT_EQ(FormatProblemLine(file), "zentrafold: Q: a\\nb.pdf: Cannot delete");
}

// The status table names queues and files: their control characters are
// escaped as in the result lines, so each queue stays one row.
TEST(FormatStatusTable, EscapesNamesAndTextsAsTheResultLines) {
  struct Case {
    const char* what;
    QueueStatus row;
    std::string shown;
  };
  QueueStatus base;
  base.slot = 1;
  Case cases[] = {{"queue name", base, "Q\\x1b[2J"},
                  {"failed file", base, "a\\nFAKE.pdf: Cannot copy"},
                  {"FTP connection text", base, "421\\r\\nbye"}};
  cases[0].row.name = "Q\x1b[2J";
  cases[1].row.lastFailure = "a\nFAKE.pdf: Cannot copy";
  cases[1].row.lastFailureTime = 45000.5;
  cases[2].row.ftp = true;
  cases[2].row.ftpConnection = "421\r\nbye";
  for (const Case& c : cases) {
    const std::string table = FormatStatusTable({c.row}, RegionalSettings{});
    EXPECT_NE(table.find(c.shown), std::string::npos) << c.what << ":\n" << table;
    EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 2) << c.what;
    EXPECT_EQ(table.find_first_of("\r\x1b"), std::string::npos) << c.what;
  }
}

std::string ReadAll(std::FILE* f) {
  std::rewind(f);
  std::string text;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
  return text;
}

// Under the journal (its stream named by device and inode) a line carries
// its priority: failures as errors, results as information.
TEST(JournalPriority, OnlyTheJournalsOwnStreamGetsPrioritiesByOutcome) {
  std::FILE* stream = std::tmpfile();
  ASSERT_NE(stream, nullptr);
  struct stat st {};
  ASSERT_EQ(::fstat(::fileno(stream), &st), 0);
  const std::string mine = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  struct Case {
    const char* journal;  // null: not set
    bool isJournal;
  };
  const std::string other = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + 1);
  const Case cases[] = {{nullptr, false}, {other.c_str(), false}, {mine.c_str(), true}};
  for (const Case& c : cases) {
    if (c.journal == nullptr) {
      ::unsetenv("JOURNAL_STREAM");
    } else {
      ::setenv("JOURNAL_STREAM", c.journal, 1);
    }
    EXPECT_EQ(IsJournalStream(stream), c.isJournal) << (c.journal ? c.journal : "unset");
  }
  ::unsetenv("JOURNAL_STREAM");
  std::fclose(stream);

  EXPECT_EQ(JournalPriority({"a.pdf", "A.pdf", "t", "Renamed", 1}), "<6>");
  EXPECT_EQ(JournalPriority({"a.pdf", "", "t", "cannot rename", 2}), "<3>");
  EXPECT_EQ(JournalPriority({"", "", "t", "Not served", 2, "Q", "gone", true}), "<3>");
}

TEST(LinePrinter, PrintsEveryLineInOrderFromSeveralThreads) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  {
    LinePrinter printer(f);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&printer, t] {
        for (int i = 0; i < 500; ++i) {
          printer.Push(std::to_string(t) + ":" + std::to_string(i));
        }
      });
    }
    for (auto& th : threads) th.join();
    printer.Finish();
    printer.Push("after finish");  // dropped, not printed and no crash
    EXPECT_EQ(printer.dropped(), 0u);
  }
  const std::string text = ReadAll(f);
  std::fclose(f);
  // Each thread's lines keep their order; all 2000 are there.
  int next[4] = {0, 0, 0, 0};
  std::size_t from = 0;
  int lines = 0;
  for (std::size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1) {
    const std::string line = text.substr(from, nl - from);
    const int t = line[0] - '0';
    ASSERT_TRUE(t >= 0 && t < 4) << line;
    EXPECT_EQ(line.substr(2), std::to_string(next[t])) << line;
    ++next[t];
    ++lines;
  }
  EXPECT_EQ(lines, 2000);
  EXPECT_EQ(from, text.size());  // nothing after the last line break
}

TEST(LinePrinter, DropsTheOldestLinesBeyondItsBound) {
  // A pipe nobody reads holds the printer thread in its first write, so the
  // lines pushed meanwhile pile up against the bound.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::FILE* w = fdopen(fds[1], "w");
  ASSERT_NE(w, nullptr);
  const std::string big(1 << 17, 'x');  // larger than a pipe's buffer
  std::string received;
  {
    LinePrinter printer(w, 3);
    printer.Push(big);
    // Once the pipe holds data the printer thread is inside the big line's
    // write, which cannot finish before someone reads.
    pollfd readable{fds[0], POLLIN, 0};
    EXPECT_EQ(poll(&readable, 1, 10000), 1);
    for (int i = 0; i < 10; ++i) printer.Push("line" + std::to_string(i));
    EXPECT_EQ(printer.dropped(), 7u);
    std::thread reader([&] {
      char buffer[65536];
      for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
        received.append(buffer, static_cast<std::size_t>(n));
      }
    });
    printer.Finish();
    std::fclose(w);
    reader.join();
  }
  close(fds[0]);
  // The big line came whole, followed by the three newest lines.
  EXPECT_EQ(received, big + "\nline7\nline8\nline9\n");
}

}  // namespace
}  // namespace zf::app
