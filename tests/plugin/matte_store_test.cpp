// The working folder: its place, its safety checks and whole-or-nothing writes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "plugin/matte_store.h"
#include "protocol/clip_folder.h"

namespace {

class MatteStore : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/mattivo_store_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    const char* old = std::getenv("TMPDIR");
    old_tmpdir_ = old ? old : "";
    had_tmpdir_ = old != nullptr;
    setenv("TMPDIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    if (had_tmpdir_) {
      setenv("TMPDIR", old_tmpdir_.c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  std::string root() const { return dir_ + "/corvane"; }

  std::string dir_;
  std::string old_tmpdir_;
  bool had_tmpdir_ = false;
};

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(MatteStore, RootFollowsTmpdirWithoutDoubleSlash) {
  EXPECT_EQ(temp_root(), dir_ + "/corvane/");
  setenv("TMPDIR", (dir_ + "//").c_str(), 1);
  EXPECT_EQ(temp_root(), dir_ + "/corvane/");
  setenv("TMPDIR", "", 1);
  EXPECT_EQ(temp_root(), "/tmp/corvane/");
  unsetenv("TMPDIR");
  EXPECT_EQ(temp_root(), "/tmp/corvane/");
  setenv("TMPDIR", "/", 1);
  EXPECT_EQ(temp_root(), "/corvane/");
}

TEST_F(MatteStore, RootIsCreatedPrivate) {
  EXPECT_FALSE(working_root_usable());
  std::string error;
  ASSERT_TRUE(ensure_working_root(&error)) << error;
  struct stat st {};
  ASSERT_EQ(lstat(root().c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(working_root_usable());
  EXPECT_TRUE(ensure_working_root(&error)) << "an existing root is fine";
}

TEST_F(MatteStore, OpenRootOfOursIsClosedBeforeUse) {
  ASSERT_EQ(mkdir(root().c_str(), 0700), 0);
  ASSERT_EQ(chmod(root().c_str(), 0777), 0);
  EXPECT_FALSE(working_root_usable()) << "others could plant files in it";
  std::string error;
  ASSERT_TRUE(ensure_working_root(&error)) << error;
  struct stat st {};
  ASSERT_EQ(lstat(root().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(MatteStore, LinkedOrForeignRootIsRefused) {
  const std::string elsewhere = dir_ + "/elsewhere";
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
  ASSERT_EQ(symlink(elsewhere.c_str(), root().c_str()), 0);
  std::string error;
  EXPECT_FALSE(ensure_working_root(&error));
  EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
  EXPECT_FALSE(working_root_usable());
  EXPECT_FALSE(write_file(temp_root() + "x.png", {1, 2, 3}));
  EXPECT_FALSE(make_folder(temp_root() + "s/"));
  EXPECT_NE(access((elsewhere + "/x.png").c_str(), F_OK), 0) << "nothing written through the link";

  ASSERT_EQ(unlink(root().c_str()), 0);
  ASSERT_EQ(mkdir(root().c_str(), 0700), 0);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(root().c_str(), 65534, 65534), 0);
    EXPECT_FALSE(ensure_working_root(&error));
    EXPECT_NE(error.find("another user"), std::string::npos) << error;
    EXPECT_FALSE(write_file(temp_root() + "x.png", {1}));
  }
  ASSERT_EQ(rmdir(root().c_str()), 0);
  std::ofstream(root()) << "a file";
  EXPECT_FALSE(ensure_working_root(&error));
}

TEST_F(MatteStore, WriteFileReplacesWholeFilesInsideTheRootOnly) {
  std::string error;
  ASSERT_TRUE(ensure_working_root(&error)) << error;
  const std::string folder = temp_root() + "upload_00000000deadbeef/";
  ASSERT_TRUE(make_folder(folder));
  EXPECT_TRUE(make_folder(folder)) << "an existing folder is no error";
  const std::string path = folder + protocol::indexed_file_name(7, ".jpg");
  EXPECT_EQ(path, folder + "000007.jpg");
  ASSERT_TRUE(write_file(path, {'a', 'b', 'c', 0, 'd'}));
  EXPECT_EQ(read_all(path), std::string("abc\0d", 5));
  ASSERT_TRUE(write_file(path, {'z'}));
  EXPECT_EQ(read_all(path), "z");
  EXPECT_TRUE(write_file(path, {}));
  EXPECT_EQ(read_all(path), "");

  EXPECT_FALSE(write_file(temp_root() + "missing_folder/000000.png", {1}));
  EXPECT_FALSE(write_file(dir_ + "/outside.png", {1}));
  EXPECT_FALSE(write_file(temp_root() + "../outside.png", {1}));
  EXPECT_NE(access((dir_ + "/outside.png").c_str(), F_OK), 0);

  EXPECT_TRUE(remove_file(path));
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  EXPECT_TRUE(remove_file(path)) << "already gone";
}

TEST_F(MatteStore, FullDiskIsReported) {
  if (access("/dev/full", W_OK) != 0) {
    GTEST_SKIP() << "no /dev/full";
  }
  std::string error;
  ASSERT_TRUE(ensure_working_root(&error)) << error;
  // A link inside our own root to a device that accepts no byte.
  const std::string path = temp_root() + "full.png";
  ASSERT_EQ(symlink("/dev/full", path.c_str()), 0);
  EXPECT_FALSE(write_file(path, std::vector<unsigned char>(100000, 7)));
}

TEST(MatteStoreNames, SessionIdsAreSinglePathSegments) {
  for (const std::string& good :
       std::vector<std::string>{"a", "0123abcdef", "Sess_1.2-3", "..a", "a..", std::string(128, 'x')}) {
    EXPECT_TRUE(is_valid_session_id(good)) << good;
  }
  for (const std::string& bad :
       std::vector<std::string>{"", ".", "..", "a/b", "../x", "a\\b", "a b", "ses\xC3\xA9",
                                std::string(129, 'x'), std::string("a\0b", 3), "x:y", "%2e%2e"}) {
    EXPECT_FALSE(is_valid_session_id(bad)) << bad;
  }
}

}  // namespace
