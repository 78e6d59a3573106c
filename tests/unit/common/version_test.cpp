#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <vector>

#include "version/version.h"

namespace fs = std::filesystem;

namespace {

// Puts the opkg stand-in (or a fake one) first on PATH with its own status
// database for the duration of a test.
class OpkgLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kelvora-opkg-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    saved_path_ = getenv("PATH") ? getenv("PATH") : "";
    status_ = dir_ / "status";
    setenv("OPKG_STATUS", status_.c_str(), 1);
    UsePath(KELVORA_OPKG_DIR);
  }
  void TearDown() override {
    setenv("PATH", saved_path_.c_str(), 1);
    unsetenv("OPKG_STATUS");
    fs::remove_all(dir_);
  }
  void UsePath(const std::string& first) { setenv("PATH", (first + ":" + saved_path_).c_str(), 1); }
  void WriteStatus(const std::string& text) { std::ofstream(status_) << text; }

  fs::path dir_;
  fs::path status_;
  std::string saved_path_;
};

TEST_F(OpkgLookup, InstalledPackageGivesVersionWithNewline) {
  WriteStatus(
      "Package: kelvora-mqtt-app\nVersion: 0.9.1-2\nStatus: install user installed\n\n"
      "Package: kelvora-report-app\nVersion: 1.4.0-1\nStatus: install user installed\n");
  EXPECT_EQ(logging::GetInstalledVersion("kelvora-report-app"), "1.4.0-1\n");
  EXPECT_EQ(logging::GetInstalledVersion("kelvora-mqtt-app"), "0.9.1-2\n");
}

TEST_F(OpkgLookup, MissingPackageGivesEmptyText) {
  WriteStatus("Package: other\nVersion: 1\nStatus: install user installed\n");
  EXPECT_EQ(logging::GetInstalledVersion("kelvora-report-app"), "");
  fs::remove(status_);
  EXPECT_EQ(logging::GetInstalledVersion("kelvora-report-app"), "");
}

TEST_F(OpkgLookup, OutputWithoutDelimiterIsTakenWhole) {
  const fs::path fake = dir_ / "fake";
  fs::create_directories(fake);
  {
    std::ofstream script(fake / "opkg");
    script << "#!/bin/sh\necho \"odd output - with - dashes\"\necho 'no delimiter here'\n";
  }
  chmod((fake / "opkg").c_str(), 0755);
  UsePath(fake.string());
  // Everything up to the last " - " goes.
  EXPECT_EQ(logging::GetInstalledVersion("x"), "dashes\nno delimiter here\n");

  {
    std::ofstream script(fake / "opkg");
    script << "#!/bin/sh\necho 'plain'\n";
  }
  EXPECT_EQ(logging::GetInstalledVersion("x"), "plain\n");
}

TEST_F(OpkgLookup, NoOpkgAtAllGivesEmptyVersion) {
  setenv("PATH", dir_.c_str(), 1);
  EXPECT_EQ(logging::InstalledVersionOrEmpty("kelvora-report-app"), "");
}

// The apk stand-in with its own database of installed packages, beside opkg's.
class ApkLookup : public OpkgLookup {
 protected:
  void SetUp() override {
    OpkgLookup::SetUp();
    installed_ = dir_ / "installed";
    setenv("APK_INSTALLED", installed_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("APK_INSTALLED");
    OpkgLookup::TearDown();
  }
  void WriteInstalled(const std::string& text) { std::ofstream(installed_) << text; }

  fs::path installed_;
};

TEST_F(ApkLookup, InstalledPackageGivesVersionWithNewline) {
  WriteInstalled(
      "C:Q1abc=\nP:kelvora-mqtt-app\nV:0.9.1-r2\nA:mips_24kc\n\n"
      "C:Q1def=\nP:kelvora-report-app\nV:1.4.0-r1\nA:mips_24kc\n");
  EXPECT_EQ(logging::GetInstalledVersion("kelvora-report-app", KELVORA_APK), "1.4.0-r1\n");
  EXPECT_EQ(logging::GetInstalledVersion("kelvora-mqtt-app", KELVORA_APK), "0.9.1-r2\n");
}

TEST_F(ApkLookup, MissingPackageGivesEmptyText) {
  WriteInstalled("P:kelvora-report-app-extra\nV:1.0.0-r1\n");
  EXPECT_EQ(logging::GetInstalledVersion("kelvora-report-app", KELVORA_APK), "");
  fs::remove(installed_);
  EXPECT_EQ(logging::GetInstalledVersion("kelvora-report-app", KELVORA_APK), "");
}

TEST_F(ApkLookup, ApkWhereItsProgramIsElseOpkg) {
  WriteInstalled("P:kelvora-report-app\nV:2.0.0-r1\n");
  WriteStatus("Package: kelvora-report-app\nVersion: 1.0.0-r1\nStatus: install user installed\n");
  EXPECT_EQ(logging::GetInstalledVersion("kelvora-report-app", KELVORA_APK), "2.0.0-r1\n");
  EXPECT_EQ(logging::GetInstalledVersion("kelvora-report-app", (dir_ / "no-apk").string()), "1.0.0-r1\n");
}

TEST_F(OpkgLookup, NameThatIsNotAPackageNameRunsNothing) {
  const fs::path fake = dir_ / "fake";
  fs::create_directories(fake);
  {
    std::ofstream script(fake / "opkg");
    script << "#!/bin/sh\n: > \"" << (dir_ / "ran").string() << "\"\necho 'x - 1'\n";
  }
  chmod((fake / "opkg").c_str(), 0755);
  UsePath(fake.string());
  const fs::path touched = dir_ / "touched";
  for (const std::string& name : {"x; touch " + touched.string(), "x $(touch " + touched.string() + ")",
                                 std::string("-a"), std::string("kelvora-*"), std::string("")}) {
    EXPECT_THROW(logging::GetInstalledVersion(name), std::invalid_argument) << name;
    EXPECT_EQ(logging::InstalledVersionOrEmpty(name), "") << name;
  }
  EXPECT_FALSE(fs::exists(touched));
  EXPECT_FALSE(fs::exists(dir_ / "ran"));
  EXPECT_EQ(logging::GetInstalledVersion("kelvora-report-app+1.x_y", (dir_ / "no-apk").string()), "1\n");
  EXPECT_TRUE(fs::exists(dir_ / "ran"));
}

// A fake package manager program printing `output`, and a database file
// holding `database` (none when absent); the answer expected for `package`.
struct DatabaseCase {
  std::string output;
  std::optional<std::string> database;
  std::string package;
  std::string expected;
};

class DatabaseFallback : public OpkgLookup {
 protected:
  void SetUp() override {
    OpkgLookup::SetUp();
    fake_ = dir_ / "fake";
    fs::create_directories(fake_);
  }
  // Writes the program `name` and the database at `database` for `c`.
  void Prepare(const std::string& name, const fs::path& database, const DatabaseCase& c) {
    {
      std::ofstream script(fake_ / name);
      script << "#!/bin/sh\nprintf '%s' '" << c.output << "'\n";
    }
    chmod((fake_ / name).c_str(), 0755);
    fs::remove(database);
    if (c.database) std::ofstream(database) << *c.database;
  }

  fs::path fake_;
};

TEST_F(DatabaseFallback, OpkgStatusWhenOpkgPrintsNothing) {
  const std::string report = "Package: kelvora-report-app\nVersion: 1.4.0-1\n";
  const std::vector<DatabaseCase> cases = {
      {"kelvora-report-app - 2.0.0-1\n", report + "Status: install user installed\n", "kelvora-report-app",
       "2.0.0-1\n"},
      {"", "Package: kelvora-report-app-extra\nVersion: 9.9-1\nStatus: install user installed\n\n" + report +
               "Depends: libc\nStatus: install user installed\nArchitecture: mips_24kc\n",
       "kelvora-report-app", "1.4.0-1\n"},
      {"", "Package: kelvora-report-app\r\nVersion: 1.4.0-1\r\nStatus: install ok installed", "kelvora-report-app",
       "1.4.0-1\n"},
      {"", "Package: kelvora-report-app-extra\nVersion: 9.9-1\nStatus: install user installed\n",
       "kelvora-report-app", ""},
      {"", report + "Status: install user installed\n", "kelvora-report", ""},
      {"", report + "Status: deinstall ok not-installed\n", "kelvora-report-app", ""},
      {"", "Package: kelvora-report-app\nStatus: install user installed\n" + std::string(100000, 'x'),
       "kelvora-report-app", ""},
      {"", std::nullopt, "kelvora-report-app", ""},
  };
  const fs::path status = dir_ / "opkg-status";
  const fs::path installed = dir_ / "apk-installed";
  std::ofstream(installed) << "P:kelvora-report-app\nV:7.7.7-r1\n";
  UsePath(fake_.string());
  for (const DatabaseCase& c : cases) {
    Prepare("opkg", status, c);
    EXPECT_EQ(logging::GetInstalledVersion(c.package, (dir_ / "no-apk").string(), status, installed), c.expected)
        << c.output << " / " << c.database.value_or("(no file)");
  }
}

TEST_F(DatabaseFallback, ApkDatabaseWhenApkPrintsNothing) {
  const std::vector<DatabaseCase> cases = {
      {"kelvora-report-app 2.0.0-r1\n", "P:kelvora-report-app\nV:1.4.0-r1\n", "kelvora-report-app", "2.0.0-r1\n"},
      {"", "C:Q1abc=\nP:kelvora-report-app-extra\nV:9.9-r1\n\nC:Q1def=\nP:kelvora-report-app\nV:1.4.0-r1\nA:x\n",
       "kelvora-report-app", "1.4.0-r1\n"},
      {"", "P:kelvora-report-app\r\nV:1.4.0-r1", "kelvora-report-app", "1.4.0-r1\n"},
      {"", "P:kelvora-report-app-extra\nV:9.9-r1\n", "kelvora-report-app", ""},
      {"", "P:kelvora-report-app\nV:1.4.0-r1\n", "kelvora-report", ""},
      {"", "P:kelvora-report-app\nA:x\n\nV:1.4.0-r1\n", "kelvora-report-app", ""},
      {"", std::nullopt, "kelvora-report-app", ""},
  };
  const fs::path status = dir_ / "opkg-status";
  const fs::path installed = dir_ / "apk-installed";
  std::ofstream(status) << "Package: kelvora-report-app\nVersion: 7.7.7-1\nStatus: install user installed\n";
  for (const DatabaseCase& c : cases) {
    Prepare("apk", installed, c);
    EXPECT_EQ(logging::GetInstalledVersion(c.package, (fake_ / "apk").string(), status, installed), c.expected)
        << c.output << " / " << c.database.value_or("(no file)");
  }
}

}  // namespace
