// Limits and hostile input: everything over a limit is refused with its
// status, and nothing a client sends crashes the server or leaves its folder.
#include "backend_fixture.h"
#include "testing/session_flow.h"

#include <opencv2/imgcodecs.hpp>

#include <fstream>

namespace mattivo_test {
namespace {

using nlohmann::json;

std::string jpeg_of(int width, int height) {
  cv::Mat img(height, width, CV_8UC3, cv::Scalar(40, 120, 200));
  std::vector<unsigned char> out;
  cv::imencode(".jpg", img, out);
  return std::string(out.begin(), out.end());
}

// A JPEG whose frame header claims a size the server must not try to decode.
std::string jpeg_claiming(int width, int height) {
  std::string j = jpeg_of(16, 16);
  size_t sof = j.find("\xFF\xC0");
  if (sof == std::string::npos) sof = j.find("\xFF\xC2");
  j[sof + 5] = static_cast<char>(height >> 8), j[sof + 6] = static_cast<char>(height & 255);
  j[sof + 7] = static_cast<char>(width >> 8), j[sof + 8] = static_cast<char>(width & 255);
  return j;
}

long long disk_bytes(const PluginClient& client, const std::string& base) {
  return parse(client.get(base + "/healthz").body).value("disk_bytes", -1LL);
}

// Files anywhere under the data folder whose names show an unfinished write.
int leftovers(const std::string& dir) {
  int n = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
    n += e.path().filename().string().find(".tmp") != std::string::npos;
  }
  return n;
}

tessel::ServerOptions small_limits() {
  tessel::ServerOptions o;
  o.limits.max_frame_bytes = 64 * 1024;
  o.limits.max_frames = 4;
  o.limits.max_sessions = 2;
  o.limits.max_disk_bytes = 256 * 1024;
  return o;
}

class Limits : public ::testing::Test {
 protected:
  LocalBackend backend{small_limits()};
  PluginClient client;
  std::string session(const std::string& id) { return backend.url + "/api/matte/sessions/" + id; }
};

TEST_F(Limits, FramesOverTheSizeOrCountLimitAre413) {
  std::string url = session(create_session(client, backend.url));
  Reply big = client.put_bytes(url + "/frames/0", std::string(100 * 1024, 'x'));
  EXPECT_EQ(big.code, 413);
  EXPECT_EQ(big.body, "frame larger than the limit of 65536 bytes\n");
  Reply index = client.put_bytes(url + "/frames/4", jpeg_of(32, 32));
  EXPECT_EQ(index.code, 413);
  EXPECT_EQ(index.body, "frame index beyond the limit of 4 frames\n");
  Reply huge = client.put_bytes(url + "/frames/0", jpeg_claiming(60000, 60000));
  EXPECT_EQ(huge.code, 413);
  EXPECT_EQ(huge.body, "frame larger than 8192 pixels a side\n");

  // A chunked body has no declared length: it is cut off once over the limit.
  std::string path = url.substr(url.find('/', 7)) + "/frames/1";
  std::string chunk(40 * 1024, 'y');
  char size_line[32];
  std::snprintf(size_line, sizeof size_line, "%zx\r\n", chunk.size());
  std::string request = "PUT " + path +
                        " HTTP/1.1\r\nHost: x\r\nContent-Type: image/jpeg\r\n"
                        "Transfer-Encoding: chunked\r\n\r\n";
  for (int i = 0; i < 3; ++i) request += size_line + chunk + "\r\n";
  request += "0\r\n\r\n";
  std::string answer = raw_exchange(backend.url, request);
  EXPECT_EQ(answer.rfind("HTTP/1.1 413", 0), 0u) << answer.substr(0, 80);

  EXPECT_EQ(disk_bytes(client, backend.url), 0);
  EXPECT_EQ(leftovers(backend.data.path), 0);
  EXPECT_EQ(parse(client.get(url).body)["frames"], 0);
}

TEST_F(Limits, TooManyLiveSessionsOrTooMuchDiskIs503) {
  std::string a = create_session(client, backend.url);
  std::string b = create_session(client, backend.url);
  Reply third = client.post_json(backend.url + "/api/matte/sessions", R"({"fps":24.0,"source":"plugin"})");
  EXPECT_EQ(third.code, 503);
  EXPECT_EQ(third.body, "too many sessions in progress, try again later\n");

  // Fill the disk quota with frames of 60 KB (random bytes barely compress).
  cv::Mat noise(170, 170, CV_8UC3);
  cv::randu(noise, 0, 255);
  std::vector<unsigned char> jpeg;
  cv::imencode(".jpg", noise, jpeg, {cv::IMWRITE_JPEG_QUALITY, 100});
  ASSERT_GT(jpeg.size(), 50000u);
  ASSERT_LT(jpeg.size(), 65536u);
  std::string frame(jpeg.begin(), jpeg.end());
  long code = 200;
  int accepted = 0;
  for (int i = 0; i < 8 && code == 200; ++i) {
    code = client.put_bytes(session(i < 4 ? a : b) + "/frames/" + std::to_string(i % 4), frame).code;
    accepted += code == 200;
  }
  EXPECT_EQ(code, 503);
  EXPECT_EQ(accepted, static_cast<int>(256 * 1024 / frame.size()));
  EXPECT_LE(disk_bytes(client, backend.url), 256 * 1024);
  EXPECT_EQ(leftovers(backend.data.path), 0);
}

// Mattes take disk too: a session whose mattes would pass the quota fails
// plainly instead of storing past it.
TEST(Quota, MattesAreHeldToTheDiskQuota) {
  std::string clip = test_clip("walk");
  long long frames = 0;
  for (int i = 0; i < 12; ++i) frames += static_cast<long long>(read_file(clip + "/frames/" + six(i) + ".jpg").size());
  tessel::ServerOptions o;
  o.limits.max_disk_bytes = frames + 4096;  // room for the frames and a matte or two
  LocalBackend backend(o);
  PluginClient client;
  std::string url = backend.url + "/api/matte/sessions/" + create_session(client, backend.url);
  ASSERT_TRUE(upload_frames(client, url, clip, 12));
  ASSERT_EQ(client.post_json(url + "/start", clip_request(clip, "fast", "box")).code, 200);
  json done = wait_done(client, url);
  EXPECT_EQ(done.value("status", ""), "FAILED");
  EXPECT_EQ(done.value("error", ""), "disk quota reached while storing the mattes");
  long long stored = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(backend.data.path))
    if (e.is_regular_file() && e.path().filename() != "session.json") stored += e.file_size();
  EXPECT_LE(stored, o.limits.max_disk_bytes);
  EXPECT_LE(disk_bytes(client, backend.url), o.limits.max_disk_bytes);
}

// A session left in upload gives its slot back after the upload time to live,
// long before the time to live of finished sessions.
TEST(Quota, AbandonedUploadsGiveTheirSlotBack) {
  TempDir data;
  tessel::StoreLimits limits;
  limits.max_sessions = 2;
  limits.upload_ttl_seconds = 3600;
  tessel::SessionStore store(data.path, limits);
  std::vector<std::string> requeue;
  std::string error;
  ASSERT_TRUE(store.open(&requeue, &error)) << error;
  std::string a, b, c;
  ASSERT_EQ(store.create(24, &a).code, 200);
  ASSERT_EQ(store.create(24, &b).code, 200);
  ASSERT_EQ(store.create(24, &c).code, 503);
  const std::time_t now = std::time(nullptr);
  {
    // An upload still arriving keeps its session, however long it takes.
    tessel::UploadTicket ticket;
    ASSERT_EQ(store.begin_upload(b, 0, -1, &ticket).code, 200);
    EXPECT_EQ(store.expire(now + 3601), 1);
  }
  EXPECT_EQ(store.expire(now + 60), 0);
  EXPECT_EQ(store.create(24, &c).code, 200);
  tessel::SessionView view;
  EXPECT_FALSE(store.view(a, &view));
  EXPECT_TRUE(store.view(b, &view));
  EXPECT_FALSE(std::filesystem::exists(data.path + "/" + a));
}

TEST(Hostile, BadFramesAreRefusedAtUpload) {
  LocalBackend backend;
  PluginClient client;
  std::string url = backend.url + "/api/matte/sessions/" + create_session(client, backend.url);
  std::vector<unsigned char> png;
  cv::imencode(".png", cv::Mat(8, 8, CV_8UC1, cv::Scalar(3)), png);
  struct Case {
    const char* what;
    std::string body;
    const char* text;
  } cases[] = {
      {"zero bytes", "", "empty frame\n"},
      {"text", "hello, I am not a picture", "frame is not a JPEG image\n"},
      {"png", std::string(png.begin(), png.end()), "frame is not a JPEG image\n"},
      {"jpeg start only", std::string("\xFF\xD8\xFF", 3), "frame is not a JPEG image\n"},
      {"segment length past the end", std::string("\xFF\xD8\xFF\xE0\xFF\xFF", 6),
       "frame is not a JPEG image\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reply r = client.put_bytes(url + "/frames/0", c.body);
    EXPECT_EQ(r.code, 400);
    EXPECT_EQ(r.body, c.text);
  }
  EXPECT_EQ(parse(client.get(url).body)["frames"], 0);
}

// A JPEG cut short after its header is accepted (it cannot be told apart
// without decoding); the session still ends, one way or the other.
TEST(Hostile, TruncatedFramesEndTheSessionCleanly) {
  LocalBackend backend;
  PluginClient client;
  std::string clip = test_clip("walk");
  std::string url = backend.url + "/api/matte/sessions/" + create_session(client, backend.url);
  ASSERT_TRUE(upload_frames(client, url, clip, 2));
  std::string whole = read_file(clip + "/frames/000002.jpg");
  ASSERT_EQ(client.put_bytes(url + "/frames/2", whole.substr(0, whole.size() / 3)).code, 200);
  ASSERT_EQ(
      client.post_json(url + "/start", R"({"anchor_frame":0,"bbox":{"h":0.8,"w":0.3,"x":0.35,"y":0.1}})")
          .code,
      200);
  std::string status = wait_done(client, url).value("status", "");
  EXPECT_TRUE(status == "COMPLETED" || status == "FAILED") << status;
  EXPECT_EQ(client.get(backend.url + "/healthz").code, 200);
}

TEST(Hostile, OversizedAndMalformedJsonIsRefusedWithoutHarm) {
  LocalBackend backend;
  PluginClient client;
  std::string base = backend.url + "/api/matte/sessions";
  std::string url = base + "/" + create_session(client, backend.url);
  std::string huge = R"({"text_prompt":")" + std::string(2 << 20, 'a') + "\"}";
  Reply r = client.post_json(url + "/start", huge);
  EXPECT_EQ(r.code, 413);
  EXPECT_EQ(r.body, "body larger than 1048576 bytes\n");
  EXPECT_EQ(client.post_json(base, huge).code, 413);
  // Deep nesting within the size limit: parsed without recursion, refused.
  std::string deep = std::string(400000, '[') + std::string(400000, ']');
  EXPECT_EQ(client.post_json(url + "/start", deep).code, 400);
  EXPECT_EQ(client.post_json(base, deep).code, 400);
  std::string bad_utf8 = "{\"text_prompt\":\"\xC3\x28\"}";
  EXPECT_EQ(client.post_json(url + "/start", bad_utf8).code, 400);
  EXPECT_EQ(parse(client.get(url).body).value("status", ""), "UPLOADING");
}

// Ids and indices come from the URL: none of them may name a file outside
// the session folders, however they are spelled.
TEST(Hostile, PathLikeIdsNameNothing) {
  TempDir outside;
  LocalBackend backend;
  PluginClient client;
  std::ofstream(outside.path + "/secret.png") << "secret";
  std::string base = backend.url + "/api/matte/sessions/";
  std::string rel = "..%2F..%2F..%2F..%2F..%2F..%2F.." + outside.path;
  for (const std::string& id : {std::string(".."), std::string("%2e%2e"), std::string("..%2F..%2Fetc"), rel,
                                std::string("0123456789ABCDEF0123456789ABCDEF"), std::string("a%00b")}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(client.get(base + id).code, 404);
    EXPECT_EQ(client.put_bytes(base + id + "/frames/0", jpeg_of(8, 8)).code, 404);
    EXPECT_EQ(client.get(base + id + "/alpha/0.png").code, 404);
    EXPECT_EQ(client.post_json(base + id + "/start", "{}").code, 404);
  }
  std::string url = base + create_session(client, backend.url);
  EXPECT_EQ(client.get(url + "/alpha/..%2F..%2Fsession.json").code, 404);
  EXPECT_EQ(client.get(url + "/alpha/-1.png").code, 404);
  EXPECT_EQ(client.put_bytes(url + "/frames/-1", jpeg_of(8, 8)).code, 404);
  EXPECT_EQ(read_file(outside.path + "/secret.png"), "secret");
  int entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(backend.data.path)) entries += e.is_directory();
  EXPECT_EQ(entries, 1);
}

TEST(Hostile, GarbageOnTheWireLeavesTheServerServing) {
  LocalBackend backend;
  PluginClient client;
  std::string url = backend.url + "/api/matte/sessions/" + create_session(client, backend.url);
  std::string path = url.substr(url.find('/', 7));
  std::string noise;
  for (int i = 0; i < 5000; ++i) noise += static_cast<char>((i * 7919) % 256);
  const std::vector<std::pair<std::string, bool>> attempts = {
      {"GARBAGE\r\n\r\n", true},
      {noise, true},
      {"GET /" + std::string(100000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n", true},
      // A body shorter than declared, then silence: the upload is abandoned.
      {"PUT " + path + "/frames/0 HTTP/1.1\r\nHost: x\r\nContent-Length: 5000\r\n\r\n\xFF\xD8\xFF\xE0", true},
      {"PUT " + path + "/frames/0 HTTP/1.1\r\nHost: x\r\nContent-Length: 99999999999999999999\r\n\r\nxx",
       true},
      {"POST " + path + "/start HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", true},
  };
  for (const auto& [bytes, close] : attempts) {
    raw_exchange(backend.url, bytes, close, 1500);
    EXPECT_EQ(client.get(backend.url + "/healthz").code, 200);
  }
  EXPECT_EQ(parse(client.get(url).body)["frames"], 0);
  EXPECT_EQ(disk_bytes(client, backend.url), 0);
  EXPECT_EQ(leftovers(backend.data.path), 0);
}

}  // namespace
}  // namespace mattivo_test
