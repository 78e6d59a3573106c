#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

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

}  // namespace
