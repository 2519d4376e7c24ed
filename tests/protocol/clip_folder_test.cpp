#include "protocol/clip_folder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace {

TEST(ClipFolder, IndexesAreZeroPaddedToSixDigits) {
  EXPECT_EQ(protocol::indexed_file_name(0, ".png"), "000000.png");
  EXPECT_EQ(protocol::indexed_file_name(7, ".jpg"), "000007.jpg");
  EXPECT_EQ(protocol::indexed_file_name(123456, ".png"), "123456.png");
  EXPECT_EQ(protocol::indexed_file_name(1234567, ".png"), "1234567.png");
  EXPECT_EQ(protocol::index_name(42), "000042");
}

TEST(ClipFolder, DocumentRoundTripsAndAnythingButAnObjectIsAbsent) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("clip_folder_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  EXPECT_TRUE(protocol::read_clip_document(dir.string()).is_discarded());  // missing

  const nlohmann::json doc = {{"width", 64}, {"frames", 3}, {"bbox", {{"x", 0.25}, {"w", 0.5}}}};
  ASSERT_TRUE(protocol::write_clip_document(dir.string(), doc));
  EXPECT_EQ(protocol::read_clip_document(dir.string()), doc);

  std::ofstream(dir / protocol::kClipDocument) << "[1,2,3]";
  EXPECT_TRUE(protocol::read_clip_document(dir.string()).is_discarded());
  std::ofstream(dir / protocol::kClipDocument) << "{\"frames\":";
  EXPECT_TRUE(protocol::read_clip_document(dir.string()).is_discarded());
  std::filesystem::remove_all(dir);
}

}  // namespace
