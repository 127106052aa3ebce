#include "config/dbconnectfile.h"

#include <gtest/gtest.h>

#include "tempdir.h"

namespace zf {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

GeneralSettings Connection(const std::string& suffix) {
  GeneralSettings s;
  s.HostName = "host" + suffix;
  s.DB = "db" + suffix;
  s.Username = "user" + suffix;
  s.Password = "pw" + suffix;
  return s;
}

TEST(DbConnectFile, ANewFileHoldsTheFiveKeysInOrder) {
  TempDir dir;
  const DbConnectFile file(dir / "dbconnect.ini");
  ASSERT_TRUE(file.Write(Connection("1")).ok());
  EXPECT_EQ(ReadFile(file.path()),
            "[MSSQLVeltraneLite]\nHostName=host1\nDatabase=db1\nUser_Name=user1\nPassword=pw1\n"
            "OS Authentication=False\n");
}

TEST(DbConnectFile, EachTestRewritesAllFiveKeysAndKeepsTheRest) {
  TempDir dir;
  const DbConnectFile file(dir / "dbconnect.ini");
  WriteFile(file.path(),
            "[Other]\nx=1\n"
            "[mssqlveltranelite]\nDriverName=MSSQL\nHostName=old\nOS Authentication=True\n"
            "Password=old\n");
  ASSERT_TRUE(file.Write(Connection("2")).ok());
  ASSERT_TRUE(file.Write(Connection("3")).ok());
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"DriverName", "MSSQL"}, {"HostName", "host3"}, {"OS Authentication", "False"},
      {"Password", "pw3"},     {"Database", "db3"},   {"User_Name", "user3"},
  };
  EXPECT_EQ(file.ReadParameters(), expected);
  EXPECT_NE(ReadFile(file.path()).find("[Other]\nx=1\n"), std::string::npos);
}

TEST(DbConnectFile, ACommentedOutKeyNeverReachesTheDriver) {
  TempDir dir;
  const DbConnectFile file(dir / "dbconnect.ini");
  WriteFile(file.path(), "[MSSQLVeltraneLite]\n;Password=old\n; HostName=test\nDriverName=MSSQL\n");
  ASSERT_TRUE(file.Write(Connection("1")).ok());
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"DriverName", "MSSQL"}, {"HostName", "host1"}, {"Database", "db1"},
      {"User_Name", "user1"},  {"Password", "pw1"},   {"OS Authentication", "False"},
  };
  EXPECT_EQ(file.ReadParameters(), expected);
  EXPECT_NE(ReadFile(file.path()).find(";Password=old\n"), std::string::npos);  // kept as it was
}

TEST(DbConnectFile, APasswordInQuotesOrWithEdgeBlanksReachesTheDriverUnchanged) {
  TempDir dir;
  const DbConnectFile file(dir / "dbconnect.ini");
  GeneralSettings s = Connection("");
  s.Password = "'pw' ";
  ASSERT_TRUE(file.Write(s).ok());
  const auto parameters = file.ReadParameters();
  ASSERT_EQ(parameters.size(), 5u);
  EXPECT_EQ(parameters[3], (std::pair<std::string, std::string>{"Password", "'pw' "}));
}

TEST(DbConnectFile, AFailedWriteIsReportedWithThePath) {
  TempDir dir;
  const DbConnectFile file(dir / "missing-folder/dbconnect.ini");
  EXPECT_EQ(file.Write(Connection("1")).message(),
            "Unable to write to " + (dir / "missing-folder/dbconnect.ini"));
}

}  // namespace
}  // namespace zf
