// The HTTP side of the site host: request checks, the JSON and metrics
// bodies, the history through a real store, and the listener itself.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <httplib.h>
#include <json/json.h>

#include "history_store.h"
#include "http_api.h"

namespace {

using namespace krthost::site;

const std::string kToken = "0123456789abcdef-token";
// Alarm texts as controllers send them, with what the formats must escape.
const std::string kTrickyDesc = "整流模块\"1\"故障\\电源\n第二行";

std::shared_ptr<DeviceStatus> Device(std::uint32_t id, std::string name) {
  auto s = std::make_shared<DeviceStatus>();
  s->id = id;
  s->name = std::move(name);
  s->line = "simulator";
  for (auto o : kOutcomeNames) s->outcomes[std::string(o)] = 0;
  return s;
}

class HttpApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto a = Device(1, "机房A");
    a->outcome = "complete";
    a->up = true;
    a->polls = 7;
    a->outcomes["complete"] = 5;
    a->outcomes["timeout"] = 2;
    a->protocol_errors["bad_checksum"] = 3;
    a->timeouts = 2;
    a->last_complete = "2026-01-02T03:04:05.000";
    a->last_complete_unix = std::chrono::duration<double>(SysClock::now().time_since_epoch()).count() - 5;
    a->values = {{"out_v", 53.5}, {"va1", 220.25}, {"out_v", 1.0}};
    a->duration_buckets[0] = 1;
    a->duration_buckets[3] = 4;
    a->duration_buckets.back() = 2;
    a->duration_sum_s = 140.5;
    AlarmInstance older{1, "k_old", "nm1", 1, 1, "交流停电", "旧", "2026-01-02T03:00:00.000", ""};
    AlarmInstance newer{1, "k_new", "nm2", 2, 1, "模块故障", kTrickyDesc, "2026-01-02T03:04:00.000", ""};
    a->active_alarms = {older, newer};
    board.Publish(a);
    board.Publish(Device(2, "room-b"));  // no poll yet
  }

  HttpResponse Get(const HttpApi& api, std::string path, std::string query = "", std::string auth = "") {
    return api.Handle({"GET", std::move(path), std::move(query), std::move(auth)});
  }

  StatusBoard board;
};

TEST_F(HttpApiTest, TokenGuardsEverythingButHealth) {
  HttpSettings conf;
  conf.token = kToken;
  const HttpApi api(conf, board, nullptr);
  struct Case {
    std::string path, query, auth;
    int status;
  };
  const Case cases[] = {
      {"/api/devices", "", "", 401},
      {"/api/devices", "", "Bearer wrong", 401},
      {"/api/devices", "", "Bearer " + kToken + "x", 401},
      {"/api/devices", "", "Bearer " + kToken.substr(0, kToken.size() - 1), 401},
      {"/api/devices", "", kToken, 401},
      {"/api/devices", "token=" + kToken, "", 401},  // only the page takes it in the address
      {"/metrics", "", "", 401},
      {"/", "", "", 401},
      {"/", "token=wrong", "", 401},
      {"/api/devices", "", "Bearer " + kToken, 200},
      {"/metrics", "", "Bearer " + kToken, 200},
      {"/", "token=" + kToken, "", 200},
      {"/healthz", "", "", 200},
  };
  for (const auto& c : cases) {
    const auto r = Get(api, c.path, c.query, c.auth);
    EXPECT_EQ(r.status, c.status) << c.path << "?" << c.query << " [" << c.auth << "]";
    if (c.status == 401) {
      EXPECT_NE(r.body.find("\"error\""), std::string::npos);
    }
  }
  EXPECT_EQ(Get(api, "/healthz").body, "ok");
  EXPECT_EQ(Get(api, "/", "token=" + kToken).body.rfind("<!DOCTYPE html>", 0), 0u);
}

TEST_F(HttpApiTest, RefusesBadRequests) {
  const HttpApi api(HttpSettings{}, board, nullptr);
  struct Case {
    std::string method, path, query;
    int status;
  };
  const Case cases[] = {
      {"POST", "/metrics", "", 405},
      {"DELETE", "/api/devices", "", 405},
      {"GET", "/api/alarms", "limit=0", 400},
      {"GET", "/api/alarms", "limit=1001", 400},
      {"GET", "/api/alarms", "limit=-1", 400},
      {"GET", "/api/alarms", "limit=+5", 400},
      {"GET", "/api/alarms", "limit=5x", 400},
      {"GET", "/api/alarms", "limit=", 400},
      {"GET", "/api/alarms", "limit=99999999999999999999", 400},
      {"GET", "/api/alarms", "limit=1&limit=2", 400},
      {"GET", "/api/alarms", "state=open", 400},
      {"GET", "/api/alarms", "colour=red", 400},
      {"GET", "/api/alarms", "device=nobody", 404},
      {"GET", "/api/alarms", "state=all", 503},  // no store
      {"GET", "/api/devices/nobody", "", 404},
      {"GET", "/api/devices/room-b/snapshot", "", 404},  // none yet
      {"GET", "/api/devices/..", "", 400},
      {"GET", "/api/devices/%2e%2e/snapshot", "", 400},
      {"GET", "/api/devices/%2E", "", 400},
      {"GET", "/api/devices/a%2Fb", "", 400},
      {"GET", "/api/devices/a%5c..", "", 400},
      {"GET", "/api/devices/a%00", "", 400},
      {"GET", "/api/devices/%ff", "", 400},
      {"GET", "/api/devices/%C0%AE%C0%AE", "", 400},  // overlong "."
      {"GET", "/api/devices/%ED%A0%80", "", 400},     // a surrogate
      {"GET", "/api/devices/%4", "", 400},
      {"GET", "/api/devices/%zz", "", 400},
      {"GET", "/api/devices/x", "device=%E6%9C", 400},
      {"GET", "api/devices", "", 400},
      {"GET", "/api/devices/" + std::string(5000, 'a'), "", 414},
      {"GET", "/nothing", "", 404},
      {"GET", "/api", "", 404},
      {"GET", "/api/", "", 404},
      {"GET", "/metrics/", "", 404},
      {"GET", "/api/devices/room-b/other", "", 404},
      {"GET", "/api/devices/room-b/history/x", "", 404},
      {"GET", "/api/devices/room-b/history", "field=temperature", 400},
      {"GET", "/api/devices/room-b/history", "since=yesterday", 400},
      {"GET", "/api/devices/room-b/history", "since=2026-13-01T00:00:00", 400},
      {"GET", "/api/devices/room-b/history", "since=2026-01-01T00:00:00.1234", 400},
      {"GET", "/api/devices/room-b/history", "limit=0", 400},
      {"GET", "/api/devices/room-b/history", "since=2026-01-01T00:00:00.5", 503},  // valid, no store
      {"GET", "/api/devices/%E6%9C%BA%E6%88%BFA", "", 200},
      {"HEAD", "/api/devices/%E6%9C%BA%E6%88%BFA", "", 200},
  };
  for (const auto& c : cases) {
    const auto r = api.Handle({c.method, c.path, c.query, ""});
    EXPECT_EQ(r.status, c.status) << c.method << " " << c.path << "?" << c.query << ": " << r.body;
    if (r.status != 200) {
      Json::Value v;
      std::istringstream in(r.body);
      EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &v, nullptr) && v["error"].isString())
          << r.body;
    }
  }
}

Json::Value ParseJson(const std::string& body) {
  Json::Value v;
  std::istringstream in(body);
  EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &v, nullptr)) << body;
  return v;
}

TEST_F(HttpApiTest, DevicesAndAlarmsAsJson) {
  const HttpApi api(HttpSettings{}, board, nullptr);
  const auto r = Get(api, "/api/devices");
  ASSERT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("机房A"), std::string::npos) << "Chinese must not be \\u-escaped";
  const Json::Value list = ParseJson(r.body);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]["values"]["out_v"].asDouble(), 53.5);  // the first of a repeated name
  EXPECT_EQ(list[0]["alarms_active"].asInt(), 2);
  EXPECT_NEAR(list[0]["data_age_s"].asDouble(), 5, 2);
  EXPECT_TRUE(list[1]["data_age_s"].isNull());
  EXPECT_TRUE(list[1]["last_complete"].isNull());
  EXPECT_TRUE(list[1]["outcome"].isNull());

  const Json::Value one = ParseJson(Get(api, "/api/devices/%E6%9C%BA%E6%88%BFA").body);
  EXPECT_EQ(one["counters"]["outcomes"]["timeout"].asInt(), 2);
  EXPECT_EQ(one["counters"]["outcomes"]["line_down"].asInt(), 0);
  EXPECT_EQ(one["counters"]["protocol_errors"]["bad_checksum"].asInt(), 3);
  EXPECT_EQ(one["alarms"][1]["desc"].asString(), kTrickyDesc);

  // Without a store the active alarms come from the board, newest first.
  const Json::Value alarms = ParseJson(Get(api, "/api/alarms", "device=%E6%9C%BA%E6%88%BFA&limit=1").body);
  ASSERT_EQ(alarms.size(), 1u);
  EXPECT_EQ(alarms[0]["key"].asString(), "k_new");
  EXPECT_EQ(alarms[0]["device"].asString(), "机房A");
  EXPECT_EQ(alarms[0]["desc"].asString(), kTrickyDesc);
  EXPECT_TRUE(alarms[0]["cleared_at"].isNull());
}

TEST_F(HttpApiTest, MetricsEscapeLabelsAndAccumulateBuckets) {
  const HttpApi api(HttpSettings{}, board, nullptr);
  const auto r = Get(api, "/metrics");
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.content_type, "text/plain; version=0.0.4; charset=utf-8");
  const std::string& m = r.body;
  const std::string a = "device=\"机房A\",id=\"1\"";
  for (const std::string& line : std::vector<std::string>{
           "krthost_device_up{" + a + "} 1",
           "krthost_device_up{device=\"room-b\",id=\"2\"} 0",
           "krthost_polls_total{" + a + ",outcome=\"timeout\"} 2",
           "krthost_polls_total{device=\"room-b\",id=\"2\",outcome=\"line_down\"} 0",
           "krthost_poll_duration_seconds_bucket{" + a + ",le=\"0.01\"} 1",
           "krthost_poll_duration_seconds_bucket{" + a + ",le=\"0.05\"} 1",
           "krthost_poll_duration_seconds_bucket{" + a + ",le=\"0.1\"} 5",
           "krthost_poll_duration_seconds_bucket{" + a + ",le=\"60\"} 5",
           "krthost_poll_duration_seconds_bucket{" + a + ",le=\"+Inf\"} 7",
           "krthost_poll_duration_seconds_count{" + a + "} 7",
           "krthost_poll_duration_seconds_sum{" + a + "} 140.5",
           "krthost_protocol_errors_total{" + a + ",kind=\"bad_checksum\"} 3",
           "krthost_value{" + a + ",name=\"out_v\"} 53.5",
           "krthost_alarms_active{" + a + "} 2",
           "krthost_alarm_active{" + a +
               ",key=\"k_new\",nm_id=\"nm2\",name=\"模块故障\",desc=\"整流模块\\\"1\\\"故障\\\\电源\\n第二行\"} 1",
           "krthost_history_rows_total{" + a + "} 0",
           "krthost_history_errors_total 0",
           "krthost_history_dropped_total 0",
       })
    EXPECT_NE(m.find("\n" + line + "\n"), std::string::npos) << line << "\n--- in ---\n" << m;
  EXPECT_EQ(m.find("krthost_value{" + a + ",name=\"out_v\"} 1\n"), std::string::npos) << "repeated series";
  EXPECT_EQ(m.find("krthost_last_complete_timestamp_seconds{device=\"room-b\""), std::string::npos);

  // promtool reads it as Prometheus would, lint included.
#ifdef KRTHOST_PROMTOOL
  const auto path = std::filesystem::path(::testing::TempDir()) / "krthost_metrics.txt";
  std::ofstream(path, std::ios::binary) << m;
  const std::string command = std::string(KRTHOST_PROMTOOL) + " check metrics < " + path.string() + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string said;
  char buf[512];
  while (std::fgets(buf, sizeof buf, pipe)) said += buf;
  EXPECT_EQ(pclose(pipe), 0) << said;
#else
  GTEST_SKIP() << "promtool not found at configure time";
#endif
}

// An image cut after its first AC unit: header (output voltage at 4) and
// the unit's three phase voltages at 0, 4 and 8.
std::vector<unsigned char> Image(float out_v, float va) {
  std::vector<unsigned char> image(16 + 51, 0);
  std::memcpy(image.data() + 4, &out_v, 4);
  std::memcpy(image.data() + 16, &va, 4);
  return image;
}

TEST_F(HttpApiTest, HistoryAndAlarmsFromTheStore) {
  const auto dir = std::filesystem::path(::testing::TempDir()) / "krthost_http_store";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  // Its rows are older than the default 30 days: retention is off here.
  HistoryStore store((dir / "h.db").string(), Retention{0, 100000}, [](const std::string&) {});
  store.SaveSnapshot(1, "2026-01-02T03:00:00.000", 5029, Image(53.5f, 220.0f));
  store.SaveSnapshot(1, "2026-01-02T03:00:01.000", 5029, Image(54.0f, 221.5f));
  store.SaveSnapshot(1, "2026-01-02T03:00:02.000", 5029, {1, 2, 3});  // too short: no point
  store.SaveSnapshot(2, "2026-01-02T03:00:01.000", 5029, Image(10.0f, 10.0f));
  AlarmInstance cleared{1, "k_gone", "nm9", 3, 1, "熔丝断", "", "2026-01-02T02:00:00.000", ""};
  store.RaiseAlarm(cleared);
  store.ClearAlarm(1, "k_gone", "", "2026-01-02T02:30:00.000");
  ASSERT_TRUE(store.Flush(5000));

  const HttpApi api(HttpSettings{}, board, &store);
  const std::string a = "/api/devices/%E6%9C%BA%E6%88%BFA/history";
  const Json::Value out_v = ParseJson(Get(api, a, "since=2026-01-02T03:00:00").body);
  ASSERT_EQ(out_v.size(), 2u);
  EXPECT_EQ(out_v[0]["time"].asString(), "2026-01-02T03:00:00.000");
  EXPECT_EQ(out_v[1]["value"].asDouble(), 54.0);
  const Json::Value va1 = ParseJson(Get(api, a, "field=va1&since=2026-01-02T03:00:00.500&limit=1").body);
  ASSERT_EQ(va1.size(), 1u);
  EXPECT_EQ(va1[0]["value"].asDouble(), 221.5);

  const Json::Value all = ParseJson(Get(api, "/api/alarms", "state=all&device=%E6%9C%BA%E6%88%BFA").body);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0]["cleared_at"].asString(), "2026-01-02T02:30:00.000");
  EXPECT_EQ(all[0]["device"].asString(), "机房A");
  EXPECT_NE(Get(api, "/metrics").body.find("\nkrthost_history_rows_total{device=\"机房A\",id=\"1\"} 3\n"),
            std::string::npos);
}

TEST_F(HttpApiTest, ServerAnswersOnItsPortAndStopsQuickly) {
  HttpSettings conf;
  conf.enabled = true;
  conf.port = 0;
  conf.token = kToken;
  HttpServer server(conf, board, nullptr);
  server.Start();
  ASSERT_NE(server.Port(), 0);

  httplib::Client client("127.0.0.1", server.Port());
  client.set_connection_timeout(2);
  client.set_read_timeout(2);
  // The raw target reaches the API: an encoded name is found, traversal is refused.
  auto r = client.Get("/api/devices/%E6%9C%BA%E6%88%BFA", {{"Authorization", "Bearer " + kToken}});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  r = client.Get("/api/devices/%2e%2e", {{"Authorization", "Bearer " + kToken}});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 400);
  r = client.Get("/metrics");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 401);
  EXPECT_TRUE(r->has_header("WWW-Authenticate"));
  r = client.Post("/metrics", "x", "text/plain");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 405);

  // Another listener on the same port cannot bind, and says where.
  HttpSettings taken = conf;
  taken.port = server.Port();
  HttpServer second(taken, board, nullptr);
  try {
    second.Start();
    ADD_FAILURE() << "bound a port in use";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("127.0.0.1:" + std::to_string(server.Port())), std::string::npos)
        << e.what();
  }

  // The client keeps its connection open; Stop still returns within about a second.
  const auto t0 = std::chrono::steady_clock::now();
  server.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
}

}  // namespace
